// The records a parse produces. Every record owns its contents outright.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <variant>
#include <vector>

namespace calcsift {

using V3 = std::array<double, 3>;
using M3 = std::array<V3, 3>;

// A dense row-major block of doubles with its extents.
struct NdArray {
    std::vector<std::size_t> shape;
    std::vector<double> data;

    std::size_t size() const noexcept { return data.size(); }
    bool operator==(const NdArray&) const = default;
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

// --- generator and INCAR ---

struct Generator {
    std::string program, version, subversion, platform, date, time;
};

struct IncarValue {
    // Alternatives in their fixed order: Int, Float, Bool, String, FloatList.
    std::variant<std::int64_t, double, bool, std::string, std::vector<double>> value;
};

// Insertion-ordered map: a repeated name keeps its first position, takes the last value.
class IncarMap {
public:
    void insert(std::string name, IncarValue value) {
        auto it = index_.find(name);
        if (it != index_.end()) {
            entries_[it->second].second = std::move(value);
            return;
        }
        index_.emplace(name, entries_.size());
        entries_.emplace_back(std::move(name), std::move(value));
    }
    const std::vector<std::pair<std::string, IncarValue>>& entries() const noexcept {
        return entries_;
    }
    std::size_t size() const noexcept { return entries_.size(); }
    const IncarValue* find(std::string_view name) const {
        auto it = index_.find(std::string(name));
        return it == index_.end() ? nullptr : &entries_[it->second].second;
    }

private:
    std::vector<std::pair<std::string, IncarValue>> entries_;
    std::unordered_map<std::string, std::size_t> index_;
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
};

// --- k-points ---

struct KpointGeneration {
    std::string scheme;
    std::optional<std::array<std::int32_t, 3>> divisions;
};

struct Kpoints {
    NdArray kpointlist;  // (N, 3)
    std::vector<double> weights;
    std::optional<KpointGeneration> generation;
    std::vector<std::pair<std::size_t, std::string>> labels;
};

// --- calculations ---

struct StepEnergies {
    double e_fr_energy = 0.0;
    double e_wo_entrp = 0.0;
    double e_0_energy = 0.0;
};

struct IonicStep {
    Structure structure;
    StepEnergies energies;
    std::vector<V3> forces;
    M3 stress{};
    std::optional<Rows> magnetization;
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

struct CalculationOutput {
    std::optional<IonicStep> ionic_step;
    std::optional<EigenvalueBlock> eigenvalues;
    std::optional<Projected> projected;
    std::optional<Dos> dos;
    std::optional<Dielectric> dielectric;
    bool saw_projected = false;  // a <projected> block was read or passed over
};

}  // namespace calcsift
