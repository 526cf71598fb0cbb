#pragma once
// Gamma and Dirichlet draws from the one portable generator, so that a seed gives the same noise
// wherever it runs: Marsaglia and Tsang's method for shape ≥ 1, boosted by U^(1/shape) below 1,
// with normal draws by the polar method.

#include <cmath>
#include <span>

#include "random/generator.hpp"

namespace krodan {

// Uniform in (0, 1): 53 bits, never 0 nor 1.
inline double open_uniform(Generator& rng) {
    return (static_cast<double>(rng.next() >> 11) + 0.5) * 0x1p-53;
}

inline double standard_normal(Generator& rng) {
    for (;;) {
        const double u = 2 * open_uniform(rng) - 1;
        const double v = 2 * open_uniform(rng) - 1;
        const double s = u * u + v * v;
        if (s > 0 && s < 1) return u * std::sqrt(-2 * std::log(s) / s);
    }
}

// A Gamma(shape, 1) draw, shape > 0.
inline double gamma_draw(double shape, Generator& rng) {
    if (shape < 1) {
        const double boost = std::pow(open_uniform(rng), 1 / shape);
        return gamma_draw(shape + 1, rng) * boost;
    }
    const double d = shape - 1.0 / 3;
    const double c = 1 / std::sqrt(9 * d);
    for (;;) {
        const double x = standard_normal(rng);
        double v = 1 + c * x;
        if (v <= 0) continue;
        v = v * v * v;
        const double u = open_uniform(rng);
        if (std::log(u) < 0.5 * x * x + d - d * v + d * std::log(v)) return d * v;
    }
}

// A symmetric Dirichlet(alpha) draw into `out`, one gamma draw per entry in order; uniform in
// the rare case that every draw underflows to 0.
inline void dirichlet_draw(double alpha, Generator& rng, std::span<double> out) {
    double sum = 0;
    for (double& x : out) sum += (x = gamma_draw(alpha, rng));
    for (double& x : out) x = sum > 0 ? x / sum : 1.0 / static_cast<double>(out.size());
}

}  // namespace krodan
