#pragma once
// The one random generator of native code: xoshiro256** seeded through splitmix64, with bounded
// draws by Lemire's multiply-and-reject method. Plain integer arithmetic only, so a seed gives
// the same numbers on every platform and compiler. A stream is named by (seed, index): game i of
// a batch draws from stream (seed, i), whatever the thread that runs it.

#include <array>
#include <cstdint>

namespace krodan {

// One step of splitmix64 from `state`, which it advances.
constexpr std::uint64_t splitmix64(std::uint64_t& state) {
    std::uint64_t z = (state += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
}

class Generator {
  public:
    // Stream `index` of `seed`: the seed is mixed first so that nearby (seed, index) pairs start
    // far apart.
    constexpr Generator(std::uint64_t seed = 0, std::uint64_t index = 0) {
        std::uint64_t mixer = seed;
        std::uint64_t state = splitmix64(mixer) ^ index;
        for (std::uint64_t& word : s_) word = splitmix64(state);
    }

    constexpr std::uint64_t next() {
        const std::uint64_t result = rotl(s_[1] * 5, 7) * 9;
        const std::uint64_t t = s_[1] << 17;
        s_[2] ^= s_[0];
        s_[3] ^= s_[1];
        s_[1] ^= s_[2];
        s_[0] ^= s_[3];
        s_[2] ^= t;
        s_[3] = rotl(s_[3], 45);
        return result;
    }

    // Uniform in [0, bound), bound > 0; the multiply keeps the high half and rejects the few
    // low halves that would bias it.
    constexpr std::uint64_t below(std::uint64_t bound) {
        __extension__ using u128 = unsigned __int128;
        u128 m = static_cast<u128>(next()) * bound;
        if (static_cast<std::uint64_t>(m) < bound) {
            const std::uint64_t threshold = (0 - bound) % bound;
            while (static_cast<std::uint64_t>(m) < threshold) m = static_cast<u128>(next()) * bound;
        }
        return static_cast<std::uint64_t>(m >> 64);
    }

    // The whole state, for saving and restoring a generator.
    constexpr const std::array<std::uint64_t, 4>& state() const { return s_; }
    constexpr void set_state(const std::array<std::uint64_t, 4>& s) { s_ = s; }

    constexpr bool operator==(const Generator&) const = default;

  private:
    static constexpr std::uint64_t rotl(std::uint64_t x, int k) {
        return (x << k) | (x >> (64 - k));
    }

    std::array<std::uint64_t, 4> s_{};
};

}  // namespace krodan
