// The calcsift command-line tool: batch summaries and JSON dumps of vasprun.xml
// run records, straight from the C++ core (no Python start-up).
#include <CLI/CLI.hpp>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <new>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "core/base/error.hpp"
#include "core/layout/properties.hpp"
#include "core/load/load.hpp"
#include "inputs.hpp"
#include "json.hpp"
#include "progress.hpp"
#include "summary.hpp"

#ifndef CALCSIFT_VERSION
#error "CALCSIFT_VERSION must be defined by the build"
#endif

namespace calcsift::cli {

namespace {

constexpr int kExitFailure = 1;  // a file could not be read or the output not written
constexpr int kExitUsage = 2;    // bad command line

// The whole text, NUL bytes included.
void print_error(const std::string& file, const std::string& text) {
    const std::string line = file + ": " + text + "\n";
    std::fwrite(line.data(), 1, line.size(), stderr);
}

// --------------------------------------------------------------------------
// summary

std::string number_text(const std::optional<double>& x) {
    if (!x) return "-";
    char buf[32];
    const std::size_t n = format_double(*x, buf);
    return std::string(buf, n);
}

std::string program_text(const FileSummary& s) {
    std::string t = s.program;
    if (!s.version.empty()) t += (t.empty() ? "" : " ") + s.version;
    return t.empty() ? "-" : t;
}

std::string blocks_text(const FileSummary& s) {
    std::string t;
    for (std::string_view b : s.blocks) {
        if (!t.empty()) t += ',';
        t += b;
    }
    return t.empty() ? "-" : t;
}

// Width on a terminal, counted in code points of the UTF-8 text.
std::size_t display_width(const std::string& s) {
    return static_cast<std::size_t>(
        std::count_if(s.begin(), s.end(), [](char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; }));
}

void print_table(const std::vector<std::vector<std::string>>& rows) {
    static const std::vector<std::string> header = {"FILE",       "PROGRAM",    "COMPOSITION", "NSTEPS",
                                                    "E_FR_ENERGY", "E_0_ENERGY", "ELECTRONIC",  "IONIC",
                                                    "COMPLETE",    "EFERMI",     "NKPTS",       "BLOCKS"};
    static const std::vector<bool> right = {false, false, false, true,  true, true,
                                            false, false, false, true, true, false};
    std::vector<std::size_t> width(header.size());
    for (std::size_t c = 0; c < header.size(); ++c) width[c] = display_width(header[c]);
    for (const auto& row : rows)
        for (std::size_t c = 0; c < row.size(); ++c) width[c] = std::max(width[c], display_width(row[c]));

    auto print_row = [&](const std::vector<std::string>& row) {
        std::string line;
        for (std::size_t c = 0; c < row.size(); ++c) {
            const std::size_t pad = width[c] - display_width(row[c]);
            if (c) line += "  ";
            if (right[c]) line.append(pad, ' ');
            line += row[c];
            if (!right[c] && c + 1 < row.size()) line.append(pad, ' ');
        }
        line += '\n';
        std::fwrite(line.data(), 1, line.size(), stdout);
    };
    print_row(header);
    for (const auto& row : rows) print_row(row);
}

std::string yes_no(bool b) { return b ? "yes" : "no"; }
std::string yes_no(const std::optional<bool>& b) { return b ? yes_no(*b) : "-"; }

std::vector<std::string> table_row(const std::string& file, const FileSummary& s) {
    return {file,
            program_text(s),
            s.composition.empty() ? "-" : s.composition,
            std::to_string(s.nsteps),
            number_text(s.e_fr_energy),
            number_text(s.e_0_energy),
            yes_no(s.converged_electronic),
            yes_no(s.converged_ionic),
            yes_no(s.complete),
            number_text(s.efermi),
            std::to_string(s.nkpts),
            blocks_text(s)};
}

std::string json_line(const std::string& file, const FileSummary& s) {
    rapidjson::StringBuffer buffer;
    StringJsonWriter w(buffer);
    auto opt = [&w](const std::optional<double>& x) {
        if (x) put_double(w, *x); else w.Null();
    };
    w.StartObject();
    put_key(w, "file");
    put_string(w, file);
    put_key(w, "program");
    put_string(w, s.program);
    put_key(w, "version");
    put_string(w, s.version);
    put_key(w, "composition");
    put_string(w, s.composition);
    put_key(w, "nsteps");
    w.Uint64(s.nsteps);
    put_key(w, "e_fr_energy");
    opt(s.e_fr_energy);
    put_key(w, "e_0_energy");
    opt(s.e_0_energy);
    auto flag = [&w](const std::optional<bool>& b) {
        if (b) w.Bool(*b); else w.Null();
    };
    put_key(w, "converged_electronic");
    flag(s.converged_electronic);
    put_key(w, "converged_ionic");
    flag(s.converged_ionic);
    put_key(w, "complete");
    w.Bool(s.complete);
    put_key(w, "efermi");
    opt(s.efermi);
    put_key(w, "nkpts");
    w.Uint64(s.nkpts);
    put_key(w, "blocks");
    w.StartArray();
    for (std::string_view b : s.blocks) put_string(w, b);
    w.EndArray();
    w.EndObject();
    std::string line(buffer.GetString(), buffer.GetSize());
    line += '\n';
    return line;
}

// --progress forces the report on, --no-progress off; by default a bar is drawn
// when stderr is a terminal.
enum class ProgressChoice { automatic, on, off };

ProgressStyle progress_style(ProgressChoice choice) {
    if (choice == ProgressChoice::off) return ProgressStyle::off;
    if (isatty(STDERR_FILENO)) return ProgressStyle::bar;
    return choice == ProgressChoice::on ? ProgressStyle::lines : ProgressStyle::off;
}

int run_summary(const std::vector<std::string>& args, bool json, unsigned jobs, ProgressChoice progress_choice) {
    const Inputs inputs = expand_arguments(args, print_error);
    const std::vector<std::string>& files = inputs.files;
    if (files.empty()) return kExitFailure;  // only directories without run records

    Progress progress(progress_style(progress_choice), files.size());
    // JSON lines reach a terminal while the bar is drawn on it: the bar steps aside.
    const bool stdout_shares_bar = json && isatty(STDOUT_FILENO);
    std::vector<std::vector<std::string>> rows;
    bool failed = inputs.failed;

    summarize_files(
        files, jobs,
        [&](std::size_t i, FileResult& r) {
            if (r.summary) {
                try {
                    if (json) {
                        const std::string line = json_line(files[i], *r.summary);
                        if (stdout_shares_bar) progress.hide();
                        std::fwrite(line.data(), 1, line.size(), stdout);
                        if (stdout_shares_bar) {
                            std::fflush(stdout);
                            progress.show();
                        }
                    } else {
                        rows.push_back(table_row(files[i], *r.summary));
                    }
                    return;
                } catch (const std::exception& e) {
                    r.error = e.what();
                }
            }
            failed = true;
            progress.hide();
            std::fflush(stdout);
            print_error(files[i], r.error);
            progress.show();
        },
        [&](std::size_t done, std::size_t) { progress.update(done); });
    progress.finish();

    if (!json && !rows.empty()) print_table(rows);
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
        std::fprintf(stderr, "calcsift: error writing the output\n");
        return kExitFailure;
    }
    return failed ? kExitFailure : 0;
}

// --------------------------------------------------------------------------
// dump

int run_dump(const std::string& file, const ParseOptions& options) {
    VasprunData data;
    try {
        data = parse_file(file, options);
    } catch (const VasprunError& e) {
        print_error(file, e.display());
        return kExitFailure;
    } catch (const std::bad_alloc&) {
        print_error(file, "out of memory");
        return kExitFailure;
    } catch (const std::exception& e) {
        print_error(file, e.what());
        return kExitFailure;
    }

    std::vector<char> buffer(1 << 20);
    rapidjson::FileWriteStream stream(stdout, buffer.data(), buffer.size());
    FileJsonWriter writer(stream);
    std::vector<std::string> unreadable;
    try {
        unreadable = write_record(writer, data, options);
    } catch (const std::exception& e) {
        stream.Flush();
        std::fflush(stdout);
        std::fputc('\n', stdout);
        print_error(file, e.what());
        return kExitFailure;
    }
    stream.Put('\n');
    stream.Flush();
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
        std::fprintf(stderr, "calcsift: error writing the output\n");
        return kExitFailure;
    }
    for (const std::string& text : unreadable) print_error(file, text);
    return unreadable.empty() ? 0 : kExitFailure;
}

