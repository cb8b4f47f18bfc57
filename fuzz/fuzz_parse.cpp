// libFuzzer target over the C++ core: parses the input bytes as a document with
// every combination of the three parse switches. A VasprunError is the expected
// way to fail; any other exception, a crash, a sanitizer report, a leak or a
// result that breaks the invariants the Python layer relies on is a finding.
//
// The ionic-step offset and stride are derived from the input length so that the
// corpus stays plain documents (seeds are real files, not framed inputs). Each
// input is also written to a file and read by parse_file, which maps it (every
// size is mapped here): its result or error must be that of the parse from memory.
// Every SIMD kernel set this CPU runs is compared with the scalar set.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <sanitizer/allocator_interface.h>

#include "core/record/derived.hpp"
#include "core/base/error.hpp"
#include "core/input/gzip.hpp"
#include "core/load/load.hpp"
#include "core/base/memory.hpp"
#include "core/reader/reader.hpp"
#include "core/record/trajectory.hpp"
#include "core/kernels/utf8.hpp"

namespace {

using namespace calcsift;

// Heap use of one parse: the bytes it holds at its peak, counted by the
// sanitizer's malloc and free hooks while a parse runs. Memory must stay linear
// in the input; a document that makes the parse reserve far more than its own
// size (even memory never touched) is a finding.
bool counting = false;
std::size_t live = 0, peak = 0;

void on_malloc(const volatile void*, std::size_t n) {
    if (!counting) return;
    live += n;
    if (live > peak) peak = live;
}

void on_free(const volatile void* p) {
    if (!counting || !p) return;
    const std::size_t n = __sanitizer_get_allocated_size(const_cast<const void*>(p));
    live = n < live ? live - n : 0;
}

// Generous: the text (up to 3x the input after decoding), a few dense blocks
// of at most one value per byte of text, vector growth.
std::size_t heap_allowance(std::size_t input) { return 128 * input + (std::size_t{16} << 20); }

[[noreturn]] void broken(const char* what) {
    std::fprintf(stderr, "invariant broken: %s\n", what);
    std::abort();
}

void check(bool ok, const char* what) {
    if (!ok) broken(what);
}

// Property getters hand out the data of an NdArray as an array of its shape:
// the two must agree, or the conversion reads past the buffer.
void check_array(const NdArray& a, std::size_t ndim, const char* what) {
    check(a.shape.size() == ndim, what);
    std::size_t n = 1;
    for (std::size_t d : a.shape) {
        check(d == 0 || n <= SIZE_MAX / d, what);
        n *= d;
    }
    check(n == a.data.size(), what);
}

void check_rows(const Rows& r, const char* what) {
    check(!r.offsets.empty() && r.offsets.front() == 0 && r.offsets.back() == r.values.size(),
          what);
    for (std::size_t i = 1; i < r.offsets.size(); ++i) check(r.offsets[i - 1] <= r.offsets[i], what);
}

// Python strings are built from these bytes; invalid UTF-8 would not be a RuntimeError.
void check_text(const std::string& s, const char* what) {
    check(is_valid_utf8(s.data(), s.size()), what);
}

void check_structure(const Structure& s) {
    check(s.species.size() == s.positions.size(), "species per position");
    for (const auto& name : s.species) check_text(name, "species text");
    check(!s.selective.value || s.selective.value->size() == s.positions.size(), "selective flags per atom");
    check(!s.velocities.value || s.velocities.value->size() == s.positions.size(), "velocities per atom");
    check(!(s.selective.value && s.selective.error) && !(s.velocities.value && s.velocities.error),
          "an extra holds a value and an error");
}

void check_kpoints_opt(const VasprunData& d, const ParseOptions& o) {
    if (const KpointsOptBands* k = d.kpoints_opt.value ? &*d.kpoints_opt.value : nullptr) {
        check_array(k->kpointlist, 2, "kpoints_opt kpointlist");
        check(k->kpointlist.shape[1] == 3, "kpoints_opt kpointlist columns");
        check(o.parse_eigen || !k->eigenvalues, "kpoints_opt eigenvalues kept although switched off");
        if (k->eigenvalues) check_array(k->eigenvalues->data, 4, "kpoints_opt eigenvalues");
    }
    if (const KpointsOptProjected* p = d.kpoints_opt_projected.value ? &*d.kpoints_opt_projected.value : nullptr) {
        check(o.parse_projected || !p->projected, "kpoints_opt projected kept although switched off");
        check(o.parse_eigen || !p->eigenvalues, "kpoints_opt eigenvalues kept although switched off");
        if (p->projected) check_array(p->projected->data, 5, "kpoints_opt projected");
        if (p->eigenvalues) check_array(p->eigenvalues->data, 4, "kpoints_opt projected eigenvalues");
    }
    check(o.parse_dos || !d.kpoints_opt_dos, "kpoints_opt dos kept although switched off");
    if (d.kpoints_opt_dos) check_array(d.kpoints_opt_dos->total.densities, 2, "kpoints_opt dos");
}

void check_response(const VasprunData& d) {
    if (d.dielectric_tensors.value)
        for (const auto& [name, a] : *d.dielectric_tensors.value) {
            check_text(name, "dielectric tensor name");
            check_array(a, 2, "dielectric tensor");
        }
    if (d.born_charges.value) {
        check_array(*d.born_charges.value, 3, "born charges");
        check(d.born_charges.value->shape[0] == d.atominfo.atoms.size(), "born charges per atom");
    }
    if (const Dynmat* m = d.dynmat.value ? &*d.dynmat.value : nullptr) {
        const std::size_t n = m->eigenvalues.size();
        check_array(m->hessian, 2, "hessian");
        check_array(m->eigenvectors, 2, "eigenvectors");
        check(m->hessian.shape == std::vector<std::size_t>{n, n} && m->eigenvectors.shape == m->hessian.shape,
              "dynmat extents");
    }
}

void check_terms(const Terms& t, const TermNames& names, const char* what) {
    check(!t.offsets.empty() && t.offsets.front() == 0 && t.offsets.back() == t.values.size() &&
              t.names.size() == t.values.size(),
          what);
    for (std::uint32_t id : t.names) check(id < names.names.size(), what);
}

// What the record keeps beside the sections: texts that become Python strings,
// indices that point into the record, arrays that agree with their shapes.
void check_details(const VasprunData& d) {
    for (const auto& [name, text] : d.generator.items) {
        check_text(name, "generator item name");
        check_text(text, "generator item text");
    }
    for (const std::string& name : d.term_names.names) check_text(name, "energy term name");
    check_terms(d.energy_terms, d.term_names, "energy terms");
    check_terms(d.scstep_terms, d.term_names, "scstep terms");
    auto check_items = [](const std::vector<Item>& items) {
        for (const Item& i : items) {
            check_text(i.name, "item name");
            check_text(i.text, "item text");
            if (i.type) check_text(*i.type, "item type");
            for (const std::string& sep : i.separators) check_text(sep, "separator name");
        }
    };
    if (d.incar_items.value) check_items(*d.incar_items.value);
    if (d.parameters.value) check_items(d.parameters.value->items);
    if (d.kpoint_blocks.value)
        for (const Kpoints& k : *d.kpoint_blocks.value) {
            check_array(k.kpointlist, 2, "kpoint block list");
            if (k.generation)
                for (const auto& item : k.generation->items) check_text(item.first, "generation item name");
        }
    for (const auto& [name, s] : d.named_structures) {
        check_text(name, "structure name");
        check_structure(s);
    }
    if (d.calculations.value) {
        for (const CalculationInfo& c : *d.calculations.value) {
            check(!c.step || *c.step < d.ionic_steps.size(), "calculation step index");
            check(!c.energy || *c.energy < d.energy_terms.count(), "calculation energy group");
            check(c.scsteps_first <= c.scsteps_end && c.scsteps_end <= d.scstep_terms.count(), "scstep groups");
            check(c.ground_state_scsteps <= c.scsteps_end - c.scsteps_first, "ground-state scsteps");
            for (const auto& [name, a] : c.varrays) {
                check_text(name, "calculation varray name");
                check_array(a, 2, "calculation varray");
            }
        }
    }
    if (d.ml_steps.value)
        for (const MlStep& m : *d.ml_steps.value) {
            check_structure(m.structure);
            check(!m.energy || *m.energy < d.energy_terms.count(), "machine-learned energy group");
            check(!d.calculations.value || m.after < static_cast<std::ptrdiff_t>(d.calculations.value->size()),
                  "machine-learned step after a calculation");
        }
    if (d.dielectric_functions.value)
        for (const DielectricFunction& f : *d.dielectric_functions.value) {
            if (f.comment) check_text(*f.comment, "dielectric function comment");
            check_array(f.data.real, 2, "dielectric function real");
            check_array(f.data.imag, 2, "dielectric function imag");
        }
    if (d.optical_transitions.value) check_array(*d.optical_transitions.value, 2, "optical transitions");
}

void check_result(const VasprunData& d, const ParseOptions& o) {
    check_details(d);
    const Generator& g = d.generator;
    for (const std::string* s : {&g.program, &g.version, &g.subversion, &g.platform, &g.date, &g.time})
        check_text(*s, "generator text");
    for (const auto& [name, value] : d.incar.entries()) {
        check_text(name, "incar name");
        if (auto* s = std::get_if<std::string>(&value.value)) check_text(*s, "incar value");
    }
    if (d.parameters.value) {
        for (const auto& [name, value] : d.parameters.value->values.entries()) {
            check_text(name, "parameter name");
            if (auto* s = std::get_if<std::string>(&value.value)) check_text(*s, "parameter value");
        }
    }
    check(d.progress.ionic_steps <= d.progress.calculations, "ionic steps of the calculations");
    check(d.ionic_steps.size() <= d.progress.ionic_steps, "kept ionic steps");
    check(final_energy(d).has_value() == !d.ionic_steps.empty(), "final energy exactly with steps");
    try {
        if (converged_electronic(d) || converged_ionic(d)) check(d.progress.finished, "converged but unfinished");
    } catch (const VasprunError&) {
        check(d.parameters.error.has_value(), "convergence fails only on unreadable parameters");
    }
    for (const auto& a : d.atominfo.atoms) check_text(a, "atom name");
    for (const auto& t : d.atominfo.atom_types) {
        check_text(t.element, "atom type element");
        check_text(t.pseudopotential, "atom type pseudopotential");
    }
    check_array(d.kpoints.kpointlist, 2, "kpointlist");
    check(d.kpoints.kpointlist.shape[1] == 3, "kpointlist columns");
    if (d.kpoints.generation) check_text(d.kpoints.generation->scheme, "kpoint scheme");
    for (const auto& l : d.kpoints.labels) check_text(l.second, "kpoint label");
    check_structure(d.initial_structure);
    check_structure(d.final_structure);
    for (const IonicStep& s : d.ionic_steps) {
        check_structure(s.structure);
        if (s.magnetization) check_rows(*s.magnetization, "magnetization rows");
    }
    // The trajectory is built from the steps when it is read; a step that cannot be
    // placed (more rows than atoms) is its one way to fail.
    try {
        const Trajectory t = build_trajectory(d);
        const std::size_t n = d.ionic_steps.size();
        for (const NdArray* a : {&t.positions, &t.forces}) {
            check_array(*a, 3, "trajectory per-atom block");
            check(a->shape[0] == n && a->shape[1] == t.positions.shape[1] && a->shape[2] == 3, "trajectory shape");
        }
        check_array(t.lattice, 3, "trajectory lattice");
        check_array(t.stress, 3, "trajectory stress");
        for (const NdArray* a : {&t.e_fr_energy, &t.e_wo_entrp, &t.e_0_energy}) {
            check_array(*a, 1, "trajectory energies");
            check(a->shape[0] == n, "trajectory energies length");
        }
        if (t.magnetization) {
            check_array(*t.magnetization, 3, "trajectory magnetization");
            check(t.magnetization->shape[0] == n, "trajectory magnetization steps");
        }
    } catch (const VasprunError& e) {
        check(e.kind() == VasprunError::Kind::Shape, "trajectory fails only on a shape");
    }
    check(o.parse_eigen || !d.eigenvalues, "eigenvalues kept although switched off");
    check(o.parse_projected || !d.projected, "projected kept although switched off");
    check(o.parse_dos || (!d.dos && !d.efermi), "dos kept although switched off");
    check(d.dos.has_value() == d.efermi.has_value(), "efermi present exactly with dos");
    if (d.eigenvalues) {
        const EigenvalueBlock& e = *d.eigenvalues;
        check_array(e.data, 4, "eigenvalues");
        check(e.data.shape[0] == e.shape[0] && e.data.shape[1] == e.shape[1] &&
                  e.data.shape[2] == e.shape[2] && e.data.shape[3] == 2,
              "eigenvalue shape");
    }
    if (d.projected) {
        check_array(d.projected->data, 5, "projected");
        for (const auto& s : d.projected->orbitals) check_text(s, "projected orbital");
    }
    if (d.dos) {
        const DosData& t = d.dos->total;
        check_array(t.densities, 2, "total dos densities");
        check_array(t.integrated, 2, "total dos integrated");
        check(t.densities.shape == t.integrated.shape, "total dos shapes");
        if (d.dos->partial) {
            const PartialDos& p = *d.dos->partial;
            check_array(p.data, 4, "partial dos");
            check(p.data.shape[2] == p.orbitals.size(), "partial dos orbitals");
            for (const auto& s : p.orbitals) check_text(s, "partial orbital");
        }
    }
    check_response(d);
    check_kpoints_opt(d, o);
    if (d.dielectric) {
        check_array(d.dielectric->real, 2, "dielectric real");
        check_array(d.dielectric->imag, 2, "dielectric imag");
        // The real and imaginary tables may differ in their number of rows.
        check(d.dielectric->real.shape[1] == 6 && d.dielectric->imag.shape[1] == 6,
              "dielectric columns");
    }
}

bool same_values(const std::vector<double>& a, const std::vector<double>& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (std::isnan(a[i]) && std::isnan(b[i])) continue;
        if (std::memcmp(&a[i], &b[i], sizeof(double)) != 0) return false;  // -0.0 is not 0.0
    }
    return true;
}

