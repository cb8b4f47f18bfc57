#include "core/parser/driver.hpp"

#include "core/parser/table.hpp"

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

// Which ionic steps the selection keeps (offset, then every skip-th), in the
// terms of the calculations and of the machine-learned steps: a calculation
// points at its kept step, a machine-learned step is kept with the ionic step
// before it (before any: when nothing is offset).
void mark_kept_steps(VasprunData& d, const ParseOptions& o) {
    const std::uint64_t skip = o.ionic_step_skip.value_or(0) ? *o.ionic_step_skip : 1;
    auto kept = [&](std::uint64_t i) -> std::optional<std::size_t> {
        if (i < o.ionic_step_offset || (i - o.ionic_step_offset) % skip != 0) return std::nullopt;
        return static_cast<std::size_t>((i - o.ionic_step_offset) / skip);
    };
    if (!d.calculations.value) return;
    std::vector<CalculationInfo>& calcs = *d.calculations.value;
    // The step (as read) of the calculation at or before each one, for the machine-learned steps.
    std::vector<std::optional<std::size_t>> step_so_far(calcs.size());
    std::optional<std::size_t> last;
    for (std::size_t i = 0; i < calcs.size(); ++i) {
        if (calcs[i].step) last = calcs[i].step;
        step_so_far[i] = last;
        if (calcs[i].step) calcs[i].step = kept(*calcs[i].step);
    }
    if (!d.ml_steps.value) return;
    for (MlStep& m : *d.ml_steps.value) {
        if (m.after < 0 || !step_so_far[static_cast<std::size_t>(m.after)]) m.kept = o.ionic_step_offset == 0;
        else m.kept = kept(*step_so_far[static_cast<std::size_t>(m.after)]).has_value();
    }
}

// The checks and choices that need the whole document.
void finish(Walk& w) {
    const std::span<const Section> table = sections();
    for (std::size_t i = 0; i < table.size(); ++i)
        if (table[i].required && !(w.taken >> i & 1)) throw VasprunError::missing_element(table[i].required);
    VasprunData& d = w.data;
    if (!w.have_initial && w.primitive_cell) {
        d.initial_structure = std::move(*w.primitive_cell);
        w.have_initial = true;
    }
    if (!w.have_initial) throw VasprunError::missing_element("structure[initialpos]");
    if (!w.have_final) d.final_structure = d.initial_structure;
    mark_kept_steps(d, w.options);
    select_ionic_steps(d.ionic_steps, w.options);
    if (d.dos) d.efermi = d.dos->efermi;
    check_response_extents(d);
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

VasprunData parse_document(Cursor& cur, const ParseOptions& options, Trace* trace) {
    cur.set_extras(options.extras);
    find_root(cur);
    VasprunData data;
    // The lists beside the record's sections are lists, empty when the file has none.
    data.kpoint_blocks.value.emplace();
    data.calculations.value.emplace();
    data.ml_steps.value.emplace();
    data.dielectric_functions.value.emplace();
    Walk w{cur, options, data};
    w.trace = trace;
    data.progress.finished = walk_children(w, "modeling", Level::document);
    finish(w);
    return data;
}

}  // namespace calcsift
