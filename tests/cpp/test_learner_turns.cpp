// One learner seat per game against built-in opponents, played in one pass per learner move,
// against the same games stepped a round at a time with the opponents' seated actions: the same
// positions after every learner move on every thread count, the same final scores, and a game
// over seen from its learner's seat.

#include <gtest/gtest.h>

#include <algorithm>

#include "agents/learner_turns.hpp"
#include "agents/seated_play.hpp"

namespace krodan {
namespace {

constexpr std::size_t GAMES = 6;
constexpr std::array<std::uint8_t, GAMES> LEARNERS = {0, 1, 2, 3, 1, 2};

std::array<Agent, 3> opponents() {
    return {Agent({.kind = AgentKind::greedy, .seed = 7, .search = {}}),
            Agent({.kind = AgentKind::mcts, .seed = 8, .search = {.simulations = 6}}),
            Agent({.kind = AgentKind::random, .seed = 9, .search = {}})};
}

BatchOptions options(unsigned threads) {
    return {.num_games = GAMES, .num_threads = threads, .auto_reset = false, .seed = 3};
}

// The learner's move in each game in play: its last legal action.
std::vector<std::int64_t> learner_moves(const GameBatch& batch) {
    std::vector<std::int64_t> moves(GAMES, -1);
    const auto& out = batch.outputs();
    for (std::size_t i = 0; i < GAMES; ++i)
        if (!batch.finished(i)) moves[i] = out.legal_actions[out.legal_offsets[i + 1] - 1];
    return moves;
}

// The opponents' moves a round at a time, as seated actions: each learner seat's games decided
// by the opponents seated around it, the others held.
void play_rounds(GameBatch& batch, std::array<Agent, 3>& agents, std::span<AgentScratch> scratch) {
    Agent stand_in({.kind = AgentKind::random, .seed = 0, .search = {}});
    std::vector<std::int32_t> chosen(GAMES);
    std::vector<std::int64_t> actions(GAMES);
    std::vector<std::uint8_t> games(GAMES);
    for (;;) {
        std::fill(actions.begin(), actions.end(), HOLD);
        bool waiting = false;
        for (std::uint8_t learner = 0; learner < NUM_AGENTS; ++learner) {
            Seats seats{&stand_in, &stand_in, &stand_in, &stand_in};
            for (unsigned j = 0; j < 3; ++j) seats[(learner + 1 + j) % NUM_AGENTS] = &agents[j];
            for (std::size_t i = 0; i < GAMES; ++i)
                games[i] = LEARNERS[i] == learner && !batch.finished(i) &&
                           batch.game(i).current_agent != learner;
            if (std::none_of(games.begin(), games.end(), [](auto g) { return g != 0; })) continue;
            waiting = true;
            seated_actions(batch, seats, scratch, chosen, games);
            for (std::size_t i = 0; i < GAMES; ++i)
                if (games[i] != 0) actions[i] = chosen[i];
        }
        if (!waiting) return;
        ASSERT_FALSE(batch.step(actions));
    }
}

void expect_same_games(unsigned threads) {
    auto fast_agents = opponents(), round_agents = opponents();
    GameBatch fast(options(threads)), rounds(options(2));
    std::vector<AgentScratch> fast_scratch(fast.num_threads()), round_scratch(2);
    const LearnerTurns turns{.opponents = {&fast_agents[0], &fast_agents[1], &fast_agents[2]},
                             .learner_seats = LEARNERS,
                             .scratch = fast_scratch};
    const std::vector<std::uint8_t> all(GAMES, 1);
    ASSERT_FALSE(play_to_learners(fast, turns, all, {}, std::nullopt));
    play_rounds(rounds, round_agents, round_scratch);
    for (int move = 0; move < 40; ++move) {
        for (std::size_t i = 0; i < GAMES; ++i) {
            ASSERT_EQ(fast.state(i), rounds.state(i)) << "move " << move << ", game " << i;
            EXPECT_EQ(fast.outputs().terminated[i], rounds.finished(i));
        }
        const auto moves = learner_moves(rounds);
        ASSERT_FALSE(play_to_learners(fast, turns, {}, moves, std::nullopt));
        ASSERT_FALSE(rounds.step(moves));
        play_rounds(rounds, round_agents, round_scratch);
    }
    const auto& out = fast.outputs();
    for (std::size_t i = 0; i < GAMES; ++i) {
        ASSERT_TRUE(fast.finished(i));
        EXPECT_TRUE(std::equal(out.final_scores.data() + i * NUM_AGENTS,
                               out.final_scores.data() + (i + 1) * NUM_AGENTS,
                               rounds.outputs().final_scores.data() + i * NUM_AGENTS));
        std::vector<std::uint8_t> planes(OBSERVATION_BYTES), pieces(PIECES_BYTES), done(DONE_BYTES);
        write_observation(build_observation(fast.game(i), LEARNERS[i]),
                          observation_spans(planes.data(), pieces.data(), done.data()));
        EXPECT_TRUE(std::equal(planes.begin(), planes.end(),
                               out.observation.data() + i * OBSERVATION_BYTES))
            << "game " << i << " is not seen from its learner's seat";
    }
}

TEST(LearnerTurns, SameGamesAsRoundsOnEveryThreadCount) {
    for (unsigned threads : {1u, 2u, 3u}) expect_same_games(threads);
}

TEST(LearnerTurns, StopsAtTheCallersOpponentAndRefusesAnIllegalMoveWhole) {
    auto agents = opponents();
    GameBatch batch(options(2));
    std::vector<AgentScratch> scratch(batch.num_threads());
    // Opponent 1, two seats after the learner, is the caller's to play.
    const LearnerTurns turns{.opponents = {&agents[0], nullptr, &agents[2]},
                             .learner_seats = LEARNERS,
                             .scratch = scratch};
    const std::vector<std::uint8_t> all(GAMES, 1);
    ASSERT_FALSE(play_to_learners(batch, turns, all, {}, std::nullopt));
    std::vector<StateString> before;
    for (std::size_t i = 0; i < GAMES; ++i) {
        const unsigned mover = batch.game(i).current_agent;
        EXPECT_TRUE(mover == LEARNERS[i] || mover == (LEARNERS[i] + 2u) % NUM_AGENTS) << i;
        before.push_back(batch.state(i));
    }
    EXPECT_EQ(batch.game(3).current_agent, 1);  // the greedy opponent in seat 0 moved first
    auto moves = learner_moves(batch);
    moves[4] = static_cast<std::int64_t>(NUM_ACTIONS);
    const auto illegal = play_to_learners(batch, turns, {}, moves, std::nullopt);
    ASSERT_TRUE(illegal);
    EXPECT_EQ(illegal->game, 4u);
    for (std::size_t i = 0; i < GAMES; ++i) EXPECT_EQ(batch.state(i), before[i]);
}

}  // namespace
}  // namespace krodan