// The row fast paths (read_floats: plain decimals and fixed-width fields parsed in
// place) must give exactly what the general way gives, parse_floats_into(read_text()):
// the same values, the same error, the same end. Two parsers walk the text in step,
// one using each, and are compared at every <r> and <v>; once per SIMD kernel set
// this CPU can run, the general one with the scalar set (so the walks compare the
// set's tokenizer scans with the scalar ones too).
void compare_row_paths(std::string_view text, const SimdKernels& kernels) {
    Cursor fast(text, kernels), general(text, scalar_kernels());
    std::vector<double> a, b;
    for (;;) {
        std::string err_a, err_b;
        Event ea, eb;
        try {
            ea = fast.next();
        } catch (const VasprunError& e) {
            err_a = e.display();
        }
        try {
            eb = general.next();
        } catch (const VasprunError& e) {
            err_b = e.display();
        }
        check(err_a == err_b && ea.kind == eb.kind && ea.name == eb.name &&
                  fast.offset() == general.offset(),
              "row paths: walks differ");
        if (!err_a.empty() || ea.kind == EventKind::Eof) return;
        if (ea.kind != EventKind::Start || (ea.name != "r" && ea.name != "v")) continue;
        a.clear();
        b.clear();
        try {
            fast.read_floats(a);
        } catch (const VasprunError& e) {
            err_a = e.display();
        }
        try {
            parse_floats_into(general.read_text(), b);
        } catch (const VasprunError& e) {
            err_b = e.display();
        }
        if (err_a != err_b) {
            std::fprintf(stderr, "fast: %s\ngeneral: %s\n", err_a.c_str(), err_b.c_str());
            broken("row paths: errors differ");
        }
        if (!err_a.empty()) return;
        if (!same_values(a, b)) {
            std::fprintf(stderr, "row at offset %zu:", general.offset());
            for (std::size_t i = 0; i < a.size() || i < b.size(); ++i)
                std::fprintf(stderr, " [%zu] %.17g / %.17g", i, i < a.size() ? a[i] : 0.0,
                             i < b.size() ? b[i] : 0.0);
            std::fprintf(stderr, " (%zu / %zu values)\n", a.size(), b.size());
            broken("row paths: values differ");
        }
        check(fast.offset() == general.offset(), "row paths: rows end in different places");
    }
}

