// Agents in their seats: the same actions and the same finished games on every thread count,
// legal actions only, and streams that go on across calls.

#include <gtest/gtest.h>
#include <atomic>

#include "agents/seated_play.hpp"
#include "game/apply_action.hpp"

namespace krodan {
namespace {

std::array<Agent, NUM_AGENTS> lineup() {
    return {Agent({.kind = AgentKind::random, .seed = 1, .search = {}}),
            Agent({.kind = AgentKind::greedy, .seed = 2, .search = {}}),
            Agent({.kind = AgentKind::mcts, .seed = 3, .search = {.simulations = 6}}),
            Agent({.kind = AgentKind::random, .seed = 4, .search = {}})};
}

// The actions chosen over a whole run of 5 games stepped to their ends, on `threads` threads.
std::vector<std::int32_t> seated_run(unsigned threads) {
    auto agents = lineup();
    const Seats seats{&agents[0], &agents[1], &agents[2], &agents[3]};
    GameBatch batch({.num_games = 5,
                     .num_threads = threads,
                     .auto_reset = false,
                     .dense_mask = false,
                     .observations = false});
    std::vector<AgentScratch> scratch(batch.num_threads());
    std::vector<std::int32_t> actions(5), all;
    std::vector<std::int64_t> wide(5);
    for (int turn = 0; turn < 120; ++turn) {
        seated_actions(batch, seats, scratch, actions);
        for (std::size_t i = 0; i < 5; ++i) {
            if (actions[i] < 0) continue;
            Game next = batch.game(i);
            EXPECT_FALSE(apply_action(next, static_cast<std::uint64_t>(actions[i])));
        }
        wide.assign(actions.begin(), actions.end());
        EXPECT_FALSE(batch.step(wide));
        all.insert(all.end(), actions.begin(), actions.end());
    }
    for (std::size_t i = 0; i < 5; ++i) EXPECT_TRUE(batch.finished(i));
    return all;
}

TEST(SeatedActions, SameOnEveryThreadCount) {
    const auto one = seated_run(1);
    EXPECT_EQ(seated_run(2), one);
    EXPECT_EQ(seated_run(3), one);
}

std::vector<Scores> played(unsigned threads, std::uint64_t first) {
    // Six games, one stream each: first, first + 1, ...
    auto agents = lineup();
    std::vector<Seats> games;
    for (unsigned r = 0; r < 6; ++r)  // rotations of the seats
        games.push_back(
            {&agents[r % 4], &agents[(r + 1) % 4], &agents[(r + 2) % 4], &agents[(r + 3) % 4]});
    WorkerPool pool(threads);
    std::vector<AgentScratch> scratch(pool.num_threads());
    std::vector<Scores> scores(games.size());
    std::vector<std::uint64_t> streams(games.size());
    for (std::size_t k = 0; k < streams.size(); ++k) streams[k] = first + k;
    play_games(games, streams, pool, scratch, scores);
    return scores;
}

TEST(PlayGames, SameScoresOnEveryThreadCountAndPerGameStreams) {
    const auto one = played(1, 0);
    EXPECT_EQ(played(2, 0), one);
    EXPECT_EQ(played(3, 0), one);
    EXPECT_NE(played(1, 6), one);  // other games, other streams
}

TEST(PlayGames, AStopRequestEndsEveryGameBeforeItsNextMove) {
    auto agents = lineup();
    const std::vector<Seats> games(3, Seats{&agents[0], &agents[1], &agents[2], &agents[3]});
    const std::vector<std::uint64_t> streams{0, 1, 2};
    WorkerPool pool(2);
    std::vector<AgentScratch> scratch(pool.num_threads());
    std::vector<Scores> scores(games.size());
    std::vector<std::int32_t> placements(games.size() * MAX_PLACEMENTS);
    std::atomic<bool> stop{true};
    EXPECT_FALSE(play_games(games, streams, pool, scratch, scores, placements, &stop));
    for (std::size_t k = 0; k < games.size(); ++k)
        EXPECT_EQ(placements[k * MAX_PLACEMENTS], -1) << "game " << k << " moved";
    // Nothing was drawn: the same agents, not stopped, play the games a fresh lineup plays.
    stop = false;
    EXPECT_TRUE(play_games(games, streams, pool, scratch, scores, placements, &stop));
    auto fresh = lineup();
    const std::vector<Seats> again(3, Seats{&fresh[0], &fresh[1], &fresh[2], &fresh[3]});
    std::vector<Scores> expected(games.size());
    play_games(again, streams, pool, scratch, expected);
    EXPECT_EQ(scores, expected);
}

TEST(PlayGames, OneStreamOfOneAgentInTwoGamesIsFound) {
    auto agents = lineup();
    const Seats all{&agents[0], &agents[1], &agents[2], &agents[3]};
    const Seats one_twice{&agents[0], &agents[0], &agents[2], &agents[3]};
    const std::vector<Seats> games{all, one_twice};
    EXPECT_FALSE(shared_stream(std::span(games).first(1), std::vector<std::uint64_t>{0}));
    EXPECT_FALSE(shared_stream(games, std::vector<std::uint64_t>{0, 1}));
    const auto found = shared_stream(games, std::vector<std::uint64_t>{2, 2});
    ASSERT_TRUE(found);
    EXPECT_EQ(*found, (std::pair<std::size_t, std::size_t>{0, 1}));
}

}  // namespace
}  // namespace krodan
