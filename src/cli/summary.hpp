// `calcsift summary`: one line of facts per run record, parsed in parallel.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/record/record.hpp"

namespace calcsift::cli {

struct FileSummary {
    std::string program;
    std::string version;
    std::string composition;  // element symbol then atom count per type, e.g. "Fe2O3"
    std::size_t nsteps = 0;
    std::optional<double> e_fr_energy;  // of the last kept ionic step
    std::optional<double> e_0_energy;   // of that step, corrected from its last electronic step
    // converged_electronic and converged_ionic of the run (see core/record/derived.hpp);
    // none when the file's <parameters> cannot be read.
    std::optional<bool> converged_electronic;
    std::optional<bool> converged_ionic;
    // VASP closed the record (</modeling>). A cut file read up to its last whole
    // calculation is summarised with this false: the mark of a partial record.
    bool complete = false;
    std::optional<double> efermi;
    std::size_t nkpts = 0;
    std::vector<std::string_view> blocks;  // among "dos", "eigen", "projected", "dielectric"
};

struct FileResult {
    std::optional<FileSummary> summary;  // absent when the file could not be read
    std::string error;                   // the error's display text otherwise
};

// "Fe2O3": each element once, in order of first appearance, with its total count.
std::string composition(const AtomInfo& info);

FileResult summarize_file(const std::string& path);

// Summarises files[i] on `jobs` threads and calls `emit(i, result)` on the calling
// thread in argument order; `progress(done, total)` after each finished file.
void summarize_files(const std::vector<std::string>& files, unsigned jobs,
                     const std::function<void(std::size_t, FileResult&)>& emit,
                     const std::function<void(std::size_t, std::size_t)>& progress);

}  // namespace calcsift::cli
