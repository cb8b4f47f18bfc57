// The KPOINTS_OPT blocks of a calculation (VASP 6.3 and later): bands on a
// second k-point set, in the layouts of the run's own blocks.
//
//   <eigenvalues_kpoints_opt>  <kpoints> (list, weights) and <eigenvalues>
//   <projected_kpoints_opt>    like <projected>
//   <dos comment="kpoints_opt"> like <dos>
//
// Each part follows the switch of its counterpart (parse_eigen, parse_projected,
// parse_dos). The k-point list is always read: it is small, like the run's own.
// The table (table.cpp) has a row for each; this is the first one's reading.
#include "core/parser/sections.hpp"

namespace calcsift {

KpointsOptBands parse_eigenvalues_kpoints_opt(Cursor& cur, const ParseOptions& options) {
    KpointsOptBands k;
    k.kpointlist.shape = {0, 3};
    for_each_child(cur, "eigenvalues_kpoints_opt", [&](const Event& ev) {
        if (ev.name == "kpoints") {
            Kpoints list = parse_kpoints(cur);
            k.kpointlist = std::move(list.kpointlist);
            k.weights = std::move(list.weights);
        } else if (ev.name != "eigenvalues") {
            return false;
        } else if (options.parse_eigen) {
            // VASP 6.6 writes the energies alone here, without occupancies.
            keep_last(k.eigenvalues, [&] { return parse_eigenvalues(cur, true); });
        } else {
            cur.fast_skip("eigenvalues");
        }
        return true;
    });
    return k;
}

}  // namespace calcsift
