// A file opened for reading: its status, and its bytes read into memory.
#pragma once

#include <sys/stat.h>

#include <cstddef>
#include <string>
#include <string_view>

#include "core/base/buffer.hpp"

namespace calcsift {

// The length of the all-ASCII prefix of a buffer filled piece by piece, each
// piece looked at right after it arrived (while it is still in the cache), so
// that the text needs no separate UTF-8 pass when it is all ASCII.
class AsciiPrefix {
public:
    // [from, to) are the bytes just filled; pieces come in order.
    void feed(const char* base, std::size_t from, std::size_t to) noexcept;
    std::size_t length() const noexcept { return length_; }

private:
    std::size_t length_ = 0;
    bool open_ = true;
};

// Reads and inflates in pieces of this size (small enough to stay in the cache).
inline constexpr std::size_t kPiece = std::size_t{1} << 20;

class InputFile {
public:
    // Opens the file for reading. Throws VasprunError (Io) on any failure, a NUL
    // byte in the path among them (the system would open another file).
    explicit InputFile(const std::string& path);
    InputFile(const InputFile&) = delete;
    InputFile& operator=(const InputFile&) = delete;
    ~InputFile();

    int fd() const noexcept { return fd_; }
    const struct stat& status() const noexcept { return st_; }

    // True when another process may have changed the file since its status
    // was taken (at opening, or at the last rewind).
    bool changed() const noexcept;

    // Back to the first byte, with the status taken again.
    void rewind();

    // The bytes from the current offset to the end. A regular file is read
    // into a buffer of exactly its size; anything else (pipes, devices) grows
    // from 64 KiB. With ascii, the ASCII prefix is measured on the way.
    Buffer read_all(AsciiPrefix* ascii = nullptr);

private:
    int fd_ = -1;
    struct stat st_ {};
};

}  // namespace calcsift