bool same_result(const VasprunData& a, const VasprunData& b) {
    const auto same_array = [](const NdArray& x, const NdArray& y) {
        return x.shape == y.shape && same_values(x.data, y.data);
    };
    bool same = a.generator.program == b.generator.program && a.generator.version == b.generator.version &&
                a.incar.size() == b.incar.size() && a.atominfo.atoms == b.atominfo.atoms &&
                same_array(a.kpoints.kpointlist, b.kpoints.kpointlist) &&
                a.ionic_steps.size() == b.ionic_steps.size() &&
                a.eigenvalues.has_value() == b.eigenvalues.has_value() &&
                a.projected.has_value() == b.projected.has_value() && a.dos.has_value() == b.dos.has_value();
    for (std::size_t i = 0; same && i < a.ionic_steps.size(); ++i)
        same = same_values({a.ionic_steps[i].energies.e_fr_energy}, {b.ionic_steps[i].energies.e_fr_energy});
    if (same && a.eigenvalues) same = same_array(a.eigenvalues->data, b.eigenvalues->data);
    if (same && a.projected) same = same_array(a.projected->data, b.projected->data);
    if (same && a.dos) same = same_values(a.dos->total.energies, b.dos->total.energies);
    return same;
}

// The blocks no load depends on never change whether or how a load fails: the
// parse without them must end the same way (the same error, or a record with
// the same sections).
void compare_without_extras(const char* bytes, std::size_t size, ParseOptions o,
                            const std::optional<VasprunData>& with_extras, const std::string& error) {
    o.extras = false;
    std::optional<VasprunData> without;
    std::string error_without;
    try {
        without = parse_bytes(bytes, size, o);
    } catch (const VasprunError& e) {
        error_without = e.display();
    }
    if (error != error_without) {
        std::fprintf(stderr, "with extras: %s\nwithout: %s\n", error.c_str(), error_without.c_str());
        broken("the blocks no load depends on changed how the load ends");
    }
    check(!with_extras || (without && same_result(*with_extras, *without)), "extras changed the record");
}

