// The batch against single games stepped one by one, the worker pool, and the generator.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <numeric>
#include <stdexcept>

#include "batch/game_batch.hpp"
#include "batch/worker_pool.hpp"
#include "game/apply_action.hpp"
#include "play.hpp"
#include "random/generator.hpp"

namespace krodan {
namespace {

TEST(WorkerPool, RunsEveryTaskOnceOnEveryThreadCount) {
    for (unsigned threads : {1u, 2u, 3u, 5u}) {
        WorkerPool pool(threads);
        EXPECT_EQ(pool.num_threads(), threads);
        for (std::size_t tasks : {0u, 1u, 2u, 7u, 100u}) {
            std::vector<std::atomic<int>> runs(tasks);
            std::vector<std::atomic<int>> by_thread(threads);
            pool.run(tasks, [&](std::size_t k, unsigned t) {
                runs[k].fetch_add(1);
                by_thread.at(t).fetch_add(1);
            });
            for (auto& r : runs) EXPECT_EQ(r.load(), 1);
            int total = 0;
            for (auto& b : by_thread) total += b.load();
            EXPECT_EQ(total, static_cast<int>(tasks));
        }
    }
}

TEST(WorkerPool, ManyShortJobsInARow) {
    WorkerPool pool(3);
    std::vector<int> cells(64);
    for (int job = 0; job < 2000; ++job)
        pool.run(cells.size(), [&](std::size_t k, unsigned) { cells[k] += 1; });
    for (int c : cells) EXPECT_EQ(c, 2000);
}

TEST(WorkerPool, RethrowsTheFirstExceptionAndStaysUsable) {
    WorkerPool pool(2);
    EXPECT_THROW(pool.run(50,
                          [](std::size_t k, unsigned) {
                              if (k == 3) throw std::runtime_error("task 3");
                          }),
                 std::runtime_error);
    std::atomic<int> ran{0};
    pool.run(10, [&](std::size_t, unsigned) { ran.fetch_add(1); });
    EXPECT_EQ(ran.load(), 10);
}

TEST(Generator, SameStreamSameNumbersAndBoundedDrawsCoverTheRange) {
    Generator a(7, 3), b(7, 3), other_index(7, 4), other_seed(8, 3);
    for (int i = 0; i < 100; ++i) {
        const std::uint64_t x = a.next();
        EXPECT_EQ(x, b.next());
        EXPECT_NE(x, other_index.next());
        EXPECT_NE(x, other_seed.next());
    }
    // splitmix64's published first output for state 0.
    std::uint64_t state = 0;
    EXPECT_EQ(splitmix64(state), 0xE220A8397B1DCDAFULL);
    std::vector<int> seen(7);
    for (int i = 0; i < 7000; ++i) seen.at(a.below(7)) += 1;
    for (int count : seen) EXPECT_NEAR(count, 1000, 150);
    EXPECT_EQ(a.below(1), 0u);
}

// One reference game as the batch plays it: the action, then passes for done movers.
void play_reference(Game& game, std::uint64_t action) {
    ASSERT_FALSE(apply_action(game, action));
    while (!is_over(game) && game.agent_states[game.current_agent].done)
        ASSERT_FALSE(apply_action(game, std::nullopt));
}

// Every array row of game i against the reference game.
void expect_views_match(const GameBatch& batch, std::size_t i, const Game& ref) {
    const BatchOutputs& out = batch.outputs();
    ASSERT_EQ(encode_state(batch.game(i)), encode_state(ref));
    const unsigned mover = static_cast<unsigned>(ref.current_agent);
    EXPECT_EQ(out.current_agent[i], static_cast<std::int8_t>(mover));
    const ObservationBytes want = observation_bytes(ref, mover);
    const std::uint8_t* planes = out.observation.data() + i * OBSERVATION_BYTES;
    EXPECT_TRUE(std::equal(want.observation.begin(), want.observation.end(), planes));
    EXPECT_TRUE(std::equal(want.corners.begin(), want.corners.end(), planes + PLANE_BYTES));
    EXPECT_TRUE(std::equal(want.blocked.begin(), want.blocked.end(), planes + 2 * PLANE_BYTES));
    EXPECT_TRUE(
        std::equal(want.pieces.begin(), want.pieces.end(), out.pieces.data() + i * PIECES_BYTES));
    EXPECT_TRUE(std::equal(want.done.begin(), want.done.end(), out.done.data() + i * DONE_BYTES));
    const std::uint8_t* mask = out.action_mask.data() + i * NUM_ACTIONS;
    EXPECT_TRUE(std::equal(want.action_mask.begin(), want.action_mask.end(), mask));
    std::vector<std::int32_t> want_list;
    for (std::size_t a = 0; a < NUM_ACTIONS; ++a)
        if (want.action_mask[a]) want_list.push_back(static_cast<std::int32_t>(a));
    const std::int32_t* offsets = out.legal_offsets.data();
    const std::vector<std::int32_t> list(out.legal_actions.data() + offsets[i],
                                         out.legal_actions.data() + offsets[i + 1]);
    EXPECT_EQ(list, want_list);
}

TEST(GameBatch, AgreesWithSingleGamesOnEveryThreadCount) {
    const std::size_t n = 9;
    std::vector<std::vector<std::int32_t>> actions_by_threads;
    for (unsigned threads : {1u, 2u, 3u}) {
        GameBatch batch({.num_games = n, .num_threads = threads, .seed = 11});
        std::vector<Game> refs(n, new_game());
        std::vector<std::int32_t> actions(n), played;
        std::vector<std::int64_t> wide(n);
        int ended = 0;
        for (int turn = 0; turn < 200; ++turn) {
            batch.random_actions(actions);
            played.insert(played.end(), actions.begin(), actions.end());
            std::copy(actions.begin(), actions.end(), wide.begin());
            ASSERT_FALSE(batch.step(wide));
            for (std::size_t i = 0; i < n; ++i) {
                const unsigned mover = static_cast<unsigned>(refs[i].current_agent);
                EXPECT_EQ(batch.outputs().mover[i], static_cast<std::int8_t>(mover));
                play_reference(refs[i], static_cast<std::uint64_t>(actions[i]));
                const bool over = is_over(refs[i]);
                EXPECT_EQ(batch.outputs().terminated[i], over);
                if (over) {
                    ++ended;
                    const Scores scores = compute_scores(refs[i]);
                    const Outcome outcome = outcome_values(scores, RewardMode::win_share);
                    for (unsigned a = 0; a < NUM_AGENTS; ++a) {
                        EXPECT_EQ(batch.outputs().final_scores[i * NUM_AGENTS + a], scores[a]);
                        EXPECT_EQ(batch.outputs().rewards[i * NUM_AGENTS + a], outcome[a]);
                    }
                    refs[i] = new_game();
                }
                expect_views_match(batch, i, refs[i]);
            }
        }
        EXPECT_GT(ended, 0);
        actions_by_threads.push_back(played);
    }
    EXPECT_EQ(actions_by_threads[0], actions_by_threads[1]);
    EXPECT_EQ(actions_by_threads[0], actions_by_threads[2]);
}

TEST(GameBatch, IllegalActionChangesNoGame) {
    GameBatch batch({.num_games = 4, .num_threads = 2});
    std::vector<std::int32_t> actions(4);
    batch.random_actions(actions);
    std::vector<std::int64_t> wide(actions.begin(), actions.end());
    wide[2] = 419;  // an orientation anchored where no start cell is covered
    std::vector<StateString> before;
    for (std::size_t i = 0; i < 4; ++i) before.push_back(batch.state(i));
    const auto refused = batch.step(wide);
    ASSERT_TRUE(refused);
    EXPECT_EQ(refused->game, 2u);
    EXPECT_EQ(refused->action, 419);
    EXPECT_EQ(refused->agent, 0u);
    for (std::size_t i = 0; i < 4; ++i) EXPECT_EQ(batch.state(i), before[i]);
    wide[2] = -1;
    EXPECT_TRUE(batch.step(wide));
    wide[2] = static_cast<std::int64_t>(NUM_ACTIONS);
    EXPECT_TRUE(batch.step(wide));
}

TEST(GameBatch, WithoutAutoResetAFinishedGameStaysOver) {
    GameBatch batch({.num_games = 2, .num_threads = 1, .auto_reset = false, .dense_mask = false});
    std::vector<std::int32_t> actions(2);
    std::vector<std::int64_t> wide(2);
    int over_steps = 0;
    // Game 0 is stepped until both games are over, game 1 only while game 0 plays on.
    for (int turn = 0; turn < 400 && !(batch.finished(0) && batch.finished(1)); ++turn) {
        const bool was_finished = batch.finished(0);
        batch.random_actions(actions);
        if (was_finished) {
            EXPECT_EQ(actions[0], -1);
        }
        std::copy(actions.begin(), actions.end(), wide.begin());
        ASSERT_FALSE(batch.step(wide));
        if (was_finished) {
            ++over_steps;
            EXPECT_EQ(batch.outputs().terminated[0], 1);
            EXPECT_EQ(batch.outputs().rewards[0], 0.0f);
            EXPECT_EQ(batch.outputs().mover[0], -1);
            EXPECT_EQ(batch.outputs().legal_offsets[1], 0);
        }
    }
    ASSERT_TRUE(batch.finished(0) && batch.finished(1));
    const std::uint8_t restart[] = {1, 0};
    batch.reset(restart, std::nullopt);
    EXPECT_FALSE(batch.finished(0));
    EXPECT_TRUE(batch.finished(1));
    EXPECT_EQ(batch.outputs().legal_offsets[1], 58);
    EXPECT_EQ(batch.outputs().legal_offsets[2], 58);
    (void)over_steps;
}

TEST(GameBatch, SetStatePassesForDoneMoversAndRefusesWhatTheDecoderRefuses) {
    GameBatch batch({.num_games = 3, .num_threads = 2, .auto_reset = false});
    const auto line = testing::random_game(5);
    // A late position whose mover is done: the batch passes until someone can move.
    bool found = false;
    for (const Game& g : line) {
        if (is_over(g) || !g.agent_states[g.current_agent].done) continue;
        const StateString s = encode_state(g);
        ASSERT_FALSE(batch.set_state(1, {reinterpret_cast<const char*>(s.data()), s.size()}));
        Game want = g;
        while (want.agent_states[want.current_agent].done) ASSERT_FALSE(apply_action(want, {}));
        expect_views_match(batch, 1, want);
        found = true;
        break;
    }
    ASSERT_TRUE(found) << "the game has no position whose mover is done";
    const StateString before = batch.state(1);
    EXPECT_EQ(batch.set_state(1, "short")->message, NOT_A_GAME_STATE);
    const StateString over = encode_state(line.back());
    EXPECT_EQ(
        batch.set_state(1, {reinterpret_cast<const char*>(over.data()), over.size()})->message,
        FINISHED_STATE);
    EXPECT_EQ(batch.state(1), before);
    expect_views_match(batch, 0, new_game());
}

}  // namespace
}  // namespace krodan