// --------------------------------------------------------------------------

const char kDescription[] =
    "Reads VASP vasprun.xml run records (plain or .gz) with the calcsift C++ core.";

const char kSummaryFooter[] = R"(
One line per readable file, aligned as a table (or one JSON object per line
with --json), always in the order of the arguments. A directory stands for the
files named vasprun*.xml* in it and below, sorted by path (links to directories
are followed, each directory read once); one without any is noted on stderr.

Columns: file; program and version; composition (element and atom count of
each type, e.g. Fe2O3); number of ionic steps; e_fr_energy of the last ionic
step and its e_0_energy, corrected from the step's last electronic step (VASP
before 6.1 writes a wrong e_0_energy into the step; "-" without steps);
ELECTRONIC, IONIC and COMPLETE (yes/no; JSON keys converged_electronic,
converged_ionic and complete): the last electronic loop ended before NELM
steps; a relaxation ended before NSW ionic steps (other runs have no ionic
convergence to miss; "-" when the file's parameters cannot be read); VASP
closed the record (a cut file is converged in neither sense); Fermi energy ("-" without a DOS); number of k-points
(weights); the blocks the file holds among dos, eigen, projected and
dielectric.

A cut file (a run killed by a time limit) is read up to the end of its last
complete calculation, and shown with COMPLETE no.

The DOS, eigenvalues and dielectric function are parsed; projected eigenvalues
are passed over unparsed (they make up most of a large file), and only noted.

A file that cannot be read is reported on stderr as "FILE: reason"; the other
files are still processed and the exit status is 1, as it is when a directory
cannot be read or the arguments hold no file at all. Files are parsed on
--jobs threads (each holds a whole file in memory while it is parsed).

Progress goes to stderr, never to stdout: a bar with the count, percentage,
files per second and time left, redrawn at most ten times a second and erased
at the end, when stderr is a terminal. --progress also reports to a file or pipe
(a plain line every 5 seconds and a final one); --no-progress turns it off.)";

