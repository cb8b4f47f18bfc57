#include "core/input/file.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "core/base/error.hpp"
#include "core/base/memory.hpp"
#include "core/kernels/utf8.hpp"

namespace calcsift {

namespace {

// Reads up to n bytes, retrying on EINTR; returns the count (0 at end of file).
std::size_t read_some(int fd, char* p, std::size_t n) {
    for (;;) {
        // Linux transfers at most about 2 GiB per read() call.
        const std::size_t chunk = n < (std::size_t{1} << 30) ? n : (std::size_t{1} << 30);
        const ssize_t got = ::read(fd, p, chunk);
        if (got >= 0) return static_cast<std::size_t>(got);
        if (errno != EINTR) throw VasprunError::io_errno(errno);
    }
}

bool same_time(const struct timespec& a, const struct timespec& b) {
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

}  // namespace

void AsciiPrefix::feed(const char* base, std::size_t from, std::size_t to) noexcept {
    if (!open_ || from != length_) return;
    const std::size_t k = ascii_prefix_length(base + from, to - from);
    length_ = from + k;
    open_ = from + k == to;
}

InputFile::InputFile(const std::string& path) {
    if (path.find('\0') != std::string::npos)
        throw VasprunError::io("file name contained an unexpected NUL byte");
    fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd_ < 0) throw VasprunError::io_errno(errno);
    if (::fstat(fd_, &st_) != 0) {
        const int err = errno;
        ::close(fd_);
        throw VasprunError::io_errno(err);
    }
}

InputFile::~InputFile() {
    if (fd_ >= 0) ::close(fd_);
}

bool InputFile::changed() const noexcept {
    struct stat now;
    if (::fstat(fd_, &now) != 0) return true;
    return now.st_size != st_.st_size || !same_time(now.st_mtim, st_.st_mtim) ||
           !same_time(now.st_ctim, st_.st_ctim);
}

void InputFile::rewind() {
    if (::lseek(fd_, 0, SEEK_SET) < 0 || ::fstat(fd_, &st_) != 0) throw VasprunError::io_errno(errno);
}

Buffer InputFile::read_all(AsciiPrefix* ascii) {
    std::size_t cap = 64 * 1024;
    const bool sized = S_ISREG(st_.st_mode) && st_.st_size > 0;
    if (sized) cap = static_cast<std::size_t>(st_.st_size);
    Buffer buf(cap);
    if (sized) prepare_for_writing(buf.data(), cap);
    std::size_t size = 0;
    for (;;) {
        if (size == buf.capacity()) {
            // Full: either the end of the file, or the file grew since fstat.
            char probe[4096];
            const std::size_t got = read_some(fd_, probe, sizeof probe);
            if (got == 0) break;
            buf.set_size(size);
            buf.append(probe, got);  // at least doubles the capacity
            if (ascii) ascii->feed(buf.data(), size, buf.size());
            size = buf.size();
            continue;
        }
        const std::size_t want = std::min(buf.capacity() - size, ascii ? kPiece : buf.capacity());
        const std::size_t got = read_some(fd_, buf.data() + size, want);
        if (got == 0) break;
        if (ascii) ascii->feed(buf.data(), size, size + got);
        size += got;
    }
    buf.set_size(size);
    if (buf.capacity() != size && buf.capacity() - size > 4096) buf.shrink_to_fit();
    return buf;
}

}  // namespace calcsift
