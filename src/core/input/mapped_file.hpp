// A read-only mapping of a regular file that survives the file being cut
// short or rewritten by another process while it is read.
//
// Reading a file with read() copies it into fresh anonymous memory, one 4 KiB
// page fault at a time: for a cached file that copy, not the parse, was most of
// the cost of a large, mostly skipped file (0.3-0.5 s for 537 MB on the benchmark
// machine, in 4 KiB or huge pages alike, against 0.003-0.03 s to map and populate
// it). A mapping has two hazards, and both are handled here:
//
// * The file may shrink while it is mapped (a job restarted in the same
//   folder truncates it). Touching a page past the new end raises SIGBUS. A
//   process-wide SIGBUS handler looks up the faulting address among the
//   mappings that the faulting thread has registered; when it is one, it
//   replaces the rest of that mapping by zero pages and returns, so the access
//   reads zeros, and the mapping is marked as having lost pages. Nothing jumps
//   out of the middle of the parse: it runs on to its end over the zeros, and
//   the loader then throws its result away (see lost_pages()). Every other
//   SIGBUS is passed on to the handler that was installed before (Python's
//   faulthandler, a sanitizer, or the default action), and the handler puts
//   itself in front again before each mapping if something replaced it.
// * The bytes may change while they are read (the file is rewritten in
//   place). Scans that stop at a byte found by an earlier scan could then run
//   on: the mapping is followed by one zero page, where every such scan stops.
//   The loader also compares the file's size and times before and after and
//   reads the file again into private memory when they differ.
//
// A mapping belongs to the thread that made it: only that thread may read it.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>

namespace calcsift {

class MappedFile {
public:
    // Maps the first `size` bytes of the open regular file fd, populated, read
    // only. nullptr when it cannot be mapped safely here (no address space, the
    // SIGBUS handler could not be installed, too many mappings at once): the
    // caller then reads the file. Never throws.
    static std::unique_ptr<MappedFile> map(int fd, std::size_t size) noexcept;

    MappedFile(const MappedFile&) = delete;
    MappedFile& operator=(const MappedFile&) = delete;
    ~MappedFile();

    std::string_view bytes() const noexcept {
        return {reinterpret_cast<const char*>(base_), size_};
    }

    // Makes the first n bytes writable, as private copies of their pages (the
    // file is never written). nullptr when the protection cannot be changed.
    char* writable_prefix(std::size_t n) noexcept;

    // True when a read of the mapping found a page that the file no longer has:
    // what was read from there is zeros, not the file.
    bool lost_pages() const noexcept;

private:
    MappedFile(std::uintptr_t base, std::size_t size, std::size_t span, int slot)
        : base_(base), size_(size), span_(span), slot_(slot) {}

    std::uintptr_t base_;
    std::size_t size_;
    std::size_t span_;  // bytes reserved: the file's pages and the zero page after them
    int slot_;
};

}  // namespace calcsift
