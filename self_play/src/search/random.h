// The search's pseudo-random generator and its draws. Every function that draws takes the
// generator as an argument: production passes the thread's own, seeded from the operating
// system; tests and benchmarks pass a seeded one and get the same game every run.
#pragma once

#include <cstddef>
#include <cstdint>
#include <random>

namespace tralix {

using Rng = std::mt19937_64;

// The calling thread's generator, seeded from operating-system entropy on first use.
Rng& thread_rng();

// Uniform in [0, 1) in single precision: 24 random bits scaled by 2^-24.
inline float uniform_float(Rng& rng) { return static_cast<float>(rng() >> 40) * 0x1.0p-24f; }

// Uniform index 0 to n - 1 (n > 0), without bias: draws that would favour some indices are
// rejected and drawn again.
inline std::size_t uniform_index(Rng& rng, std::size_t n) {
    const std::uint64_t range = n;
    const std::uint64_t limit = UINT64_MAX - UINT64_MAX % range;  // multiple of range
    std::uint64_t draw;
    do draw = rng();
    while (draw >= limit);
    return static_cast<std::size_t>(draw % range);
}

}  // namespace tralix
