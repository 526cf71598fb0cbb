#include "game/legal_actions.hpp"

#include <bit>

#include "game/move_search.hpp"

namespace krodan {

std::size_t append_legal_actions(const ActionTable& table, const Bitboard& blocked,
                                 const Bitboard& corners, std::uint32_t remaining,
                                 LegalActionScratch& scratch, std::vector<std::int32_t>& out) {
    legal_placements(table, blocked, corners, remaining, scratch.ids);
    // The search lists placements by corner cell; a bit per action sorts them in one pass over
    // 569 words, cheaper than a comparison sort of a few hundred entries.
    for (PlacementId id : scratch.ids) {
        if (id >= table.placements.size()) throw InternalError("placement id out of range");
        const std::uint64_t action = table.placements[id].action;
        if (action >= NUM_ACTIONS) throw InternalError("action out of range");
        scratch.seen[action / 64] |= std::uint64_t{1} << (action % 64);
    }
    const std::size_t first = out.size();
    out.resize(first + scratch.ids.size());
    std::int32_t* next = out.data() + first;
    for (std::size_t w = 0; w < ACTION_WORDS; ++w) {
        for (std::uint64_t bits = scratch.seen[w]; bits != 0; bits &= bits - 1)
            *next++ = static_cast<std::int32_t>(w * 64 + std::countr_zero(bits));
        scratch.seen[w] = 0;
    }
    if (next != out.data() + out.size()) throw InternalError("a placement listed twice");
    return scratch.ids.size();
}

}  // namespace krodan
