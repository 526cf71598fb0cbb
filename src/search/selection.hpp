#pragma once
// The selection rules: which child of a node a walk down the tree follows. Each returns an
// index into the tree's edges; children are scanned in list order and a strict comparison
// leaves ties to the first. Values are means for the node's mover, in double precision.

#include <cmath>
#include <cstdint>
#include <limits>

#include "search/tree.hpp"

namespace krodan {

// UCT, every child having a node: the child maximising
//     Q_m(child) + c · √(ln N(node) / N(child)).
template <class Edge>
std::uint32_t uct_child(const SearchTree<Edge>& tree, const Node& node, double c) {
    const double log_visits = std::log(static_cast<double>(node.visits));
    std::uint32_t best = node.first_child;
    double best_value = -1;
    for (std::uint32_t k = node.first_child; k < node.first_child + node.num_children; ++k) {
        const Node& child = tree.node(tree.edge(k).node);
        const double n = child.visits;
        const double value = child.value[node.mover] / n + c * std::sqrt(log_visits / n);
        if (value > best_value) {
            best_value = value;
            best = k;
        }
    }
    return best;
}

// PUCT, over edges with a `prior`: the child maximising
//     Q_m(child) + c_puct · P(child) · √N(node) / (1 + N(child)),
// Q_m of a child never visited being the node's own mean.
template <class Edge>
std::uint32_t puct_child(const SearchTree<Edge>& tree, const Node& node, double c_puct) {
    const unsigned m = node.mover;
    const double parent_q = node.value[m] / node.visits;
    const double root_visits = std::sqrt(static_cast<double>(node.visits));
    double best_score = -std::numeric_limits<double>::infinity();
    std::uint32_t best = node.first_child;
    for (std::uint32_t k = node.first_child; k < node.first_child + node.num_children; ++k) {
        const Edge& edge = tree.edge(k);
        double q = parent_q;
        double n = 0;
        if (edge.node != 0) {
            const Node& child = tree.node(edge.node);
            n = child.visits;
            if (child.visits > 0) q = child.value[m] / n;
        }
        const double score = q + c_puct * static_cast<double>(edge.prior) * root_visits / (1 + n);
        if (score > best_score) {
            best_score = score;
            best = k;
        }
    }
    return best;
}

}  // namespace krodan
