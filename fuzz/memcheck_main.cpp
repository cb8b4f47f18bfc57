// A tiny driver for valgrind: parses each file named on the command line with
// every combination of the three parse switches through the C++ entry point and
// prints a one-line summary per parse. Exit status 0 unless an exception other
// than VasprunError escapes.
#include <cstdio>
#include <exception>

#include "core/base/error.hpp"
#include "core/load/load.hpp"

int main(int argc, char** argv) {
    using namespace calcsift;
    for (int i = 1; i < argc; ++i) {
        for (unsigned mask = 0; mask < 8; ++mask) {
            ParseOptions o;
            o.parse_dos = mask & 1;
            o.parse_eigen = mask & 2;
            o.parse_projected = mask & 4;
            o.ionic_step_skip = mask % 3;
            try {
                VasprunData d = parse_file(argv[i], o);
                std::printf("%s [%u]: %zu atoms, %zu steps, eigen %s, projected %s, dos %s\n", argv[i],
                            mask, d.atominfo.atoms.size(), d.ionic_steps.size(),
                            d.eigenvalues ? "yes" : "no", d.projected ? "yes" : "no",
                            d.dos ? "yes" : "no");
            } catch (const VasprunError& e) {
                std::printf("%s [%u]: %s\n", argv[i], mask, e.display().c_str());
            } catch (const std::exception& e) {
                std::fprintf(stderr, "%s [%u]: unexpected exception: %s\n", argv[i], mask, e.what());
                return 2;
            }
        }
    }
    return 0;
}
