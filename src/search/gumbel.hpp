#pragma once
// The Gumbel root rule of the guided search, and the deterministic choice it makes below the
// root: the arithmetic over one node's children, each read into `ChildStats` first.
//
// For a node whose mover is m, with priors P (logits log P), visits N and mean values Q_m:
//  - the completed Q: Q_m(a) for a visited child, else the mixed value
//        (v + ΣN · Σ_{N(b)>0} P(b) Q_m(b) / Σ_{N(b)>0} P(b)) / (ΣN + 1),
//    v being the node's own evaluation for m; then rescaled to [0, 1] by its least and largest
//    value over the children (their spread at least 1e-8);
//  - σ(q) = (c_visit + max_b N(b)) · c_scale · q;
//  - the improved policy softmax(logit + σ(completed Q));
//  - below the root, the child maximising improved(a) − N(a) / (1 + ΣN);
//  - at the root, sequential halving: simulation s (0 from the first) considers only the
//    children whose visits equal considered[s] (see considered_visits) and takes the one
//    maximising max(−1e9, g(a) + logit(a) − max logit + σ(completed Q(a))), g being the root's
//    Gumbel noise; the first k = min(m, children) simulations thereby visit the k children of
//    largest g + logit, the Gumbel-top-k sample;
//  - the action played: the same score among the most visited children.
// Ties go to the first child in list order (the lowest action). Double precision throughout.

#include <cstdint>
#include <span>
#include <vector>

#include "search/tree.hpp"

namespace krodan {

struct GumbelConstants {
    double c_visit = 50;
    double c_scale = 0.1;
};

// One node's children in list order, and room for what the rule makes of them. Kept per
// thread: it grows to the widest node once and allocates nothing after.
struct ChildStats {
    std::vector<double> visits;
    std::vector<double> q;      // the mean value for the node's mover; 0 for a child not visited
    std::vector<double> prior;  // as the edges hold it
    std::vector<double> sigma;  // σ(completed Q), made by transform_q
    std::vector<double> work;   // scratch of the choices

    std::size_t size() const { return visits.size(); }
};

// Reads node's children from the tree (edges with a `prior`).
template <class Edge>
void read_children(const SearchTree<Edge>& tree, const Node& node, ChildStats& out) {
    const std::size_t count = node.num_children;
    out.visits.resize(count);
    out.q.resize(count);
    out.prior.resize(count);
    for (std::size_t k = 0; k < count; ++k) {
        const Edge& edge = tree.edge(node.first_child + static_cast<std::uint32_t>(k));
        const std::uint32_t n = edge.node != 0 ? tree.node(edge.node).visits : 0;
        out.visits[k] = n;
        out.q[k] = n > 0 ? tree.node(edge.node).value[node.mover] / n : 0;
        out.prior[k] = edge.prior;
    }
}

// The visits that each of `simulations` simulations of a root with `considered` sampled
// children looks for: rounds that give every child still considered
// max(1, ⌊simulations / (⌈log2 considered⌉ · remaining)⌋) visits, the remaining halved (not below
// 2) after each round. With one child considered (or none), simulation s looks for s visits.
void considered_visits(std::uint32_t considered, std::uint32_t simulations,
                       std::vector<std::uint32_t>& out);

// σ(completed Q) of the children into stats.sigma, `raw_value` being the node's own evaluation
// for its mover.
void transform_q(ChildStats& stats, double raw_value, const GumbelConstants& constants);

// softmax(log P + σ) of stats (after transform_q) into `out`, one per child.
void improved_policy(const ChildStats& stats, std::span<double> out);

// The child to follow below the root (after transform_q).
std::size_t interior_choice(ChildStats& stats);

// The root's child for a simulation that looks for `considered` visits, or the action to play
// when `considered` is the most visits (after transform_q); `gumbel` one per child.
std::size_t halving_choice(const ChildStats& stats, std::span<const double> gumbel,
                           double considered);

}  // namespace krodan
