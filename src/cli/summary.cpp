#include "summary.hpp"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <exception>
#include <functional>
#include <mutex>
#include <new>
#include <thread>

#include "core/record/derived.hpp"
#include "core/base/error.hpp"
#include "core/load/load.hpp"

namespace calcsift::cli {

std::string composition(const AtomInfo& info) {
    std::vector<std::pair<std::string, std::uint64_t>> counts;
    for (const AtomType& t : info.atom_types) {
        const std::string& element = t.element.empty() ? std::string("X") : t.element;
        auto it = std::find_if(counts.begin(), counts.end(),
                               [&](const auto& c) { return c.first == element; });
        if (it == counts.end())
            counts.emplace_back(element, t.count);
        else
            it->second += t.count;
    }
    std::string out;
    for (const auto& [element, count] : counts) out += element + std::to_string(count);
    return out;
}

namespace {

// Eigenvalues are parsed (they are small beside the projections); projections
// are passed over, and the parse notes that they were there.
ParseOptions summary_options() {
    ParseOptions o;
    o.parse_dos = true;
    o.parse_eigen = true;
    o.parse_projected = false;
    return o;
}

}  // namespace

FileResult summarize_file(const std::string& path) {
    FileResult result;
    try {
        if (path.find('\0') != std::string::npos)
            throw VasprunError::io("file name contained an unexpected NUL byte");
        // A cut file (a run killed by a time limit) is read up to its last complete calculation.
        const VasprunData d = parse_file_partial(path, summary_options());

        FileSummary s;
        s.program = d.generator.program;
        s.version = d.generator.version;
        s.composition = composition(d.atominfo);
        s.nsteps = d.ionic_steps.size();
        if (!d.ionic_steps.empty()) {
            const StepEnergies e = corrected_energies(d.ionic_steps.back());
            s.e_fr_energy = e.e_fr_energy;
            s.e_0_energy = e.e_0_energy;
        }
        try {
            s.converged_electronic = converged_electronic(d);
            s.converged_ionic = converged_ionic(d);
        } catch (const VasprunError&) {
            // <parameters> could not be read: no verdict rather than a guess.
        }
        s.complete = d.progress.finished;
        s.efermi = d.efermi;
        s.nkpts = d.kpoints.weights.size();
        if (d.dos) s.blocks.emplace_back("dos");
        if (d.eigenvalues) s.blocks.emplace_back("eigen");
        if (d.saw_projected) s.blocks.emplace_back("projected");
        if (d.dielectric) s.blocks.emplace_back("dielectric");
        result.summary = std::move(s);
    } catch (const VasprunError& e) {
        result.error = e.display();
    } catch (const std::bad_alloc&) {
        result.error = "out of memory";
    } catch (const std::exception& e) {
        result.error = e.what();
    }
    return result;
}

void summarize_files(const std::vector<std::string>& files, unsigned jobs,
                     const std::function<void(std::size_t, FileResult&)>& emit,
                     const std::function<void(std::size_t, std::size_t)>& progress) {
    const std::size_t n = files.size();
    jobs = static_cast<unsigned>(std::clamp<std::size_t>(jobs, 1, std::max<std::size_t>(n, 1)));
    if (jobs == 1) {
        for (std::size_t i = 0; i < n; ++i) {
            FileResult r = summarize_file(files[i]);
            progress(i + 1, n);
            emit(i, r);
        }
        return;
    }

    std::vector<FileResult> results(n);
    std::vector<char> ready(n, 0);
    std::atomic<std::size_t> next{0};
    std::mutex mutex;
    std::condition_variable cv;
    std::size_t done = 0;

    auto worker = [&] {
        for (std::size_t i; (i = next.fetch_add(1)) < n;) {
            FileResult r = summarize_file(files[i]);
            {
                std::lock_guard<std::mutex> lock(mutex);
                results[i] = std::move(r);
                ready[i] = 1;
                ++done;
            }
            cv.notify_one();
        }
    };
    std::vector<std::thread> threads;
    threads.reserve(jobs);
    for (unsigned t = 0; t < jobs; ++t) threads.emplace_back(worker);

    // Emit in argument order as soon as each next file is ready.
    std::size_t emitted = 0;
    std::size_t shown = 0;
    while (emitted < n) {
        std::unique_lock<std::mutex> lock(mutex);
        cv.wait(lock, [&] { return done != shown || ready[emitted]; });
        const std::size_t now_done = done;
        std::vector<FileResult> batch;
        const std::size_t first = emitted;
        while (emitted < n && ready[emitted]) batch.push_back(std::move(results[emitted++]));
        lock.unlock();
        if (now_done != shown) {
            shown = now_done;
            progress(shown, n);
        }
        for (std::size_t k = 0; k < batch.size(); ++k) emit(first + k, batch[k]);
    }
    for (auto& t : threads) t.join();
}

}  // namespace calcsift::cli
