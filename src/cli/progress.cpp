#include "progress.hpp"

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>

namespace calcsift::cli {

namespace {

// A terminal redraws at most ten times a second; a log gets a line every few seconds.
constexpr auto kBarInterval = std::chrono::milliseconds(100);
constexpr auto kLineInterval = std::chrono::seconds(5);
constexpr std::size_t kBarWidth = 40;
constexpr std::size_t kMinBarWidth = 10;

// "0.4s", "12s", "3:07", "1:02:03".
std::string duration_text(double seconds) {
    char buf[32];
    if (!(seconds < 1e9)) return "-";  // also NaN
    if (seconds < 9.95) {
        std::snprintf(buf, sizeof buf, "%.1fs", seconds);
    } else if (seconds < 59.5) {
        std::snprintf(buf, sizeof buf, "%.0fs", seconds);
    } else {
        const auto s = static_cast<unsigned long long>(seconds + 0.5);
        if (s < 3600)
            std::snprintf(buf, sizeof buf, "%llu:%02llu", s / 60, s % 60);
        else
            std::snprintf(buf, sizeof buf, "%llu:%02llu:%02llu", s / 3600, s / 60 % 60, s % 60);
    }
    return buf;
}

// "[########..........]  40%  4/10 files  12.5 files/s  ETA 1.2s" (or "in 3.1s" when
// all are done). The bar shrinks, then goes, where `columns` is too narrow.
std::string progress_text(std::size_t done, std::size_t total, double seconds, std::size_t columns) {
    const std::size_t percent = total ? done * 100 / total : 100;
    const double rate = done && seconds > 0 ? static_cast<double>(done) / seconds : 0.0;
    char rate_buf[32] = "-";
    if (rate > 0) std::snprintf(rate_buf, sizeof rate_buf, rate < 100 ? "%.1f" : "%.0f", rate);
    std::string tail;
    if (done >= total)
        tail = "in " + duration_text(seconds);
    else
        tail = "ETA " + (rate > 0 ? duration_text(static_cast<double>(total - done) / rate) : std::string("-"));

    char buf[160];
    std::snprintf(buf, sizeof buf, "%3zu%%  %zu/%zu files  %s files/s  %s", percent, done, total, rate_buf,
                  tail.c_str());
    std::string text = buf;

    // Stay off the last column: a full line makes some terminals wrap.
    const std::size_t room = columns > 1 ? columns - 1 : 0;
    const std::size_t decoration = 3;  // "[", "] "
    std::size_t width = kBarWidth;
    if (room < text.size() + decoration + kBarWidth)
        width = room > text.size() + decoration ? room - text.size() - decoration : 0;
    if (width < kMinBarWidth) {
        if (text.size() > room) text.resize(room);
        return text;
    }
    const std::size_t filled = total ? std::min(done, total) * width / total : width;
    std::string line = "[";
    line.append(filled, '#');
    line.append(width - filled, '.');
    line += "] ";
    return line + text;
}

std::size_t terminal_columns() {
    winsize ws{};
    if (ioctl(STDERR_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0) return ws.ws_col;
    return 80;
}

}  // namespace

Progress::Progress(ProgressStyle style, std::size_t total)
    : style_(style), total_(total), start_(Clock::now()), last_(start_) {
    if (style_ == ProgressStyle::bar) draw();
}

void Progress::update(std::size_t done) {
    if (style_ == ProgressStyle::off) return;
    done_ = done;
    const auto since = Clock::now() - last_;
    if (style_ == ProgressStyle::lines) {
        if (done < total_ && since >= kLineInterval) draw();  // finish() writes the last line
    } else if (done >= total_ || !visible_ || since >= kBarInterval) {
        draw();
    }
}

void Progress::hide() {
    if (style_ != ProgressStyle::bar || !visible_) return;
    std::fputs("\r\033[K", stderr);
    std::fflush(stderr);
    visible_ = false;
}

void Progress::show() {
    if (style_ == ProgressStyle::bar && !visible_) draw();
}

void Progress::finish() {
    if (style_ == ProgressStyle::bar) {
        hide();
    } else if (style_ == ProgressStyle::lines) {
        done_ = total_;
        draw();
    }
    style_ = ProgressStyle::off;
}

void Progress::draw() {
    const auto now = Clock::now();
    const double seconds = std::chrono::duration<double>(now - start_).count();
    last_ = now;
    if (style_ == ProgressStyle::bar) {
        const std::string text = progress_text(done_, total_, seconds, terminal_columns());
        std::fprintf(stderr, "\r\033[K%s", text.c_str());
        visible_ = true;
    } else {
        const std::string text = progress_text(done_, total_, seconds, kBarWidth * 4);
        std::fprintf(stderr, "%s\n", text.c_str());
    }
    std::fflush(stderr);
}

}  // namespace calcsift::cli