// Every kernel set this CPU runs against the scalar set, entry by entry where an
// entry stands alone (the UTF-8 scans, at a few alignments; the long-range search,
// whose note of ASCII bytes must hold), and as a whole parse of a UTF-8 input.
void compare_kernel_sets(const char* bytes, std::size_t size) {
    const SimdKernels& scalar = scalar_kernels();
    for (const SimdKernels* k : runnable_kernel_sets()) {
        if (k == &scalar) continue;
        for (std::size_t skip = 0; skip < 4 && skip <= size; ++skip) {
            check(k->valid_utf8(bytes + skip, size - skip) == scalar.valid_utf8(bytes + skip, size - skip),
                  "kernel sets: UTF-8 checks differ");
            check(k->ascii_prefix(bytes + skip, size - skip) == scalar.ascii_prefix(bytes + skip, size - skip),
                  "kernel sets: ASCII prefixes differ");
        }
        for (std::string_view needle : {"</v>", "</set>", "<"}) {
            const char *ascii_a, *ascii_b;
            const char* a = k->find(bytes, bytes + size, needle, &ascii_a);
            const char* b = scalar.find(bytes, bytes + size, needle, &ascii_b);
            check(a == b, "kernel sets: searches differ");
            check(ascii_a >= bytes && ascii_a <= bytes + size &&
                      scalar.ascii_prefix(bytes, static_cast<std::size_t>(ascii_a - bytes)) ==
                          static_cast<std::size_t>(ascii_a - bytes),
                  "kernel sets: a search saw ASCII where there is none");
        }
    }
    if (!scalar.valid_utf8(bytes, size)) return;
    const std::string_view text(bytes, size);
    const auto parse = [&](const SimdKernels& k, std::optional<VasprunData>& d, std::string& err) {
        try {
            d = parse_text(text, ParseOptions{}, k);
        } catch (const VasprunError& e) {
            err = e.display();
        }
    };
    std::optional<VasprunData> reference;
    std::string reference_err;
    parse(scalar, reference, reference_err);
    for (const SimdKernels* k : runnable_kernel_sets()) {
        compare_row_paths(text, *k);
        if (k == &scalar) continue;
        std::optional<VasprunData> d;
        std::string err;
        parse(*k, d, err);
        if (err != reference_err) {
            std::fprintf(stderr, "%s: %s\nscalar: %s\n", k->name, err.c_str(), reference_err.c_str());
            broken("kernel sets: parses fail differently");
        }
        check(!d || (reference && same_result(*d, *reference)), "kernel sets: parses differ");
    }
}

