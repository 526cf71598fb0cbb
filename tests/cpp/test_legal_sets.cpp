// The legal sets kept placement by placement against a search from scratch in each agent's
// frame, after every turn of seeded random games, of games rebuilt from their state strings
// and of copies that go separate ways.

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "game/legal_sets.hpp"
#include "game/state_string.hpp"
#include "play.hpp"

namespace krodan {
namespace {

// A game with its sets, moved on as the batch moves its games.
struct Tracked {
    Game game = new_game();
    LegalSets sets;

    Tracked() { sets.rebuild(game); }

    void play_random_turn(std::mt19937_64& rng) {
        const auto mover = static_cast<unsigned>(game.current_agent);
        if (game.agent_states[mover].done) {
            ASSERT_FALSE(apply_action(game, std::nullopt));
            return;
        }
        std::vector<std::int32_t> mine;
        sets.settle(mover, game);
        sets.append_actions(mover, mine);
        ASSERT_FALSE(mine.empty());
        const auto action = static_cast<std::uint64_t>(
            mine[std::uniform_int_distribution<std::size_t>(0, mine.size() - 1)(rng)]);
        const Placement* placement = game.table->lookup(mover, action);
        ASSERT_NE(placement, nullptr);
        ASSERT_FALSE(apply_action(game, action));
        sets.placed(*game.table,
                    static_cast<PlacementId>(placement - game.table->placements.data()));
    }
};

// Every agent's list, settled, equals the search from scratch in its frame, and is empty when
// it is done. With `only` below 4, that agent's alone.
void expect_sets_match(Tracked& t, std::string_view where, unsigned only = NUM_AGENTS) {
    for (unsigned a = 0; a < NUM_AGENTS; ++a) {
        if (only < NUM_AGENTS && a != only) continue;
        t.sets.settle(a, t.game);
        std::vector<std::uint64_t> expected;
        if (!t.game.agent_states[a].done) expected = testing::legal_actions(t.game, a);
        std::sort(expected.begin(), expected.end());
        std::vector<std::int32_t> got;
        ASSERT_EQ(t.sets.append_actions(a, got), expected.size()) << where << ", agent " << a;
        ASSERT_TRUE(std::equal(got.begin(), got.end(), expected.begin(), expected.end()))
            << where << ", agent " << a;
        for (std::uint64_t action : expected) ASSERT_TRUE(t.sets.holds(a, action));
    }
}

TEST(LegalSets, FollowEveryTurnOfRandomGames) {
    std::size_t turns = 0;
    for (std::uint64_t seed = 0; seed < 120; ++seed) {
        std::mt19937_64 rng(seed);
        Tracked t;
        expect_sets_match(t, "new game");
        while (!is_over(t.game)) {
            t.play_random_turn(rng);
            ++turns;
            // Half the games settle every list every turn; the others one agent now and then,
            // after several placements.
            const std::string where =
                "seed " + std::to_string(seed) + ", turn " + std::to_string(turns);
            if (seed % 2 == 0) {
                expect_sets_match(t, where);
            } else if (rng() % 3 == 0) {
                expect_sets_match(t, where, static_cast<unsigned>(rng() % NUM_AGENTS));
            }
            if (::testing::Test::HasFatalFailure()) return;
        }
    }
    EXPECT_GT(turns, 7000u);
}

TEST(LegalSets, GoOnFromStateStringsAndInCopiesThatDiverge) {
    for (std::uint64_t seed = 0; seed < 40; ++seed) {
        std::mt19937_64 rng(1000 + seed);
        Tracked t;
        const unsigned split = 8 + static_cast<unsigned>(seed % 50);
        while (!is_over(t.game) && ply(t.game) < split) t.play_random_turn(rng);

        // Rebuilt from the state string: the same sets as those kept, and kept alike after.
        const StateString state = encode_state(t.game);
        Tracked loaded;
        loaded.game = std::get<Game>(
            decode_state({reinterpret_cast<const char*>(state.data()), state.size()}));
        loaded.sets.rebuild(loaded.game);
        expect_sets_match(loaded, "loaded");

        // A copy of the sets and game goes another way.
        Tracked copy = t;
        std::mt19937_64 other(2000 + seed);
        std::mt19937_64 same = rng;
        while (!is_over(t.game) || !is_over(copy.game) || !is_over(loaded.game)) {
            if (!is_over(t.game)) t.play_random_turn(rng);
            if (!is_over(loaded.game)) loaded.play_random_turn(same);
            if (!is_over(copy.game)) copy.play_random_turn(other);
            if (::testing::Test::HasFatalFailure()) return;
            expect_sets_match(t, "original");
            expect_sets_match(loaded, "loaded");
            expect_sets_match(copy, "copy");
            EXPECT_EQ(t.game, loaded.game);
        }
    }
}

}  // namespace
}  // namespace krodan
