// The SIMD kernels of the reader, and the one place that picks them.
//
// A kernel set is a table of functions with one contract per entry; the
// scalar set implements every entry that has a scalar form, and a wider set
// (AVX2 on x86-64) is used only when the CPU has every instruction set its
// kernels are compiled for. The set is chosen once per process, on first use:
// the widest one the CPU can run, or the scalar set when the environment
// variable CALCSIFT_SIMD is "scalar" (read then, once). A Cursor takes the
// chosen set when it is made; tests and the fuzz target pass a set of their
// own to compare the two.
#pragma once

#include <cstddef>
#include <string_view>
#include <vector>

namespace calcsift {

struct SimdKernels {
    const char* name;  // "avx2", "scalar"

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

// The set chosen for this process.
const SimdKernels& simd_kernels() noexcept;

// The scalar set: runs anywhere.
const SimdKernels& scalar_kernels() noexcept;

// The AVX2 set, or null when it is not built in or this CPU cannot run it.
const SimdKernels* avx2_kernels() noexcept;

}  // namespace calcsift
