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
    Walk w{cur, options, data};
    w.trace = trace;
    data.progress.finished = walk_children(w, "modeling", Level::document);
    finish(w);
    return data;
}

}  // namespace calcsift