// The input as a file, read by parse_file: from a mapping of the file (every
// file is mapped here, see LLVMFuzzerInitialize), inflated from one for .gz.
// The result or the error must be that of the parse from memory.
char file_dir[] = "/tmp/calcsift-fuzz-files-XXXXXX";

void compare_file_path(const char* bytes, std::size_t size, bool gz) {
    const std::string path = std::string(file_dir) + (gz ? "/input.xml.gz" : "/input.xml");
    std::FILE* f = std::fopen(path.c_str(), "wb");
    check(f && std::fwrite(bytes, 1, size, f) == size && std::fclose(f) == 0, "writing the input file");
    const ParseOptions o;
    std::optional<VasprunData> a, b;
    std::string err_a, err_b;
    try {
        if (gz) {
            Buffer text = gunzip(bytes, size);
            a = parse_bytes(text.data(), text.size(), o);
        } else {
            a = parse_bytes(bytes, size, o);
        }
    } catch (const VasprunError& e) {
        err_a = e.display();
    }
    try {
        b = parse_file(path, o);
    } catch (const VasprunError& e) {
        err_b = e.display();
    }
    if (err_a != err_b) {
        std::fprintf(stderr, "memory: %s\nfile: %s\n", err_a.c_str(), err_b.c_str());
        broken("file and memory parses fail differently");
    }
    check(!a || (b && same_result(*a, *b)), "file and memory parses differ");
}