// The dump's help text, with the keys in the order of the layout table.
std::string dump_footer() {
    std::string text =
        "\nWrites the whole record as one JSON document on stdout, with the keys, key order\n"
        "and layout of the Python properties of calcsift.Vasprun:";
    std::size_t column = text.size() - text.rfind('\n') - 1;
    const auto& table = layout::properties<JsonOutput<FileJsonWriter>>;
    for (std::size_t i = 0; i < std::size(table); ++i) {
        const std::string word = std::string(table[i].name) + (i + 1 < std::size(table) ? "," : ".");
        if (column + 1 + word.size() > 81) {
            text += '\n';
            column = 0;
        } else {
            text += ' ';
            ++column;
        }
        text += word;
        column += word.size();
    }
    text += R"(
Arrays are nested lists, tuples are lists, absent blocks are null. A block that
no load depends on and that could not be read (the Python property raises) is
null too; "FILE: property: reason" goes to stderr and the exit status is 1.

The dos, eigenvalues and projected blocks are opt-in: without --dos, --eigen and
--projected they are not parsed and are written as null (efermi too, as it comes
from the DOS); the same flags gate the parts of kpoints_opt.

Floats are written in the shortest form that reads back as the same double, and
always as floats (1.0, not 1). NaN and infinities are written as the bare tokens
NaN, Infinity and -Infinity, which Python's json module reads by default (strict
JSON readers may not). Example: calcsift dump --dos run.xml | python3 -m json.tool)";
    return text;
}

