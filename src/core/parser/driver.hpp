// The document driver: walks the root element once, dispatches each top-level
// section to its parser and assembles the result of the parse.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "../reader.hpp"
#include "../records.hpp"

namespace calcsift {

struct ParseOptions {
    bool parse_dos = true;
    bool parse_eigen = true;
    bool parse_projected = false;
    std::optional<std::uint64_t> ionic_step_skip;
    std::uint64_t ionic_step_offset = 0;
};

// How far the run got, over the whole document (before ionic steps are selected).
struct RunProgress {
    std::uint64_t calculations = 0;  // <calculation> elements
    std::uint64_t ionic_steps = 0;   // those with a structure
    // The last calculation's ground-state electronic steps (none without a calculation).
    std::uint64_t last_scsteps = 0;
    bool finished = false;  // </modeling> was reached: VASP closed the record
};

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
    std::optional<Parameters> parameters;
    RunProgress progress;
    Response response;  // dielectric tensors, Born charges, dynamical matrix
    std::optional<KpointsOpt> kpoints_opt;
    // A calculation held a <projected> block, whether it was parsed or passed over.
    bool saw_projected = false;
};

VasprunData parse_document(Cursor& cur, const ParseOptions& options);

// Keeps, of n steps, those after the offset and then every skip-th one.
void select_ionic_steps(std::vector<IonicStep>& steps, const ParseOptions& options);

}  // namespace calcsift
