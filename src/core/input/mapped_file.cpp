#include "core/input/mapped_file.hpp"

#include <signal.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <mutex>
#include <new>

namespace calcsift {

namespace {

// --- the registry of guarded mappings ---------------------------------------
//
// The SIGBUS handler reads it, so it is a fixed array of lock-free atomics. A
// slot is claimed by its thread (owner = its thread id) and its other fields
// are written by that thread only; the handler looks only at the slots of the
// thread that faulted, whose fields that same thread wrote before the access.

constexpr int kSlots = 64;

struct Slot {
    std::atomic<pid_t> owner{0};
    std::atomic<std::uintptr_t> begin{0};
    std::atomic<std::uintptr_t> end{0};           // the whole reservation, zero page included
    std::atomic<std::uintptr_t> writable_end{0};  // [begin, writable_end) is read-write
    std::atomic<int> lost{0};
};

Slot slots[kSlots];

std::atomic<std::uintptr_t> page_bytes{4096};

pid_t this_thread() noexcept { return static_cast<pid_t>(syscall(SYS_gettid)); }

int claim_slot(std::uintptr_t begin, std::uintptr_t end) noexcept {
    const pid_t me = this_thread();
    for (int i = 0; i < kSlots; ++i) {
        pid_t free = 0;
        if (!slots[i].owner.compare_exchange_strong(free, me)) continue;
        slots[i].lost.store(0);
        slots[i].end.store(end);
        slots[i].writable_end.store(begin);
        slots[i].begin.store(begin);
        return i;
    }
    return -1;
}

void release_slot(int i) noexcept {
    slots[i].begin.store(0);
    slots[i].end.store(0);
    slots[i].owner.store(0);
}

bool owns_a_slot(pid_t me) noexcept {
    for (const Slot& s : slots)
        if (s.owner.load(std::memory_order_relaxed) == me && s.begin.load(std::memory_order_relaxed))
            return true;
    return false;
}

// Replaces the pages of the faulting thread's mapping from the one holding
// addr to its end by zero pages (read-write below writable_end, as they were).
// False when addr is in none of its mappings, or the pages cannot be replaced.
bool replace_lost_pages(pid_t me, std::uintptr_t addr) noexcept {
    for (Slot& s : slots) {
        if (s.owner.load(std::memory_order_relaxed) != me) continue;
        const std::uintptr_t b = s.begin.load(std::memory_order_relaxed);
        const std::uintptr_t e = s.end.load(std::memory_order_relaxed);
        if (!b || addr < b || addr >= e) continue;
        const std::uintptr_t page = addr & ~(page_bytes.load(std::memory_order_relaxed) - 1);
        std::uintptr_t w = s.writable_end.load(std::memory_order_relaxed);
        w = w < page ? page : w > e ? e : w;
        const int flags = MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED;
        if (page < w && mmap(reinterpret_cast<void*>(page), w - page, PROT_READ | PROT_WRITE, flags, -1,
                             0) == MAP_FAILED)
            return false;
        if (w < e && mmap(reinterpret_cast<void*>(w), e - w, PROT_READ, flags, -1, 0) == MAP_FAILED)
            return false;
        s.lost.store(1);
        return true;
    }
    return false;
}

// --- the handler --------------------------------------------------------------

void on_sigbus(int sig, siginfo_t* info, void* context);

// The disposition before ours, in two copies so that a new one can be written
// while a handler may be reading the current one.
struct sigaction previous[2];
std::atomic<int> previous_index{0};
std::mutex install_mutex;

// The thread that is running the previous handler from ours, if any.
std::atomic<pid_t> passing_on{0};

bool is_ours(const struct sigaction& a) noexcept {
    return (a.sa_flags & SA_SIGINFO) && a.sa_sigaction == on_sigbus;
}

// Sets the default action (ends the process) for a signal that no one handles.
void take_default(int sig) noexcept {
    struct sigaction dfl {};
    dfl.sa_handler = SIG_DFL;
    sigemptyset(&dfl.sa_mask);
    (void)sigaction(sig, &dfl, nullptr);
}

void pass_on(int sig, siginfo_t* info, void* context) noexcept {
    const struct sigaction& prev = previous[previous_index.load()];
    const bool fault = info && info->si_code > 0;
    if (!is_ours(prev) && (prev.sa_flags & SA_SIGINFO) && prev.sa_sigaction) {
        passing_on.store(this_thread());
        prev.sa_sigaction(sig, info, context);
        passing_on.store(0);
        return;
    }
    if (!is_ours(prev) && !(prev.sa_flags & SA_SIGINFO) && prev.sa_handler != SIG_DFL &&
        prev.sa_handler != SIG_IGN) {
        passing_on.store(this_thread());
        prev.sa_handler(sig);
        passing_on.store(0);
        return;
    }
    if (!fault && !is_ours(prev) && !(prev.sa_flags & SA_SIGINFO) && prev.sa_handler == SIG_IGN) return;
    // The default action: a fault happens again on return and then ends the
    // process; a signal that was sent is raised again.
    take_default(sig);
    if (!fault) raise(sig);
}

void on_sigbus(int sig, siginfo_t* info, void* context) {
    const int saved_errno = errno;
    const pid_t me = this_thread();
    if (info && info->si_code > 0) {
        // A fault of the kernel's: one of our mappings lost its pages?
        if (replace_lost_pages(me, reinterpret_cast<std::uintptr_t>(info->si_addr))) {
            errno = saved_errno;
            return;
        }
    } else if (passing_on.load() == me) {
        // The handler we passed a signal to raised it again, as Python's
        // faulthandler does after writing its traceback: the fault is fatal.
        take_default(sig);
        raise(sig);
        errno = saved_errno;
        return;
    } else if (info && info->si_code == SI_TKILL && info->si_pid == getpid() && owns_a_slot(me)) {
        // Raised again by a handler that was in front of ours, for a fault in
        // this thread's mapping: on return the access faults again and comes here.
        errno = saved_errno;
        return;
    }
    pass_on(sig, info, context);
    errno = saved_errno;
}

// Puts our handler in front, keeping the one it replaces to pass other faults on to.
bool install_handler() noexcept {
    struct sigaction current;
    if (sigaction(SIGBUS, nullptr, &current) == 0 && is_ours(current)) return true;
    std::lock_guard<std::mutex> lock(install_mutex);
    struct sigaction ours {};
    ours.sa_sigaction = on_sigbus;
    // SA_NODEFER: a previous handler that raises the signal again reaches us at once.
    ours.sa_flags = SA_SIGINFO | SA_NODEFER | SA_ONSTACK;
    sigemptyset(&ours.sa_mask);
    const int next = 1 - previous_index.load();
    // One call reads the old disposition and sets ours, so none set in between is lost.
    if (sigaction(SIGBUS, &ours, &previous[next]) != 0) return false;
    if (!is_ours(previous[next])) previous_index.store(next);
    // A sanitizer may keep its own handler and refuse ours silently.
    return sigaction(SIGBUS, nullptr, &current) == 0 && is_ours(current);
}

}  // namespace

std::unique_ptr<MappedFile> MappedFile::map(int fd, std::size_t size) noexcept {
    if (size == 0) return nullptr;
    const auto page = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
    page_bytes.store(page);
    if (!install_handler()) return nullptr;
    // The file's pages, one zero page after them, and room to start on a 2 MiB
    // boundary (the page cache's large folios can then be mapped whole).
    const std::uintptr_t align = std::uintptr_t{2} << 20;
    const std::size_t span = ((size + page - 1) & ~(page - 1)) + page;
    if (span < size) return nullptr;
    const std::size_t reserve = size >= align ? span + align : span;
    void* r = mmap(nullptr, reserve, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (r == MAP_FAILED) return nullptr;
    auto base = reinterpret_cast<std::uintptr_t>(r);
    if (reserve != span) {
        const std::uintptr_t aligned = (base + align - 1) & ~(align - 1);
        if (aligned > base) munmap(r, aligned - base);
        const std::uintptr_t tail = aligned + span;
        if (base + reserve > tail) munmap(reinterpret_cast<void*>(tail), base + reserve - tail);
        base = aligned;
    }
    const int slot = claim_slot(base, base + span);
    if (slot < 0) {
        munmap(reinterpret_cast<void*>(base), span);
        return nullptr;
    }
    if (mmap(reinterpret_cast<void*>(base), size, PROT_READ, MAP_PRIVATE | MAP_FIXED, fd, 0) ==
        MAP_FAILED) {
        release_slot(slot);
        munmap(reinterpret_cast<void*>(base), span);
        return nullptr;
    }
#ifdef MADV_POPULATE_READ
    // Maps the cached pages in one call rather than one fault per few pages. It
    // fails (and leaves the rest to page faults) when the file has shrunk.
    (void)madvise(reinterpret_cast<void*>(base), size, MADV_POPULATE_READ);
#endif
    auto* m = new (std::nothrow) MappedFile(base, size, span, slot);
    if (!m) {
        release_slot(slot);
        munmap(reinterpret_cast<void*>(base), span);
    }
    return std::unique_ptr<MappedFile>(m);
}

MappedFile::~MappedFile() {
    munmap(reinterpret_cast<void*>(base_), span_);
    release_slot(slot_);
}

char* MappedFile::writable_prefix(std::size_t n) noexcept {
    const std::uintptr_t page = page_bytes.load();
    const std::uintptr_t end = (base_ + n + page - 1) & ~(page - 1);
    if (n > size_ || mprotect(reinterpret_cast<void*>(base_), end - base_, PROT_READ | PROT_WRITE) != 0)
        return nullptr;
    if (end > slots[slot_].writable_end.load()) slots[slot_].writable_end.store(end);
    return reinterpret_cast<char*>(base_);
}

bool MappedFile::lost_pages() const noexcept { return slots[slot_].lost.load() != 0; }

}  // namespace calcsift
