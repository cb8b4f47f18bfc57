#include "core/input/gzip.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>

#include <libdeflate.h>

#include "core/base/error.hpp"

namespace calcsift {

namespace {

// FTEXT (0x01) is only a hint; the content is never treated differently.
constexpr std::uint8_t kFHcrc = 0x02;
constexpr std::uint8_t kFExtra = 0x04;
constexpr std::uint8_t kFName = 0x08;
constexpr std::uint8_t kFComment = 0x10;
constexpr std::uint8_t kFReserved = 0xE0;

// Longest file name or comment accepted in a gzip header, terminator excluded.
constexpr std::size_t kMaxHeaderField = 65535;

// DEFLATE cannot expand by more than 1032:1 (a 258-byte match per two bits).
// The slack covers the few zero bytes the decompressor may read past a cut stream.
constexpr std::size_t kMaxDeflateRatio = 1032;
constexpr std::size_t kInflateSlack = std::size_t{1} << 20;

const char kInvalidHeader[] = "invalid gzip header";
const char kFieldTooLong[] = "gzip header field too long";
const char kCorruptDeflate[] = "corrupt deflate stream";
const char kBadChecksum[] = "corrupt gzip stream does not have a matching checksum";

inline std::uint32_t le32(const unsigned char* p) {
    return std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16 |
           std::uint32_t{p[3]} << 24;
}

// Returns the offset of the DEFLATE data.
std::size_t parse_gzip_header(const unsigned char* d, std::size_t n) {
    if (n < 10 || d[0] != 0x1f || d[1] != 0x8b || d[2] != 8) throw VasprunError::io(kInvalidHeader);
    const std::uint8_t flags = d[3];
    if (flags & kFReserved) throw VasprunError::io(kInvalidHeader);
    std::size_t pos = 10;  // MTIME, XFL and OS are not used
    if (flags & kFExtra) {
        if (n - pos < 2) throw VasprunError::io(kInvalidHeader);
        const std::size_t xlen = std::size_t{d[pos]} | std::size_t{d[pos + 1]} << 8;
        pos += 2;
        if (n - pos < xlen) throw VasprunError::io(kInvalidHeader);
        pos += xlen;
    }
    for (std::uint8_t field : {kFName, kFComment}) {
        if (!(flags & field)) continue;
        const std::size_t window = std::min(n - pos, kMaxHeaderField + 1);
        const void* nul = std::memchr(d + pos, 0, window);
        if (!nul) {
            // Unterminated within the limit: too long if the bytes were there,
            // otherwise the file simply ends inside the header.
            throw VasprunError::io(n - pos > kMaxHeaderField ? kFieldTooLong : kInvalidHeader);
        }
        pos = static_cast<std::size_t>(static_cast<const unsigned char*>(nul) - d) + 1;
    }
    if (flags & kFHcrc) {
        if (n - pos < 2) throw VasprunError::io(kInvalidHeader);
        const std::uint32_t crc = libdeflate_crc32(0, d, pos) & 0xFFFF;
        if (crc != (std::uint32_t{d[pos]} | std::uint32_t{d[pos + 1]} << 8))
            throw VasprunError::io(kInvalidHeader);
        pos += 2;
    }
    return pos;
}

struct DecompressorDeleter {
    void operator()(libdeflate_decompressor* d) const { libdeflate_free_decompressor(d); }
};

}  // namespace

bool has_gz_extension(std::string_view path) {
    // The last component; trailing separators do not make an empty one.
    while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
    const std::size_t slash = path.rfind('/');
    if (slash != std::string_view::npos) path.remove_prefix(slash + 1);
    const std::size_t dot = path.rfind('.');
    if (dot == std::string_view::npos || dot == 0) return false;
    return path.substr(dot + 1) == "gz";
}

Buffer gunzip(const char* data, std::size_t size, AsciiPrefix* ascii) {
    const auto* d = reinterpret_cast<const unsigned char*>(data);
    const std::size_t start = parse_gzip_header(d, size);
    const std::size_t in_len = size - start;

    // The most the remaining input could possibly inflate to.
    const std::size_t limit = in_len * kMaxDeflateRatio + kInflateSlack;

    // First guess: the file's last four bytes are the ISIZE of its last member
    // (the only member, normally), i.e. the length mod 2^32. DEFLATE never shrinks
    // data by more than a few bytes per 64 KiB, so a smaller value means the
    // length wrapped past 4 GiB.
    std::size_t cap = 0;
    if (in_len >= 8) {
        std::uint64_t guess = le32(d + size - 4);
        if (in_len > 64) {
            const std::uint64_t floor = in_len - in_len / 8192 - 64;
            while (guess < floor) guess += std::uint64_t{1} << 32;
        }
        if (guess <= limit) cap = static_cast<std::size_t>(guess);
    }
    if (cap == 0) cap = in_len * 4;
    cap = std::max<std::size_t>(cap, 4096);

    std::unique_ptr<libdeflate_decompressor, DecompressorDeleter> dec(
        libdeflate_alloc_decompressor());
    if (!dec) throw std::bad_alloc();

    Buffer out;
    std::size_t used_in = 0;
    std::size_t out_len = 0;
    for (;;) {
        out = Buffer();  // drop the old buffer before taking the bigger one
        out = Buffer(cap);
        const libdeflate_result res = libdeflate_deflate_decompress_ex(
            dec.get(), d + start, in_len, out.data(), cap, &used_in, &out_len);
        if (res == LIBDEFLATE_SUCCESS) break;
        if (res != LIBDEFLATE_INSUFFICIENT_SPACE || cap >= limit)
            throw VasprunError::io(kCorruptDeflate);
        cap = cap > limit / 2 ? limit : cap * 2;
    }

    // Trailer: CRC-32 and length mod 2^32 of the decoded data.
    const std::size_t trailer = start + used_in;
    if (size - trailer < 8) throw VasprunError::io(kBadChecksum);
    // One pass over the output for the checksum and the ASCII scan, piece by piece.
    std::uint32_t crc = 0;
    for (std::size_t at = 0; at < out_len; at += kPiece) {
        const std::size_t n = std::min(kPiece, out_len - at);
        crc = libdeflate_crc32(crc, out.data() + at, n);
        if (ascii) ascii->feed(out.data(), at, at + n);
    }
    if (crc != le32(d + trailer) || static_cast<std::uint32_t>(out_len) != le32(d + trailer + 4))
        throw VasprunError::io(kBadChecksum);

    out.set_size(out_len);
    out.shrink_to_fit();
    return out;
}

}  // namespace calcsift
