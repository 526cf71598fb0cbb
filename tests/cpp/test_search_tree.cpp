// The one tree and the UCT rule on it: root visits equal to those of a plain UCT written here
// over nodes that own their children, and a kept subtree that is the old one, node for node,
// less the nodes no value reached.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <memory>
#include <sstream>

#include "agents/policies.hpp"
#include "game/legal_actions.hpp"
#include "game/move_search.hpp"
#include "play.hpp"
#include "search/uct.hpp"

namespace krodan {
namespace {

// A node of the plain UCT: children in the move search's order, the tried ones first.
struct PlainNode {
    explicit PlainNode(const Game& g) : mover(g.current_agent), terminal(is_over(g)) {}
    unsigned mover;
    bool terminal;
    bool expanded = false;
    std::uint32_t visits = 0;
    std::array<double, NUM_AGENTS> value{};
    std::size_t tried = 0;
    std::vector<std::pair<std::uint32_t, std::unique_ptr<PlainNode>>> children;
};

// The rule of search/uct.hpp, step by step: untried children first, drawn uniformly among the
// untried; then the highest mean for the mover plus c·√(ln N / n), the first on ties; one new
// node per simulation, a rollout from it, its outcome added along the path.
std::map<std::int32_t, std::int32_t> plain_uct(const Game& root, std::uint32_t simulations,
                                               double c, RolloutPolicy policy, Generator rng) {
    PlainNode top(root);
    PolicyScratch scratch;
    std::vector<PlacementId> ids;
    for (std::uint32_t s = 0; s < simulations; ++s) {
        Game game = root;
        std::vector<PlainNode*> path{&top};
        PlainNode* at = &top;
        while (!at->terminal) {
            if (!at->expanded) {
                const AgentMasks m = agent_masks(game, at->mover);
                legal_placements(*game.table, m.blocked, m.corners,
                                 game.agent_states[at->mover].remaining, ids);
                for (PlacementId id : ids)
                    at->children.emplace_back(action_in_frame(*game.table, at->mover, id), nullptr);
                at->expanded = true;
            }
            auto& children = at->children;
            if (at->tried < children.size()) {
                const std::size_t pick = at->tried + rng.below(children.size() - at->tried);
                std::swap(children[at->tried], children[pick]);
                auto& [action, child] = children[at->tried++];
                play_choice(game, action);
                child = std::make_unique<PlainNode>(game);
                path.push_back(child.get());
                break;
            }
            std::size_t best = 0;
            double best_value = -1;
            for (std::size_t k = 0; k < children.size(); ++k) {
                const PlainNode& child = *children[k].second;
                const double value = child.value[at->mover] / child.visits +
                                     c * std::sqrt(std::log(double(at->visits)) / child.visits);
                if (value > best_value) {
                    best_value = value;
                    best = k;
                }
            }
            play_choice(game, children[best].first);
            at = children[best].second.get();
            path.push_back(at);
        }
        play_out(game, policy, rng, scratch);
        const auto outcome = normalised_outcome(game, RewardMode::win_share);
        for (PlainNode* node : path) {
            ++node->visits;
            for (unsigned a = 0; a < NUM_AGENTS; ++a) node->value[a] += outcome[a];
        }
    }
    std::map<std::int32_t, std::int32_t> visits;
    for (const auto& [action, child] : top.children)
        visits[static_cast<std::int32_t>(action)] = child ? child->visits : 0;
    return visits;
}

TEST(UctTree, VisitsEqualThoseOfAPlainUct) {
    // Positions with few choices, so that the rule picks among tried children often.
    std::vector<Game> roots;
    LegalActionScratch legal;
    std::vector<std::int32_t> actions;
    for (std::uint64_t seed = 31; roots.size() < 5; ++seed) {
        for (Game g : testing::random_game(seed)) {
            skip_passes(g);
            mover_legal_actions(g, legal, actions);
            if (actions.size() >= 3 && actions.size() <= 30) {
                roots.push_back(g);
                break;
            }
        }
    }
    std::vector<UctTree> trees(2);
    for (RolloutPolicy policy : {RolloutPolicy::random, RolloutPolicy::greedy}) {
        std::vector<PolicyScratch> scratch(2);
        const auto rollout = [&](unsigned t, Game& leaf, Generator& rng) {
            play_out(leaf, policy, rng, scratch[t]);
        };
        for (std::size_t r = 0; r < roots.size(); ++r) {
            const UctOptions options{.simulations = 161, .c = 0.9, .trees = 2};
            const RootVisits found = uct_search(roots[r], options, r, false, trees, rollout);
            auto expected = plain_uct(roots[r], 81, 0.9, policy, Generator(r, 0));
            for (const auto& [action, v] : plain_uct(roots[r], 80, 0.9, policy, Generator(r, 1)))
                expected[action] += v;
            ASSERT_EQ(found.actions.size(), expected.size());
            for (std::size_t k = 0; k < found.actions.size(); ++k)
                EXPECT_EQ(found.visits[k], expected.at(found.actions[k]))
                    << "root " << r << ", action " << found.actions[k];
            EXPECT_GE(*std::max_element(found.visits.begin(), found.visits.end()), 5);
        }
    }
}

struct TestEdge {
    std::uint32_t node = 0;
    std::uint16_t action = 0;
};
using Tree = SearchTree<TestEdge>;

// A node and everything below it that a value reached, as nested text: visits, values, and
// each child by action.
void outline(const Tree& tree, std::uint32_t k, std::ostringstream& out) {
    const Node& node = tree.node(k);
    out << "(" << node.visits << " " << int{node.mover} << " " << static_cast<int>(node.state);
    for (double v : node.value) out << " " << v;
    for (std::uint32_t e = node.first_child; e < node.first_child + node.num_children; ++e) {
        out << " " << tree.edge(e).action << ":";
        if (tree.edge_visits(e) > 0) outline(tree, tree.edge(e).node, out);
    }
    out << ")";
}

std::string outline(const Tree& tree, std::uint32_t k) {
    std::ostringstream out;
    outline(tree, k, out);
    return out.str();
}

TEST(SearchTree, AKeptSubtreeIsTheOldOneLessWhatNoValueReached) {
    Tree tree;
    tree.reserve(200);
    tree.reset(new_game());
    LegalActionScratch scratch;
    std::vector<std::int32_t> actions;
    std::uint64_t turn = 0;
    // Three children per node; the walks go down uneven ways.
    const auto choose = [&](std::uint32_t at, const Game& game) {
        if (tree.node(at).state == NodeState::fresh) {
            mover_legal_actions(game, scratch, actions);
            tree.add_children(at, 3, [&](std::size_t k) {
                return TestEdge{0, static_cast<std::uint16_t>(actions[k])};
            });
        }
        const Node& node = tree.node(at);
        return node.first_child + static_cast<std::uint32_t>(turn++ * 7 / 5 % 3);
    };
    for (int s = 0; s < 60; ++s) {
        Game game = new_game();
        tree.descend(game, choose);
        tree.back_up({s * 0.5, 1.0, s % 3 * 0.25, 0.125});
    }
    Game game = new_game();
    const std::uint32_t pending = tree.descend(game, choose);  // no value backs it up
    ASSERT_EQ(tree.node(pending).visits, 0u);
    ASSERT_GE(tree.path().size(), 3u);
    const std::uint32_t child = tree.path()[1];  // the pending leaf is below it
    Game kept_root = new_game();
    for (std::uint32_t e = tree.node(0).first_child; e < tree.node(0).first_child + 3; ++e)
        if (tree.edge(e).node == child) play_choice(kept_root, tree.edge(e).action);

    const std::string before = outline(tree, child);
    tree.keep_subtree(child);
    EXPECT_EQ(outline(tree, 0), before);
    for (std::size_t k = 0; k < tree.size(); ++k)
        EXPECT_GT(tree.node(k).visits, 0u) << "node " << k << " was kept without a value";
    // The kept tree grows on from its new root.
    const std::size_t size = tree.size();
    tree.descend(kept_root, choose);
    EXPECT_EQ(tree.size(), size + 1);
}

}  // namespace
}  // namespace krodan
