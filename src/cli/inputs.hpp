// The files `calcsift summary` reads: its arguments, with directories replaced by
// the run records found under them.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace calcsift::cli {

// A run record's file name as the walk finds it: vasprun*.xml* (vasprun.xml,
// vasprun.xml.gz, vasprun_relax.xml, ...).
bool is_run_record_name(std::string_view name) noexcept;

struct Inputs {
    std::vector<std::string> files;
    bool failed = false;  // a directory or part of one could not be read (reported)
};

// Arguments in their order. A file (or anything not a directory, missing ones
// too) is taken as given, whatever its name. A directory is walked to every depth
// for files named vasprun*.xml*, which take its place sorted by path; symbolic
// links to directories are followed, each directory once (a link loop ends
// there). `report(path, text)` tells of a directory that could not be read
// (`failed` is then set) or holds no run record (a note only).
Inputs expand_arguments(const std::vector<std::string>& args,
                        const std::function<void(const std::string&, const std::string&)>& report);

}  // namespace calcsift::cli
