// The run record: what one parse produces (VasprunData, made of the records
// below), and the options that shape it. Every record owns its contents outright.
// This header depends on nothing but the standard library: every layer names
// the record from here.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <functional>
#include <utility>
#include <variant>
#include <vector>

#include "core/base/error.hpp"

namespace calcsift {

using V3 = std::array<double, 3>;
using M3 = std::array<V3, 3>;

// A dense row-major block of doubles with its extents.
struct NdArray {
    std::vector<std::size_t> shape;
    std::vector<double> data;

    std::size_t size() const noexcept { return data.size(); }
    bool operator==(const NdArray&) const = default;

    // A block of the given shape, every value `value`. The guard against memory
    // bombs: a block of more than `limit` values (the length of the document
    // text, where a real document spends at least a byte on every value) is a
    // Shape error, not an allocation.
    static NdArray filled(std::vector<std::size_t> shape, double value, std::size_t limit);
};

// Rows of varying length stored flat: row i is values[offsets[i] .. offsets[i+1]).
struct Rows {
    std::vector<double> values;
    std::vector<std::size_t> offsets{0};

    std::size_t count() const noexcept { return offsets.size() - 1; }
    std::size_t row_size(std::size_t i) const noexcept { return offsets[i + 1] - offsets[i]; }
    const double* row(std::size_t i) const noexcept { return values.data() + offsets[i]; }
    void end_row() { offsets.push_back(values.size()); }
    void clear() {
        values.clear();
        offsets.assign(1, 0);
    }
    bool operator==(const Rows&) const = default;
};

// A block read beyond what a load depends on: its value (absent when the file
// has none), or the error its reading raised. Such a block never decides
// whether a load succeeds; its property raises the error when it is read.
template <class T>
struct Fallible {
    std::optional<T> value;
    std::optional<VasprunError> error;

    // The value (null when absent); throws the kept error.
    const T* get() const {
        if (error) throw *error;
        return value ? &*value : nullptr;
    }
    // Runs a reading that adds to the value; its error is kept, and the block raises it.
    template <class Read>
    void read_into(Read&& add) {
        try {
            add();
        } catch (const VasprunError& e) {
            error = e;
        }
    }
    // Keeps the block's value, or the error of reading it.
    template <class Read>
    void read(Read&& read_value) {
        try {
            value.reset();
            value.emplace(read_value());
            error.reset();
        } catch (const VasprunError& e) {
            value.reset();
            error = e;
        }
    }
};

// --- generator and INCAR ---

struct Generator {
    std::string program, version, subversion, platform, date, time;
    // Every named item, as written, in file order.
    std::vector<std::pair<std::string, std::string>> items;
};

// A named <i> or <v> item of <incar> or <parameters> as written.
struct Item {
    std::string name;
    std::optional<std::string> type;
    std::string text;
    bool vector = false;                  // a <v>
    std::vector<std::string> separators;  // the enclosing <separator>s' names, outermost first
};

struct IncarValue {
    // Alternatives in their fixed order: Int, Float, Bool, String, FloatList, and
    // IntList, BoolList (only <v> items of <parameters> have those).
    std::variant<std::int64_t, double, bool, std::string, std::vector<double>,
                 std::vector<std::int64_t>, std::vector<bool>>
        value;
};

// Insertion-ordered map: a repeated name keeps its first position, takes the last value.
// The index is an open-addressing table of positions in the entry list, each
// with its name's hash: no allocation per entry (a run's parameters are some 300
// of them), and a probe reads an entry's name only when the hashes agree.
class IncarMap {
public:
    void insert(std::string name, IncarValue value) {
        if (2 * (entries_.size() + 1) > slots_.size()) grow(2 * (entries_.size() + 1));
        const std::size_t hash = hash_of(name);
        Slot& slot = slots_[slot_of(name, hash)];
        if (slot.entry != kEmpty) {
            entries_[slot.entry].second = std::move(value);
            return;
        }
        slot = {entries_.size(), hash};
        entries_.emplace_back(std::move(name), std::move(value));
    }
    const std::vector<std::pair<std::string, IncarValue>>& entries() const noexcept {
        return entries_;
    }
    std::size_t size() const noexcept { return entries_.size(); }
    void reserve(std::size_t n) {
        entries_.reserve(n);
        if (2 * n > slots_.size()) grow(2 * n);
    }
    const IncarValue* find(std::string_view name) const noexcept {
        if (slots_.empty()) return nullptr;
        const Slot& slot = slots_[slot_of(name, hash_of(name))];
        return slot.entry == kEmpty ? nullptr : &entries_[slot.entry].second;
    }

private:
    static constexpr std::size_t kEmpty = static_cast<std::size_t>(-1);
    struct Slot {
        std::size_t entry = kEmpty;
        std::size_t hash = 0;
    };