void remove_file_dir() {
    for (const char* name : {"/input.xml", "/input.xml.gz"}) std::remove((std::string(file_dir) + name).c_str());
    std::remove(file_dir);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    __sanitizer_install_malloc_and_free_hooks(on_malloc, on_free);
    // Small inputs take the paths of large files: every file is mapped, and
    // buffers from 4 KiB on are advised for huge pages.
    MemoryThresholds t;
    t.map_file = 1;
    t.huge_pages = 4096;
    set_memory_thresholds(t);
    if (!mkdtemp(file_dir)) broken("no folder for the input files");
    std::atexit(remove_file_dir);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const char* bytes = reinterpret_cast<const char*>(data);
    // Inputs that look like gzip also go through the decoder (as a .gz file would).
    const bool gz = size >= 2 && data[0] == 0x1f && data[1] == 0x8b;
    compare_file_path(bytes, size, gz);
    if (gz) {
        try {
            Buffer text = gunzip(bytes, size);
            VasprunData d = parse_bytes(text.data(), text.size(), ParseOptions{});
            check_result(d, ParseOptions{});
        } catch (const VasprunError& e) {
            check(!e.display().empty(), "empty error text");
        }
        return 0;
    }
    compare_kernel_sets(bytes, size);
    for (unsigned mask = 0; mask < 8; ++mask) {
        ParseOptions o;
        o.parse_dos = mask & 1;
        o.parse_eigen = mask & 2;
        o.parse_projected = mask & 4;
        switch (size % 4) {
            case 0: break;
            case 1: o.ionic_step_skip = 0; break;
            case 2: o.ionic_step_skip = 2; break;
            default: o.ionic_step_skip = UINT64_MAX; break;
        }
        o.ionic_step_offset = (size / 4) % 3 == 2 ? UINT64_MAX : (size / 4) % 3;
        live = peak = 0;
        counting = true;
        std::optional<VasprunData> with_extras;
        std::string error;
        try {
            with_extras = parse_bytes(bytes, size, o);
            counting = false;
            check_result(*with_extras, o);
        } catch (const VasprunError& e) {
            error = e.display();
            check(!error.empty(), "empty error text");
        } catch (const std::bad_alloc&) {
            // A dense block allocation that the memory-bomb guard let through.
            broken("std::bad_alloc escaped the parse");
        } catch (const std::exception& e) {
            std::fprintf(stderr, "unexpected exception: %s\n", e.what());
            std::abort();
        } catch (...) {
            broken("unknown exception");
        }
        counting = false;
        if (peak > heap_allowance(size)) {
            std::fprintf(stderr, "peak heap %zu bytes for a %zu-byte input (options %u)\n", peak, size, mask);
            broken("heap use not linear in the input");
        }
        compare_without_extras(bytes, size, o, with_extras, error);
    }
    return 0;
}
