#include "core/kernels/simd.hpp"

#include <cstdlib>
#include <cstring>

#include "core/kernels/decimal.hpp"
#include "core/kernels/scan.hpp"

namespace calcsift {

namespace {

bool scalar_decimals(const char* p, const char* e, const char*, std::vector<double>& out) {
    return scan_plain_decimals(p, e, out);
}

const char* scalar_find(const char* p, const char* end, std::string_view needle,
                        const char** ascii_end) noexcept {
    *ascii_end = p;
    return find_str(p, end, needle);
}

const SimdKernels kScalar{"scalar", scalar_find, scalar_decimals, nullptr};

const SimdKernels& choose() noexcept {
    const char* forced = std::getenv("CALCSIFT_SIMD");
    if (forced && std::strcmp(forced, "scalar") == 0) return kScalar;
    if (const SimdKernels* k = avx2_kernels()) return *k;
    return kScalar;
}

}  // namespace

const SimdKernels& scalar_kernels() noexcept { return kScalar; }

const SimdKernels& simd_kernels() noexcept {
    static const SimdKernels& chosen = choose();
    return chosen;
}

}  // namespace calcsift
