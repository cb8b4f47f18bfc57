// The scalar kernel set: plain C++ (ASCII scans a 64-bit word at a time), for
// any CPU; the reference the other sets are compared with.
#include "core/kernels/simd_scalar.hpp"

#include "core/kernels/decimal.hpp"
#include "core/kernels/scan.hpp"
#include "core/kernels/simd.hpp"
#include "core/kernels/utf8_scan.hpp"

namespace calcsift {

const char* scalar_find(const char* p, const char* end, std::string_view needle,
                        const char** ascii_end) noexcept {
    *ascii_end = p;
    return find_str(p, end, needle);
}

bool scalar_decimals(const char* p, const char* e, const char*, std::vector<double>& out) {
    return scan_plain_decimals(p, e, out);
}

namespace {

bool runs_anywhere() noexcept { return true; }

std::size_t ascii_prefix_scalar(const char* p, std::size_t n) noexcept {
    return utf8_scan::ascii_prefix_with<utf8_scan::skip_ascii_words>(p, n);
}

bool valid_utf8_scalar(const char* p, std::size_t n) noexcept {
    return utf8_scan::valid_utf8_with<utf8_scan::skip_ascii_words>(p, n);
}

const SimdKernels kScalar{"scalar",          "nothing",         runs_anywhere,  MarkupScans::Scalar,
                          ascii_prefix_scalar, valid_utf8_scalar, scalar_find, scalar_decimals,
                          nullptr};

}  // namespace

const SimdKernels& scalar_kernels() noexcept { return kScalar; }

}  // namespace calcsift