    static std::size_t hash_of(std::string_view name) noexcept {
        return std::hash<std::string_view>{}(name);
    }
    // The slot holding name, or the empty slot where it would go. The table is
    // a power of two in size and at most half full.
    std::size_t slot_of(std::string_view name, std::size_t hash) const noexcept {
        const std::size_t mask = slots_.size() - 1;
        for (std::size_t i = hash & mask;; i = (i + 1) & mask) {
            const Slot& s = slots_[i];
            if (s.entry == kEmpty || (s.hash == hash && entries_[s.entry].first == name)) return i;
        }
    }
    void grow(std::size_t at_least) {
        std::size_t n = 16;
        while (n < at_least) n *= 2;
        std::vector<Slot> old(n);
        old.swap(slots_);
        const std::size_t mask = n - 1;
        for (const Slot& s : old) {
            if (s.entry == kEmpty) continue;
            std::size_t i = s.hash & mask;
            while (slots_[i].entry != kEmpty) i = (i + 1) & mask;
            slots_[i] = s;
        }
    }

    std::vector<std::pair<std::string, IncarValue>> entries_;
    std::vector<Slot> slots_;
};

// <parameters>: every value VASP ran with, defaults included, separators flattened.
struct Parameters {
    IncarMap values;
    // VASP 5 writes NELM twice: the electronic loop's limit under "electronic
    // convergence", then the GW loop's under "response functions", which takes
    // the map's value. The first one is the electronic loop's.
    std::optional<IncarValue> first_nelm;
    std::vector<Item> items;
};

// --- atom info ---

struct AtomType {
    std::string element;
    std::uint64_t count = 0;
    double mass = 0.0;
    double valence = 0.0;
    std::string pseudopotential;
};

struct AtomInfo {
    std::vector<std::string> atoms;
    std::vector<AtomType> atom_types;
};

// --- structures ---

struct Structure {
    M3 lattice{};
    M3 rec_lattice{};
    double volume = 0.0;
    std::vector<V3> positions;
    std::vector<std::string> species;
    // Selective-dynamics flags and MD velocities, one row per atom, where the structure has them.
    Fallible<std::vector<std::array<bool, 3>>> selective;
    Fallible<std::vector<V3>> velocities;
};

// --- k-points ---

struct KpointGeneration {
    std::string scheme;
    std::optional<std::array<std::int32_t, 3>> divisions;
    // Every named <v> and <i> child (divisions, usershift, genvec1..3, shift;
    // the line mode's <i name="divisions">), typed as <parameters> items are.
    std::vector<std::pair<std::string, IncarValue>> items;
};

struct Kpoints {
    NdArray kpointlist;  // (N, 3)
    std::vector<double> weights;
    std::optional<KpointGeneration> generation;
    std::vector<std::pair<std::size_t, std::string>> labels;
};

// --- calculations ---

// A calculation's energies (a missing or unreadable value is 0.0), or an
// electronic step's (NaN there).
struct StepEnergies {
    double e_fr_energy = 0.0;
    double e_wo_entrp = 0.0;
    double e_0_energy = 0.0;
};

struct IonicStep {
    Structure structure;
    StepEnergies energies;   // zeros when the step has no <energy>
    bool has_energies = false;
    std::vector<V3> forces;  // empty when the step has none
    M3 stress{};             // zeros when the step has none
    bool has_stress = false;
    std::optional<Rows> magnetization;
    // The ground-state electronic steps: the <scstep>s before the structure. Those
    // after it are the linear-response loops of DFPT runs, not steps of this loop.
    std::vector<StepEnergies> scsteps;
};


// --- density of states ---

struct DosData {
    std::vector<double> energies;
    NdArray densities;   // (S, G)
    NdArray integrated;  // (S, G)
};

struct PartialDos {
    std::vector<std::string> orbitals;
    NdArray data;  // (S, I, K, G)
};

struct Dos {
    DosData total;
    std::optional<PartialDos> partial;
    double efermi = 0.0;
};

// --- band data ---

struct EigenvalueBlock {
    NdArray data;  // (nspins, nkpts, nbands, 2)
    std::array<std::size_t, 3> shape{};
};

struct Projected {
    std::vector<std::string> orbitals;
    NdArray data;  // (nspins, nkpts, nbands, nions, norbitals)
};

// --- dielectric function ---

struct Dielectric {
    std::vector<double> energies;
    NdArray real;  // (rows, 6)
    NdArray imag;  // (rows, 6)
};

// --- linear response and phonons (finite differences, DFPT) ---

struct Dynmat {
    NdArray hessian;                  // (D, D), D = 3 * natoms (or the free degrees of freedom)
    std::vector<double> eigenvalues;  // (D,)
    NdArray eigenvectors;             // (D, D), one eigenvector per row
};

// The <varray name="epsilon..."> blocks by name, in first-seen order: 3 x 3
// tensors, and the (frequency, value) rows of GW runs' epsilon_diag.
using NamedArrays = std::vector<std::pair<std::string, NdArray>>;

// --- KPOINTS_OPT: the bands of a second k-point set (VASP 6.3 and later) ---

struct KpointsOptBands {
    NdArray kpointlist;  // (N, 3); (0, 3) when the file gives no list
    std::vector<double> weights;
    std::optional<EigenvalueBlock> eigenvalues;
};

// <projected_kpoints_opt>: the projections, and the copy of the eigenvalues
// (with occupancies) that VASP writes inside it.
struct KpointsOptProjected {
    std::optional<EigenvalueBlock> eigenvalues;
    std::optional<Projected> projected;
};

// --- what a run holds beside its sections ---

// Named values (energy terms) of several groups, flat: group i is
// [offsets[i], offsets[i + 1]) of names and values; names index a name table.
struct Terms {
    std::vector<std::uint32_t> names;
    std::vector<double> values;
    std::vector<std::size_t> offsets{0};

