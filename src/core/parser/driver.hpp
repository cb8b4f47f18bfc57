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
    // A calculation held a <projected> block, whether it was parsed or passed over.
    bool saw_projected = false;
};

VasprunData parse_document(Cursor& cur, const ParseOptions& options);

// Keeps, of n steps, those after the offset and then every skip-th one.
void select_ionic_steps(std::vector<IonicStep>& steps, const ParseOptions& options);

}  // namespace calcsift