// A decimal integer from 0 to 2^64 - 1 (what the ionic-step options take).
const CLI::Validator kCount(
    [](std::string& text) -> std::string {
        std::uint64_t value = 0;
        const char* end = text.data() + text.size();
        const auto [ptr, ec] = std::from_chars(text.data(), end, value);
        if (text.empty() || ec != std::errc() || ptr != end)
            return "expected an integer from 0 to 18446744073709551615, got '" + text + "'";
        return std::string();
    },
    "", "count");

unsigned default_jobs() {
    const unsigned n = std::thread::hardware_concurrency();
    return n ? n : 1;
}

int run(int argc, char** argv) {
    CLI::App app{kDescription, "calcsift"};
    app.set_version_flag("--version", std::string("calcsift ") + CALCSIFT_VERSION, "Print the version and exit");
    // No require_subcommand(): it would report an unknown word as a missing
    // subcommand; checked after parsing instead.
    app.footer("\nRun 'calcsift SUBCOMMAND --help' for the details of each subcommand.");

    std::vector<std::string> summary_files;
    bool summary_json = false;
    unsigned jobs = default_jobs();
    CLI::App* summary = app.add_subcommand("summary", "One line of key facts per run record");
    summary->add_option("FILE", summary_files, "vasprun.xml files (plain or .gz) or directories")->required();
    summary->add_flag("--json", summary_json, "Print one JSON object per file (JSON Lines)");
    summary->add_option("-j,--jobs", jobs, "Files parsed in parallel (default: number of CPUs)")
        ->type_name("N")
        ->check(CLI::Range(1u, 1024u))
        ->default_str(std::to_string(jobs));
    bool progress_on = false, progress_off = false;
    CLI::Option* progress_flag =
        summary->add_flag("--progress", progress_on, "Report progress on stderr even when it is not a terminal");
    summary->add_flag("--no-progress", progress_off, "Never report progress")->excludes(progress_flag);
    summary->footer(kSummaryFooter);

    std::string dump_file;
    bool dump_dos = false, dump_eigen = false, dump_projected = false;
    std::uint64_t skip = 0, offset = 0;
    CLI::App* dump = app.add_subcommand("dump", "The whole parsed record as one JSON document");
    dump->add_option("FILE", dump_file, "A vasprun.xml file (plain or .gz)")->required();
    dump->add_flag("--dos", dump_dos, "Parse and write the density of states (and efermi)");
    dump->add_flag("--eigen", dump_eigen, "Parse and write the eigenvalues");
    dump->add_flag("--projected", dump_projected, "Parse and write the projected eigenvalues");
    CLI::Option* skip_opt =
        dump->add_option("--skip", skip, "Keep every N-th ionic step (after the offset); 0 keeps all")
            ->type_name("N")
            ->check(kCount);
    dump->add_option("--offset", offset, "Drop the first N ionic steps")
        ->type_name("N")
        ->check(kCount)
        ->default_str("0");
    dump->footer(dump_footer());

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForAllHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForVersion& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        app.exit(e);
        return kExitUsage;
    }

    if (summary->parsed()) {
        const ProgressChoice choice = progress_on    ? ProgressChoice::on
                                      : progress_off ? ProgressChoice::off
                                                     : ProgressChoice::automatic;
        return run_summary(summary_files, summary_json, jobs, choice);
    }
    if (!dump->parsed()) {
        std::fputs("A subcommand is required: summary or dump\nRun with --help for more information.\n", stderr);
        return kExitUsage;
    }

    ParseOptions options;
    options.parse_dos = dump_dos;
    options.parse_eigen = dump_eigen;
    options.parse_projected = dump_projected;
    if (skip_opt->count()) options.ionic_step_skip = skip;
    options.ionic_step_offset = offset;
    return run_dump(dump_file, options);
}

}  // namespace

}  // namespace calcsift::cli

int main(int argc, char** argv) {
    try {
        return calcsift::cli::run(argc, argv);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "calcsift: %s\n", e.what());
        return 1;
    }
}
