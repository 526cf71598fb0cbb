#include "search/gumbel.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

namespace krodan {
namespace {

// A floor under the priors of visited children, so that the mixed value stays a number when
// every visited child had a prior of 0.
constexpr double TINY_PRIOR = std::numeric_limits<float>::min();
// The least score of a considered child: a child of prior 0 (logit −∞) may still be chosen when
// nothing better is considered.
constexpr double LOW_SCORE = -1e9;
constexpr double LEAST_SPREAD = 1e-8;

double logit(double prior) {
    return prior > 0 ? std::log(prior) : -std::numeric_limits<double>::infinity();
}

// The first largest entry.
std::size_t first_largest(std::span<const double> scores) {
    return static_cast<std::size_t>(std::max_element(scores.begin(), scores.end()) -
                                    scores.begin());
}

}  // namespace

void considered_visits(std::uint32_t considered, std::uint32_t simulations,
                       std::vector<std::uint32_t>& out) {
    out.clear();
    if (considered <= 1) {
        for (std::uint32_t s = 0; s < simulations; ++s) out.push_back(s);
        return;
    }
    const auto log2_considered =
        static_cast<std::uint32_t>(std::ceil(std::log2(static_cast<double>(considered))));
    std::uint32_t remaining = considered;
    std::uint32_t reached = 0;  // the visits of every child still considered
    while (out.size() < simulations) {
        const std::uint32_t rounds =
            std::max<std::uint32_t>(1, simulations / (log2_considered * remaining));
        for (std::uint32_t r = 0; r < rounds && out.size() < simulations; ++r, ++reached)
            for (std::uint32_t k = 0; k < remaining && out.size() < simulations; ++k)
                out.push_back(reached);
        remaining = std::max<std::uint32_t>(2, remaining / 2);
    }
}

void transform_q(ChildStats& stats, double raw_value, const GumbelConstants& constants) {
    const std::size_t count = stats.size();
    double total_visits = 0, visited_prior = 0, most_visits = 0;
    for (std::size_t k = 0; k < count; ++k) {
        total_visits += stats.visits[k];
        most_visits = std::max(most_visits, stats.visits[k]);
        if (stats.visits[k] > 0) visited_prior += std::max(TINY_PRIOR, stats.prior[k]);
    }
    double weighted_q = 0;
    for (std::size_t k = 0; k < count; ++k)
        if (stats.visits[k] > 0)
            weighted_q += std::max(TINY_PRIOR, stats.prior[k]) * stats.q[k] / visited_prior;
    const double mixed = (raw_value + total_visits * weighted_q) / (total_visits + 1);
    stats.sigma.resize(count);
    double least = std::numeric_limits<double>::infinity();
    double largest = -least;
    for (std::size_t k = 0; k < count; ++k) {
        const double completed = stats.visits[k] > 0 ? stats.q[k] : mixed;
        stats.sigma[k] = completed;
        least = std::min(least, completed);
        largest = std::max(largest, completed);
    }
    const double spread = std::max(largest - least, LEAST_SPREAD);
    const double scale = (constants.c_visit + most_visits) * constants.c_scale;
    for (double& s : stats.sigma) s = scale * ((s - least) / spread);
}

void improved_policy(const ChildStats& stats, std::span<double> out) {
    const std::size_t count = stats.size();
    double top = -std::numeric_limits<double>::infinity();
    for (std::size_t k = 0; k < count; ++k) {
        out[k] = logit(stats.prior[k]) + stats.sigma[k];
        top = std::max(top, out[k]);
    }
    if (!std::isfinite(top)) {  // no child with a prior: the renormalised priors never do this
        std::fill(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(count), 1.0 / count);
        return;
    }
    double total = 0;
    for (std::size_t k = 0; k < count; ++k) total += out[k] = std::exp(out[k] - top);
    for (std::size_t k = 0; k < count; ++k) out[k] /= total;
}

std::size_t interior_choice(ChildStats& stats) {
    const std::size_t count = stats.size();
    stats.work.resize(count);
    improved_policy(stats, stats.work);
    double total_visits = 0;
    for (double n : stats.visits) total_visits += n;
    for (std::size_t k = 0; k < count; ++k) stats.work[k] -= stats.visits[k] / (1 + total_visits);
    return first_largest(stats.work);
}

std::size_t halving_choice(const ChildStats& stats, std::span<const double> gumbel,
                           double considered) {
    double top_logit = -std::numeric_limits<double>::infinity();
    for (double p : stats.prior) top_logit = std::max(top_logit, logit(p));
    std::size_t best = 0;
    double best_score = -std::numeric_limits<double>::infinity();
    for (std::size_t k = 0; k < stats.size(); ++k) {
        if (stats.visits[k] != considered) continue;
        const double score =
            std::max(LOW_SCORE, gumbel[k] + (logit(stats.prior[k]) - top_logit) + stats.sigma[k]);
        if (score > best_score) {
            best_score = score;
            best = k;
        }
    }
    return best;
}

}  // namespace krodan
