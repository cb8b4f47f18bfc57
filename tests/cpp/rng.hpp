// The random numbers of the C++ sweeps: splitmix64, so that every run and every
// machine sweeps the same inputs.
#pragma once

#include <cstdint>

struct Rng {
    std::uint64_t s;
    std::uint64_t next() {
        std::uint64_t z = (s += 0x9E3779B97F4A7C15ULL);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
        return z ^ (z >> 31);
    }
    unsigned below(unsigned n) { return static_cast<unsigned>(next() % n); }
    bool one_in(unsigned n) { return below(n) == 0; }
};
