#pragma once
// The one tree of the searches: a pool of nodes with their child lists, the walk from the root
// down to a leaf, the back-up of the leaf's value along that walk, and the reuse of a subtree as
// the next root. A node is a position whose mover can place a piece (the passes of done movers
// are played on the way, they are not choices) or a finished game; node 0 is the root. The
// searches differ only in what they pass in: the choice of a child at each node (their
// selection rule) and how they value the leaf where the walk stops (a rollout, or the caller's
// evaluation).

#include <array>
#include <cstdint>
#include <utility>
#include <vector>

#include "game/game.hpp"
#include "game/internal_error.hpp"
#include "game/passes.hpp"

namespace krodan {

enum class NodeState : std::uint8_t { fresh, expanded, terminal };

struct Node {
    std::array<double, NUM_AGENTS> value{};  // sums of backed-up values, absolute agents
    std::uint32_t visits = 0;                // values backed up through the node, its own too
    std::uint32_t first_child = 0;           // into the tree's edges
    std::uint16_t num_children = 0;
    // For a rule that gives its children nodes one by one, each swapped to the front: how many
    // have one.
    std::uint16_t tried = 0;
    std::uint8_t mover = 0;
    NodeState state = NodeState::fresh;  // fresh: no child list yet
};

// `Edge`, a search's record of one child, has at least `std::uint32_t node` (0: no node yet;
// node 0 is the root, never a child) and `std::uint16_t action` (the mover's, in its frame).
template <class Edge>
class SearchTree {
  public:
    // Room for `max_nodes` nodes, the most the tree may hold until the next reserve: growing
    // within it allocates nothing.
    void reserve(std::size_t max_nodes) {
        max_nodes_ = max_nodes;
        nodes_.reserve(max_nodes);
    }

    // Makes `root` the only node.
    void reset(const Game& root) {
        clear();
        add_node(root);
    }
    void clear() {
        nodes_.clear();
        edges_.clear();
        path_.clear();
    }
    // Gives the memory back.
    void release() { *this = SearchTree(); }

    Node& node(std::uint32_t k) { return nodes_[k]; }
    const Node& node(std::uint32_t k) const { return nodes_[k]; }
    Edge& edge(std::uint32_t k) { return edges_[k]; }
    const Edge& edge(std::uint32_t k) const { return edges_[k]; }
    // The visits of edge k's node, 0 without one.
    std::uint32_t edge_visits(std::uint32_t k) const {
        return edges_[k].node != 0 ? nodes_[edges_[k].node].visits : 0;
    }

    std::size_t size() const { return nodes_.size(); }
    // The bytes reserved for nodes and child lists.
    std::size_t bytes() const {
        return (nodes_.capacity() + spare_nodes_.capacity()) * sizeof(Node) +
               (edges_.capacity() + spare_edges_.capacity()) * sizeof(Edge);
    }

    // The nodes of the latest walk, from the root to where it stopped.
    const std::vector<std::uint32_t>& path() const { return path_; }
    // A walk that stops at the root at once.
    void path_to_root() { path_.assign(1, 0); }

    // Gives node `at` its child list, make(k) for k below `count` (1 to 65,535).
    template <class Make>
    void add_children(std::uint32_t at, std::size_t count, Make&& make) {
        if (count == 0 || count > UINT16_MAX)
            throw InternalError("a node's mover has no legal action or too many");
        Node& node = nodes_[at];
        node.first_child = static_cast<std::uint32_t>(edges_.size());
        node.num_children = static_cast<std::uint16_t>(count);
        node.state = NodeState::expanded;
        for (std::size_t k = 0; k < count; ++k) edges_.push_back(make(k));
    }

    // Walks down from the root, `game` being the root's position: at each node of a game in
    // play, choose(node index, game) gives the edge to follow (an index into the edges), whose
    // action is played. Stops at a finished game or at the node it makes for an edge without
    // one; returns that node, the path holding the walk.
    template <class Choose>
    std::uint32_t descend(Game& game, Choose&& choose) {
        std::uint32_t at = 0;
        path_.assign(1, 0);
        while (nodes_[at].state != NodeState::terminal) {
            Edge& edge = edges_[choose(at, std::as_const(game))];
            play_choice(game, edge.action);
            if (edge.node == 0) {
                edge.node = add_node(game);
                path_.push_back(edge.node);
                return edge.node;
            }
            at = edge.node;
            path_.push_back(at);
        }
        return at;
    }

    // One more visit and `value` (per absolute agent) for every node of the path.
    void back_up(const std::array<double, NUM_AGENTS>& value) {
        for (std::uint32_t k : path_) {
            Node& node = nodes_[k];
            ++node.visits;
            for (unsigned a = 0; a < NUM_AGENTS; ++a) node.value[a] += value[a];
        }
    }

    // Makes `child`, a node with visits, the root: its subtree is copied breadth first into the
    // spare pool, which then trades places with the tree's. Nodes that no value has reached (a
    // leaf awaiting its evaluation) are left out.
    void keep_subtree(std::uint32_t child) {
        spare_nodes_.clear();
        spare_edges_.clear();
        spare_nodes_.reserve(max_nodes_);
        // stack_[i] is the old index of new node i.
        stack_.clear();
        spare_nodes_.push_back(nodes_[child]);
        stack_.push_back(child);
        for (std::size_t i = 0; i < spare_nodes_.size(); ++i) {
            const Node& old = nodes_[stack_[i]];
            if (old.state != NodeState::expanded) continue;
            spare_nodes_[i].first_child = static_cast<std::uint32_t>(spare_edges_.size());
            for (std::uint32_t k = old.first_child; k < old.first_child + old.num_children; ++k) {
                Edge edge = edges_[k];
                if (edge.node != 0 && nodes_[edge.node].visits == 0) edge.node = 0;
                if (edge.node != 0) {
                    stack_.push_back(edge.node);
                    spare_nodes_.push_back(nodes_[edge.node]);
                    edge.node = static_cast<std::uint32_t>(spare_nodes_.size() - 1);
                }
                spare_edges_.push_back(edge);
            }
        }
        std::swap(nodes_, spare_nodes_);
        std::swap(edges_, spare_edges_);
        path_.clear();
    }

  private:
    std::uint32_t add_node(const Game& game) {
        if (nodes_.size() >= max_nodes_) throw InternalError("a tree outgrew its room");
        Node node;
        node.mover = static_cast<std::uint8_t>(game.current_agent);
        node.state = is_over(game) ? NodeState::terminal : NodeState::fresh;
        nodes_.push_back(node);
        return static_cast<std::uint32_t>(nodes_.size() - 1);
    }

    std::size_t max_nodes_ = 0;
    std::vector<Node> nodes_;
    std::vector<Edge> edges_;
    std::vector<Node> spare_nodes_;  // where keep_subtree() copies the kept subtree
    std::vector<Edge> spare_edges_;
    std::vector<std::uint32_t> path_;
    std::vector<std::uint32_t> stack_;  // keep_subtree()'s walk
};

}  // namespace krodan
