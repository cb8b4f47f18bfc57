#pragma once

// What the CPU can run, asked of the CPU itself (cpuid and xgetbv) rather than through
// __builtin_cpu_supports: that builtin relies on the compiler runtime having filled in a
// CPU model, and some toolchains (zig's, used for the portable wheels) ship a runtime
// whose model is always empty, which would switch every vector path off in silence.

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <cpuid.h>
#endif

namespace calcsift {

// SSE2: part of x86-64 itself.
inline bool cpu_has_sse2() noexcept {
#if defined(__x86_64__)
    return true;
#else
    return false;
#endif
}

// AVX2 with BMI1, BMI2 and POPCNT (what the AVX2 code paths are compiled for), and an
// operating system that saves the YMM registers.
inline bool cpu_has_avx2() noexcept {
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
    unsigned a = 0, b = 0, c = 0, d = 0;
    if (!__get_cpuid(1, &a, &b, &c, &d)) return false;
    const bool osxsave = (c >> 27) & 1, avx = (c >> 28) & 1, popcnt = (c >> 23) & 1;
    if (!osxsave || !avx || !popcnt) return false;
    unsigned xcr0_lo = 0, xcr0_hi = 0;
    __asm__ volatile("xgetbv" : "=a"(xcr0_lo), "=d"(xcr0_hi) : "c"(0));
    if ((xcr0_lo & 0x6) != 0x6) return false;  // XMM and YMM state
    if (!__get_cpuid_count(7, 0, &a, &b, &c, &d)) return false;
    const bool bmi1 = (b >> 3) & 1, avx2 = (b >> 5) & 1, bmi2 = (b >> 8) & 1;
    return avx2 && bmi1 && bmi2;
#else
    return false;
#endif
}

}  // namespace calcsift
