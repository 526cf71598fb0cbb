// The per-step operations allocate nothing on their success paths; legal_placements only grows
// its output. The global allocator is replaced here to count calls.

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>

#include "agents/learner_turns.hpp"
#include "batch/game_batch.hpp"
#include "play.hpp"

namespace {
std::atomic<long> allocations{0};
}

void* operator new(std::size_t n) {
    allocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(n ? n : 1)) return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}

namespace krodan {
namespace {

template <class F>
long allocations_during(F&& f) {
    const long before = allocations.load();
    f();
    return allocations.load() - before;
}

TEST(Allocations, HotPathsAllocateNothing) {
    const auto positions = testing::random_game(7);
    std::vector<PlacementId> ids;
    ids.reserve(4096);
    for (std::size_t i = 0; i + 1 < positions.size(); ++i) {
        const Game& g = positions[i];
        const unsigned a = static_cast<unsigned>(g.current_agent);
        // The action that leads to the next position, found before counting.
        const auto actions = testing::legal_actions(g, a);
        std::optional<std::uint64_t> played;
        for (std::uint64_t action : actions) {
            Game trial = g;
            if (!apply_action(trial, action) && trial == positions[i + 1]) played = action;
        }
        Game next = g;
        EXPECT_EQ(allocations_during([&] {
                      const auto masks = agent_masks(next, a);
                      (void)has_legal_placement(*next.table, masks, next.agent_states[a].remaining);
                      refresh_done(next);
                      EXPECT_FALSE(apply_action(next, played));
                      legal_placements(*g.table, masks.blocked, masks.corners,
                                       g.agent_states[a].remaining, ids);
                  }),
                  0)
            << "turn " << i;
        EXPECT_EQ(next, positions[i + 1]);
    }
}

// Once a batch's lists have grown to what a line of play needs, stepping it (worker pool,
// observations, legal lists, dense masks, automatic resets) allocates nothing: the same seeded
// line played again from a reset allocates nothing at all.
TEST(Allocations, BatchStepsAllocateNothingOnceGrown) {
    GameBatch batch({.num_games = 6, .num_threads = 2, .seed = 3});
    std::vector<std::int32_t> actions(6);
    std::vector<std::int64_t> wide(6);
    const auto play_line = [&] {
        for (int turn = 0; turn < 150; ++turn) {
            batch.random_actions(actions);
            std::copy(actions.begin(), actions.end(), wide.begin());
            ASSERT_FALSE(batch.step(wide));
        }
    };
    play_line();
    batch.reset({}, 3);
    EXPECT_EQ(allocations_during(play_line), 0);
}

// The same for a learner's turns against built-in opponents: the same line again (fresh agents
// of the same seeds, their streams made beforehand) allocates nothing at all. On one thread:
// the agents' scratch is per thread, and which thread plays which game (so how far each
// thread's scratch has grown) varies from run to run.
TEST(Allocations, LearnerTurnsAllocateNothingOnceGrown) {
    GameBatch batch({.num_games = 6, .num_threads = 1, .auto_reset = false, .seed = 3});
    std::vector<AgentScratch> scratch(batch.num_threads());
    const std::vector<std::uint8_t> seats = {0, 1, 2, 3, 0, 1}, all(6, 1);
    std::vector<std::int64_t> moves(6);
    const auto play_line = [&] {
        Agent greedy({.kind = AgentKind::greedy, .seed = 1, .search = {}});
        Agent random({.kind = AgentKind::random, .seed = 2, .search = {}});
        greedy.reserve_streams(6);
        random.reserve_streams(6);
        const LearnerTurns turns{
            .opponents = {&greedy, &random, &greedy}, .learner_seats = seats, .scratch = scratch};
        const long made = allocations_during([&] {
            ASSERT_FALSE(play_to_learners(batch, turns, all, {}, 3));
            for (int turn = 0; turn < 30; ++turn) {
                const auto& out = batch.outputs();
                for (std::size_t i = 0; i < 6; ++i)
                    moves[i] = batch.finished(i) ? -1 : out.legal_actions[out.legal_offsets[i]];
                ASSERT_FALSE(play_to_learners(batch, turns, {}, moves, std::nullopt));
            }
        });
        return made;
    };
    play_line();
    EXPECT_EQ(play_line(), 0);
}

}  // namespace
}  // namespace krodan