    std::size_t count() const noexcept { return offsets.size() - 1; }
    void end_group() { offsets.push_back(values.size()); }
};

// Interned names of energy terms: the few dozen a document has. VASP writes
// the terms of every <energy> in the same order, and names get their ids in the
// order first seen, so the name after the one looked up last is tried first.
struct TermNames {
    std::vector<std::string> names;
    std::uint32_t id(std::string_view name) {
        const std::uint32_t n = static_cast<std::uint32_t>(names.size());
        if (next_ < n && names[next_] == name) return next_++;
        for (std::uint32_t i = 0; i < n; ++i) {
            if (names[i] == name) {
                next_ = i + 1;
                return i;
            }
        }
        names.emplace_back(name);
        next_ = n + 1;
        return n;
    }

private:
    std::uint32_t next_ = 0;
};

// What a <calculation> held beyond its ionic step.
struct CalculationInfo {
    std::optional<std::size_t> step;  // its ionic step in the record, when it has one that is kept
    bool closed = false;              // its end tag was read
    std::optional<std::size_t> energy;  // its <energy>'s group in VasprunData::energy_terms
    // Its <scstep>s, all of them: groups [first, end) of VasprunData::scstep_terms.
    std::size_t scsteps_first = 0, scsteps_end = 0;
    std::size_t ground_state_scsteps = 0;
    std::vector<std::pair<std::string, NdArray>> varrays;  // beyond forces, stress, magnetization
    std::optional<std::vector<std::array<bool, 3>>> selective;  // of its structure
    std::vector<const char*> blocks;  // names of the band, DOS and response blocks it holds
};

// A machine-learned force-field step (VASP 6.3+ writes them at top level,
// between the calculations): a structure, its forces and stress, its energies.
struct MlStep {
    std::ptrdiff_t after = -1;  // the calculation before it (-1: none)
    Structure structure;
    std::optional<std::vector<V3>> forces;
    std::optional<M3> stress;
    std::optional<std::size_t> energy;  // its group in VasprunData::energy_terms
    bool kept = false;  // follows the selection of the ionic step before it
};

// A <dielectricfunction> with its comment and where it stands.
struct DielectricFunction {
    std::optional<std::string> comment;
    std::optional<std::size_t> calculation;  // absent at top level
    Dielectric data;
};

// --- the whole record ---

struct ParseOptions {
    bool parse_dos = true;
    bool parse_eigen = true;
    bool parse_projected = false;
    std::optional<std::uint64_t> ionic_step_skip;
    std::uint64_t ionic_step_offset = 0;
    // Read the blocks no load depends on (off only to check that they never
    // change whether or how a load fails).
    bool extras = true;
};

// How far the run got, over the whole document (before ionic steps are selected).
struct RunProgress {
    std::uint64_t calculations = 0;  // <calculation> elements
    std::uint64_t ionic_steps = 0;   // those with a structure
    // The last calculation's ground-state electronic steps (none without a calculation).
    std::uint64_t last_scsteps = 0;
    bool finished = false;  // </modeling> was reached: VASP closed the record
};

// The run record. Members that are Fallible are read beyond what a load
// depends on (see Fallible).
struct VasprunData {
    std::optional<double> efermi;
    Generator generator;
    IncarMap incar;
    AtomInfo atominfo;
    Kpoints kpoints;
    Structure initial_structure;
    Structure final_structure;
    std::vector<IonicStep> ionic_steps;
    std::optional<EigenvalueBlock> eigenvalues;
    std::optional<Projected> projected;
    std::optional<Dos> dos;
    std::optional<Dielectric> dielectric;
    Fallible<Parameters> parameters;
    RunProgress progress;
    Fallible<NamedArrays> dielectric_tensors;
    Fallible<NdArray> born_charges;  // (natoms, 3, 3)
    Fallible<Dynmat> dynmat;
    // KPOINTS_OPT: each part under the switch of its counterpart of the run.
    Fallible<KpointsOptBands> kpoints_opt;
    Fallible<KpointsOptProjected> kpoints_opt_projected;
    std::optional<Dos> kpoints_opt_dos;
    // Beside the sections the load reads: all of them, as written.
    Fallible<std::vector<Item>> incar_items;
    Fallible<std::vector<Kpoints>> kpoint_blocks;  // every top-level <kpoints>; `kpoints` is the last
    std::vector<std::pair<std::string, Structure>> named_structures;  // the last top-level one per name
    // Every term of the <energy>s of calculations and machine-learned steps, and
    // of every <scstep>, a group each; names interned in term_names.
    TermNames term_names;
    Terms energy_terms;
    Terms scstep_terms;
    Fallible<std::vector<CalculationInfo>> calculations;  // every <calculation>, kept or not
    Fallible<std::vector<MlStep>> ml_steps;
    Fallible<std::vector<DielectricFunction>> dielectric_functions;
    Fallible<NdArray> optical_transitions;
    // A calculation held a <projected> block, whether it was parsed or passed over.
    bool saw_projected = false;
};

}  // namespace calcsift
