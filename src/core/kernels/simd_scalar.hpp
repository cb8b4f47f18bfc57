// The entries of the scalar kernel set that wider sets take as they are
// (where they have no kernel of their own for that entry).
#pragma once

#include <string_view>
#include <vector>

namespace calcsift {

// SimdKernels::find: memmem; sees no ASCII on the way.
const char* scalar_find(const char* p, const char* end, std::string_view needle,
                        const char** ascii_end) noexcept;

// SimdKernels::decimals: scan_plain_decimals (decimal.hpp); loads stay in [p, e].
bool scalar_decimals(const char* p, const char* e, const char* limit, std::vector<double>& out);

}  // namespace calcsift
