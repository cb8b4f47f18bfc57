// The SIMD kernel sets of the core, and the one place that picks one.
//
// Every byte scan of the core that vector instructions speed up is an entry of
// a kernel set: a table of functions, one contract per entry, that every set
// fulfils with identical results. A set names the CPU features it needs and is
// used only on a CPU that has all of them:
//
//   avx2    avx2, bmi1, bmi2, popcnt, and the YMM registers saved by the
//           operating system (x86-64 builds)
//   sse2    the x86-64 baseline (x86-64 builds)
//   scalar  plain C++, runs anywhere
//
// The set is chosen once per process, on first use: the one the environment
// variable CALCSIFT_SIMD names (read then, once), or, with the variable unset
// or empty, the widest this CPU runs. A name that is no set, or a set this CPU
// cannot run, is refused: simd_kernels() throws, so every parse fails with a
// message naming the variable, its value and the sets this CPU runs. A Cursor
// (and its Tokenizer) takes the chosen set when it is made; tests and the fuzz
// target pass each set in turn to compare them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

namespace calcsift {

// The forms of the tokenizer's byte scans (markup_scan.hpp). The tokenizer
// compiles its loop once per form with the scans inline: most scans pass a
// few bytes between tags, and a call through a pointer per scan would cost
// more than the scan.
enum class MarkupScans : std::uint8_t { Scalar, Sse2 };

struct SimdKernels {
    const char* name;   // "avx2", "sse2", "scalar": the value of CALCSIFT_SIMD that forces it
    const char* needs;  // the CPU features it needs, for messages
    // Whether this CPU (and operating system) has every one of them.
    bool (*runs_here)() noexcept;

    // The tokenizer's scans: the XML whitespace between tags, a start tag's end.
    MarkupScans markup;

    // The number of leading bytes of [p, p+n) below 0x80.
    std::size_t (*ascii_prefix)(const char* p, std::size_t n) noexcept;

    // True when [p, p+n) is well-formed UTF-8 (no overlongs, no surrogates,
    // nothing above U+10FFFF).
    bool (*valid_utf8)(const char* p, std::size_t n) noexcept;

    // The first occurrence of needle in [p, end), or nullptr; for searches
    // over megabytes (skipped blocks). On the way it may see that the bytes
    // it passed are ASCII: [p, *ascii_end) is (possibly empty).
    const char* (*find)(const char* p, const char* end, std::string_view needle,
                        const char** ascii_end) noexcept;

    // scan_plain_decimals (decimal.hpp) over [p, e), *e == '<', with loads
    // allowed anywhere in [p, limit).
    bool (*decimals)(const char* p, const char* e, const char* limit, std::vector<double>& out);

    // Appends the values of n fields of width w (2 to 32) with f (<= 14)
    // decimals from p on, each spaces, an optional '-', digits, the point and
    // f decimals, every field but the first starting with a space; false
    // (with out longer, the caller cuts it back) when a field is not of that
    // form. Reads [p + w - 16, p + n * w). Null in a set without such a kernel:
    // those rows then go token by token.
    bool (*fixed_fields)(const char* p, unsigned w, unsigned f, unsigned n, std::vector<double>& out);
};

// The set chosen for this process; throws VasprunError (the refusal) when
// CALCSIFT_SIMD names no set this CPU runs. Every parse asks for it first.
const SimdKernels& simd_kernels();

// The same without the refusal: null when CALCSIFT_SIMD is refused.
const SimdKernels* chosen_kernels() noexcept;

// The sets this CPU runs, widest first; the scalar set is always the last.
std::span<const SimdKernels* const> runnable_kernel_sets() noexcept;

// The scalar set: runs anywhere.
const SimdKernels& scalar_kernels() noexcept;

// The wider sets as built into this program (null where the build has none),
// whether or not this CPU runs them; for the choice above.
const SimdKernels* avx2_kernel_set() noexcept;
const SimdKernels* sse2_kernel_set() noexcept;

}  // namespace calcsift
