#include "game/legal_sets.hpp"

#include <algorithm>
#include <utility>

#include "game/agent_masks.hpp"
#include "game/legal_actions.hpp"
#include "game/move_search.hpp"
#include "game/pieces/orientation_shapes.hpp"

namespace krodan {
namespace {

constexpr unsigned SIDE = BOARD_COLS;  // board rows and columns
static_assert(BOARD_ROWS == BOARD_COLS, "the frames turn a square board");
constexpr unsigned REACH = 5;                       // bounding boxes are at most 5 x 5
constexpr unsigned ORIENTATION_STRIDE = NUM_CELLS;  // action = orientation * 400 + anchor

struct OrientationFacts {
    // rows[o][k]: bit c set where orientation o covers (k, c) of its bounding box.
    std::array<std::array<std::uint32_t, REACH>, NUM_ORIENTATIONS> rows{};
    std::array<std::uint8_t, NUM_ORIENTATIONS> piece{};  // piece index
};

constexpr OrientationFacts orientation_facts() {
    OrientationFacts facts;
    for (unsigned o = 0; o < NUM_ORIENTATIONS; ++o) {
        const OrientationShape& shape = ORIENTATION_SHAPES[o];
        unsigned r = 0, c = 0;
        for (char ch : shape.rows) {
            if (ch == '/') {
                ++r;
                c = 0;
                continue;
            }
            if (ch == 'X') facts.rows[o][r] |= 1u << c;
            ++c;
        }
        facts.piece[o] = PIECE_INDEX_BY_CODE[code(shape.piece)];
    }
    return facts;
}

constexpr OrientationFacts FACTS = orientation_facts();

// Cell (row, col) of the board in agent a's frame: the board turned a quarter turns
// counter-clockwise, as the observations turn it.
constexpr std::pair<unsigned, unsigned> in_frame(unsigned a, unsigned row, unsigned col) {
    switch (a) {
        case 0:
            return {row, col};
        case 1:
            return {SIDE - 1 - col, row};
        case 2:
            return {SIDE - 1 - row, SIDE - 1 - col};
        default:
            return {col, SIDE - 1 - row};
    }
}

// Per thread, grown once and reused: the search's results and the new actions.
struct Scratch {
    std::vector<PlacementId> found;
    LegalActionScratch legal;
    std::vector<std::int32_t> fresh;
};

Scratch& scratch() {
    thread_local Scratch s = [] {
        Scratch made;
        made.found.reserve(4096);
        made.legal.ids.reserve(4096);
        made.fresh.reserve(4096);
        return made;
    }();
    return s;
}

}  // namespace

void LegalSets::rebuild(const Game& game) {
    const ActionTable& table = *game.table;
    std::vector<PlacementId>& found = scratch().found;
    for (unsigned a = 0; a < NUM_AGENTS; ++a) {
        AgentList& list = agents_[a];
        const AgentState& agent = game.agent_states[a];
        list.actions.clear();
        list.placed_since = Bitboard{};
        list.own_then = agent.cells;
        list.remaining_then = agent.remaining;
        if (agent.done) continue;
        const AgentMasks masks = agent_masks(game, a);
        legal_placements(table, masks.blocked, masks.corners, agent.remaining, found);
        for (PlacementId id : found)
            list.actions.push_back(static_cast<std::uint16_t>(action_in_frame(table, a, id)));
        std::sort(list.actions.begin(), list.actions.end());
    }
}

void LegalSets::placed(const ActionTable& table, PlacementId id) {
    if (id >= table.placements.size()) throw InternalError("placement id out of range");
    for (AgentList& list : agents_) list.placed_since |= table.placements[id].cells;
}

void LegalSets::settle(unsigned a, const Game& game) {
    if (a >= NUM_AGENTS) throw InternalError("agent index out of range");
    AgentList& list = agents_[a];
    const AgentState& agent = game.agent_states[a];
    const Bitboard own_new = difference(agent.cells, list.own_then);
    if (is_empty(list.placed_since) && is_empty(own_new)) return;
    if (agent.done) {
        list.actions.clear();
    } else if (!list.actions.empty()) {
        // Out: placements covering a cell placed since, or along the edges of the agent's new
        // cells, and those of the pieces it placed since. One pass keeps the rest in order.
        std::array<std::uint32_t, SIDE + REACH> rows{};  // the cells, by row of a's frame
        for (unsigned bit : iter_bits(list.placed_since | edge_neighbours(own_new))) {
            const auto [row, col] = in_frame(a, row_of(bit), col_of(bit));
            rows[row] |= 1u << col;
        }
        const std::uint32_t gone_pieces = list.remaining_then & ~agent.remaining;
        std::size_t kept = 0;
        for (const std::uint16_t action : list.actions) {
            const unsigned o = action / ORIENTATION_STRIDE;
            const unsigned anchor = action - o * ORIENTATION_STRIDE;
            const unsigned r = anchor / SIDE, c = anchor - r * SIDE;
            const auto& shape = FACTS.rows[o];
            const std::uint32_t hit =
                ((rows[r] >> c) & shape[0]) | ((rows[r + 1] >> c) & shape[1]) |
                ((rows[r + 2] >> c) & shape[2]) | ((rows[r + 3] >> c) & shape[3]) |
                ((rows[r + 4] >> c) & shape[4]) | (gone_pieces >> FACTS.piece[o] & 1);
            list.actions[kept] = action;
            kept += hit == 0;
        }
        list.actions.resize(kept);
    }
    list.placed_since = Bitboard{};
    list.own_then = agent.cells;
    list.remaining_then = agent.remaining;
    if (agent.done || is_empty(own_new)) return;

    // In: placements covering a corner cell the new cells opened. Those covering an older
    // corner cell were legal at the last settle and are still listed: the cells diagonal to the
    // older own cells count as blocked.
    const ActionTable& table = *game.table;
    const AgentMasks masks = agent_masks(game, a);
    const Bitboard older = diagonal_neighbours(difference(agent.cells, own_new));
    const Bitboard opened = difference(masks.corners, older);
    if (is_empty(opened) || agent.remaining == 0) return;
    Scratch& s = scratch();
    s.fresh.clear();
    const std::size_t fresh = append_legal_actions(table, masks.blocked | older, opened,
                                                   agent.remaining, s.legal, s.fresh, a);
    if (fresh == 0) return;
    // Merged from the back into the list grown to hold both, without a branch per step.
    const std::size_t old = list.actions.size();
    list.actions.resize(old + fresh);
    std::uint16_t* const actions = list.actions.data();
    const std::int32_t* const incoming = s.fresh.data();
    std::size_t i = old, j = fresh, out = old + fresh;
    while (i > 0 && j > 0) {
        const std::uint16_t mine = actions[i - 1];
        const auto theirs = static_cast<std::uint16_t>(incoming[j - 1]);
        const bool take_mine = mine > theirs;
        actions[--out] = take_mine ? mine : theirs;
        i -= take_mine;
        j -= !take_mine;
    }
    while (j > 0) actions[--out] = static_cast<std::uint16_t>(incoming[--j]);
}

std::size_t LegalSets::append_actions(unsigned a, std::vector<std::int32_t>& out) const {
    const std::vector<std::uint16_t>& list = agents_.at(a).actions;
    out.insert(out.end(), list.begin(), list.end());
    return list.size();
}

bool LegalSets::holds(unsigned a, std::uint32_t action) const {
    const std::vector<std::uint16_t>& list = agents_.at(a).actions;
    return action < NUM_ACTIONS && std::binary_search(list.begin(), list.end(), action);
}

std::size_t LegalSets::memory_bytes() const {
    std::size_t bytes = sizeof(LegalSets);
    for (const AgentList& list : agents_) bytes += list.actions.capacity() * sizeof(std::uint16_t);
    return bytes;
}

const LegalSets& new_game_legal_sets() {
    static const LegalSets sets = [] {
        LegalSets built;
        built.rebuild(new_game());
        return built;
    }();
    return sets;
}

}  // namespace krodan
