#include "core/parser/driver.hpp"

#include <limits>
#include <string>
#include <vector>

#include "core/base/memory.hpp"
#include "core/parser/sections.hpp"

namespace calcsift {

namespace {

// Not a child loop: everything before the root element is passed over event by event.
void find_root(Cursor& cur) {
    for (;;) {
        Event ev = cur.next();
        if (ev.kind == EventKind::Start && ev.name == "modeling") return;
        if (ev.kind == EventKind::Eof) throw VasprunError::missing_element("modeling");
    }
}

// Consumes the rest of an element whose Start event has just been read, up to
// its end tag or the end of input (a cut there is not an error).
void pass_over(Cursor& cur) {
    for (std::size_t depth = 1;;) {
        Event ev = cur.next();
        if (ev.kind == EventKind::Start) {
            ++depth;
        } else if (ev.kind == EventKind::End) {
            if (--depth == 0) return;
        } else if (ev.kind == EventKind::Eof) {
            return;
        }
    }
}

// A <structure name="primitive_cell"> passed over: its text (after the start
// tag, through the end tag) and the atom names known where it stood. It is
// read only when the run has no other initial structure.
struct PrimitiveCell {
    std::size_t begin = 0, end = 0;
    std::vector<std::string> atoms;
};

Structure read_primitive_cell(const Cursor& cur, const PrimitiveCell& cell) {
    Cursor sub(cur.document().substr(cell.begin, cell.end - cell.begin), cur.kernels());
    return parse_structure(sub, cell.atoms);
}

}  // namespace

void select_ionic_steps(std::vector<IonicStep>& steps, const ParseOptions& options) {
    std::uint64_t n = steps.size();
    std::uint64_t offset = options.ionic_step_offset < n ? options.ionic_step_offset : n;
    std::uint64_t skip = options.ionic_step_skip.value_or(0);
    if (skip == 0) skip = 1;
    std::size_t kept = 0;
    for (std::uint64_t i = offset; i < n; i += skip) {
        if (kept != i) steps[kept] = std::move(steps[i]);
        ++kept;
        if (n - i <= skip) break;  // no overflow of i + skip
    }
    steps.erase(steps.begin() + static_cast<std::ptrdiff_t>(kept), steps.end());
}

VasprunData parse_document(Cursor& cur, const ParseOptions& options) {
    find_root(cur);

    std::optional<Generator> generator;
    std::optional<IncarMap> incar;
    std::optional<Parameters> parameters;
    RunProgress progress;
    std::optional<AtomInfo> atominfo;
    std::optional<Kpoints> kpoints;
    std::optional<Structure> initial, final_;
    std::optional<PrimitiveCell> primitive;
    std::vector<IonicStep> steps;
    std::optional<EigenvalueBlock> eigenvalues;
    std::optional<Projected> projected;
    std::optional<Dos> dos;
    std::optional<Dielectric> dielectric;
    Response response;
    bool saw_projected = false;
    std::optional<KpointsOpt> kpoints_opt;
    const std::vector<std::string> no_atoms;

    progress.finished = for_each_child(cur, "modeling", [&](const Event& ev) {
        std::string_view name = ev.name;
        const auto& atoms = atominfo ? atominfo->atoms : no_atoms;
        if (name == "generator") {
            generator = parse_generator(cur);
        } else if (name == "incar") {
            incar = parse_incar(cur);
        } else if (name == "parameters") {
            parameters = parse_parameters(cur);
        } else if (name == "atominfo") {
            atominfo = parse_atominfo(cur);
        } else if (name == "kpoints") {
            kpoints = parse_kpoints(cur);
        } else if (name == "structure") {
            auto sname = attr_str(ev, "name");
            if (sname && *sname == "primitive_cell") {
                // VASP 6.1 writes the symmetry-reduced cell at top level, before
                // <atominfo>: it is not a structure of the run and must not take
                // the initial slot (that would drop the real initialpos). Some
                // VASP 5.4.4 runs write it instead of initialpos, so the last one
                // is kept aside as the initial structure of last resort.
                std::size_t begin = cur.offset();
                pass_over(cur);
                primitive = PrimitiveCell{begin, cur.offset(), atoms};
                return true;
            }
            Structure s = parse_structure(cur, atoms);
            if (sname && *sname == "finalpos") {
                final_ = std::move(s);
            } else if (!initial) {
                initial = std::move(s);
            } else {
                final_ = std::move(s);
            }
        } else if (name == "calculation") {
            CalculationOutput out = parse_calculation(cur, atoms, options);
            ++progress.calculations;
            progress.last_scsteps = out.ground_state_scsteps;
            if (out.ionic_step) {
                ++progress.ionic_steps;
                steps.push_back(std::move(*out.ionic_step));
            }
            if (out.eigenvalues) eigenvalues = std::move(out.eigenvalues);
            if (out.projected) projected = std::move(out.projected);
            if (out.dos) dos = std::move(out.dos);
            if (out.dielectric) dielectric = std::move(out.dielectric);
            merge_response(response, std::move(out.response));
            if (out.kpoints_opt) kpoints_opt = std::move(out.kpoints_opt);
            saw_projected = saw_projected || out.saw_projected;
        } else {
            return false;
        }
        return true;
    });

    if (!generator) throw VasprunError::missing_element("generator");
    if (!incar) throw VasprunError::missing_element("incar");
    if (!atominfo) throw VasprunError::missing_element("atominfo");
    if (!kpoints) throw VasprunError::missing_element("kpoints");
    if (!initial && primitive) initial = read_primitive_cell(cur, *primitive);
    if (!initial) throw VasprunError::missing_element("structure[initialpos]");

    VasprunData data;
    data.generator = std::move(*generator);
    data.incar = std::move(*incar);
    data.atominfo = std::move(*atominfo);
    data.kpoints = std::move(*kpoints);
    data.final_structure = final_ ? std::move(*final_) : *initial;
    data.initial_structure = std::move(*initial);
    select_ionic_steps(steps, options);
    data.ionic_steps = std::move(steps);
    if (options.parse_eigen) data.eigenvalues = std::move(eigenvalues);
    if (options.parse_projected) data.projected = std::move(projected);
    if (options.parse_dos && dos) {
        data.efermi = dos->efermi;
        data.dos = std::move(dos);
    }
    data.dielectric = std::move(dielectric);
    data.parameters = std::move(parameters);
    data.progress = progress;
    check_response_extents(response, data.atominfo.atoms.size(), data.initial_structure);
    data.response = std::move(response);
    data.kpoints_opt = std::move(kpoints_opt);
    data.saw_projected = saw_projected;
    return data;
}

}  // namespace calcsift

namespace calcsift {

NdArray zeros(std::vector<std::size_t> shape, const Cursor& cur) {
    const std::size_t limit = cur.document().size();
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
    a.data.assign(total, 0.0);
    a.shape = std::move(shape);
    return a;
}

}  // namespace calcsift
