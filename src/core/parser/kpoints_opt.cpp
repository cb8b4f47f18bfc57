// The KPOINTS_OPT blocks of a calculation (VASP 6.3 and later): bands on a
// second k-point set, in the layouts of the run's own blocks.
//
//   <eigenvalues_kpoints_opt>  <kpoints> (list, weights) and <eigenvalues>
//   <projected_kpoints_opt>    like <projected>
//   <dos comment="kpoints_opt"> like <dos>
//
// Each part follows the switch of its counterpart (parse_eigen, parse_projected,
// parse_dos); a part switched off is passed over at byte level. The k-point list
// is always read: it is small, like the run's own.
#include "core/parser/sections.hpp"

namespace calcsift {

namespace {

KpointsOpt& block(std::optional<KpointsOpt>& out) {
    if (!out) {
        out.emplace();
        out->kpointlist.shape = {0, 3};
    }
    return *out;
}

void parse_eigenvalues_opt(Cursor& cur, const ParseOptions& options, KpointsOpt& k) {
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
}

}  // namespace

bool parse_kpoints_opt_child(Cursor& cur, const Event& ev, const ParseOptions& options,
                             std::optional<KpointsOpt>& out) {
    if (ev.name == "eigenvalues_kpoints_opt") {
        parse_eigenvalues_opt(cur, options, block(out));
    } else if (ev.name == "projected_kpoints_opt") {
        KpointsOpt& k = block(out);
        if (options.parse_projected) {
            keep_last(k.projected, [&] { return parse_projected(cur, "projected_kpoints_opt"); });
        } else {
            cur.fast_skip("projected_kpoints_opt");
        }
    } else if (ev.name == "dos" && attr_str(ev, "comment") == "kpoints_opt") {
        KpointsOpt& k = block(out);
        if (options.parse_dos) {
            keep_last(k.dos, [&] { return parse_dos(cur); });
        } else {
            cur.fast_skip("dos");
        }
    } else {
        return false;
    }
    return true;
}

}  // namespace calcsift
