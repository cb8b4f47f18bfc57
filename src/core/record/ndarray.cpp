#include "core/base/error.hpp"
#include "core/base/memory.hpp"
#include "core/record/record.hpp"

namespace calcsift {

NdArray NdArray::filled(std::vector<std::size_t> shape, double value, std::size_t limit) {
    std::size_t total = 1;
    for (std::size_t d : shape)
        if (d == 0) total = 0;
    for (std::size_t d : shape) {
        if (total == 0) break;
        if (d != 0 && total > limit / d) {
            total = limit + 1;
            break;
        }
        total *= d;
    }
    if (total > limit) throw VasprunError::shape({limit}, shape);
    NdArray a;
    a.data.reserve(total);
    prepare_for_writing(a.data.data(), total * sizeof(double));
    a.data.assign(total, value);
    a.shape = std::move(shape);
    return a;
}

}  // namespace calcsift
