// The choice of the process's kernel set (simd.hpp): made once, on first use.
#include "core/kernels/simd.hpp"

#include <cstdlib>
#include <cstring>
#include <string>

#include "core/base/error.hpp"

namespace calcsift {

namespace {

// The sets this CPU runs, widest first.
struct Runnable {
    const SimdKernels* sets[3] = {};
    std::size_t count = 0;
    Runnable() noexcept {
        for (const SimdKernels* k : {avx2_kernel_set(), sse2_kernel_set(), &scalar_kernels()})
            if (k && k->runs_here()) sets[count++] = k;
    }
};

const Runnable& runnable() noexcept {
    static const Runnable r;
    return r;
}

// What CALCSIFT_SIMD asked for, kept as it was read (the environment may change later).
struct Choice {
    const SimdKernels* set = nullptr;      // null: refused
    const SimdKernels* too_wide = nullptr;  // a set built in that this CPU cannot run
    char asked[49] = {};
    bool cut = false;  // asked holds the first 48 bytes of a longer value

    Choice() noexcept {
        const char* env = std::getenv("CALCSIFT_SIMD");
        if (!env || !*env) {
            set = runnable().sets[0];
            return;
        }
        const std::size_t n = std::strlen(env);
        cut = n >= sizeof asked;
        std::memcpy(asked, env, cut ? sizeof asked - 1 : n);
        for (const SimdKernels* k : runnable_kernel_sets())
            if (std::strcmp(env, k->name) == 0) set = k;
        for (const SimdKernels* k : {avx2_kernel_set(), sse2_kernel_set()})
            if (!set && k && std::strcmp(env, k->name) == 0) too_wide = k;
    }

    std::string refusal() const {
        std::string shown;
        for (const char* c = asked; *c; ++c) {
            const auto u = static_cast<unsigned char>(*c);
            if (u >= 0x20 && u < 0x7F) {
                shown += *c;
            } else {
                static const char kHex[] = "0123456789ABCDEF";
                shown += "\\x";
                shown += kHex[u >> 4];
                shown += kHex[u & 15];
            }
        }
        if (cut) shown += "...";
        std::string text = "CALCSIFT_SIMD='" + shown + "': ";
        if (too_wide) {
            text += "this CPU cannot run the " + std::string(too_wide->name) + " kernel set (it needs " +
                    too_wide->needs + ")";
        } else {
            text += "no SIMD kernel set has that name";
        }
        text += "; the sets this CPU runs are";
        const char* sep = " ";
        for (const SimdKernels* k : runnable_kernel_sets()) {
            text += sep;
            text += k->name;
            sep = ", ";
        }
        return text + " (unset: the widest)";
    }
};

const Choice& choice() noexcept {
    static const Choice c;
    return c;
}

}  // namespace

std::span<const SimdKernels* const> runnable_kernel_sets() noexcept {
    const Runnable& r = runnable();
    return {r.sets, r.count};
}

const SimdKernels* chosen_kernels() noexcept { return choice().set; }

const SimdKernels& simd_kernels() {
    const Choice& c = choice();
    if (!c.set) throw VasprunError::message(c.refusal());
    return *c.set;
}

}  // namespace calcsift
