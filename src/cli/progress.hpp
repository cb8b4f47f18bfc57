// Progress of a batch of files on stderr: a redrawn bar on a terminal, plain
// lines in a log. Never writes to stdout.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>

namespace calcsift::cli {

enum class ProgressStyle {
    off,
    bar,    // one line redrawn in place (stderr is a terminal)
    lines,  // a line now and then, no control characters (stderr is a file or pipe)
};

class Progress {
public:
    using Clock = std::chrono::steady_clock;

    // Starts the clock; a bar is drawn at once (0 of total).
    Progress(ProgressStyle style, std::size_t total);

    // `done` of the total files are finished. Redraws are rate-limited; the last
    // one (done == total) is always drawn.
    void update(std::size_t done);

    // Erases the bar so that other output starts on a clean line; show() draws it
    // again. Lines need neither.
    void hide();
    void show();

    // End of the batch: erases the bar, or writes the final line.
    void finish();

private:
    void draw();

    ProgressStyle style_;
    std::size_t total_;
    std::size_t done_ = 0;
    bool visible_ = false;
    Clock::time_point start_;
    Clock::time_point last_;
};

}  // namespace calcsift::cli
