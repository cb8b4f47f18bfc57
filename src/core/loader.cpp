#include "loader.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <exception>
#include <memory>
#include <optional>
#include <vector>

#include <libdeflate.h>

#include "error.hpp"
#include "mapped_file.hpp"
#include "memory.hpp"
#include "reader.hpp"
#include "utf8.hpp"

namespace calcsift {

namespace {

// ---------------------------------------------------------------------------
// Whole-file reading

class Fd {
public:
    explicit Fd(int fd) : fd_(fd) {}
    Fd(Fd&& o) noexcept : fd_(o.fd_) { o.fd_ = -1; }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd() {
        if (fd_ >= 0) ::close(fd_);
    }
    int get() const { return fd_; }

private:
    int fd_;
};

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

// The length of the all-ASCII prefix of a buffer filled piece by piece, each
// piece looked at right after it arrived (while it is still in the cache), so
// that the text needs no separate UTF-8 pass when it is all ASCII.
class AsciiPrefix {
public:
    // [from, to) are the bytes just filled; pieces come in order.
    void feed(const char* base, std::size_t from, std::size_t to) noexcept {
        if (!open_ || from != length_) return;
        const std::size_t k = ascii_prefix_length(base + from, to - from);
        length_ = from + k;
        open_ = from + k == to;
    }
    std::size_t length() const noexcept { return length_; }

private:
    std::size_t length_ = 0;
    bool open_ = true;
};

// Reads and inflates in pieces of this size (small enough to stay in the cache).
constexpr std::size_t kPiece = std::size_t{1} << 20;

// Reads an open file from its current offset to its end. Regular files are read
// into a buffer of exactly their size (from st), prepared for writing in one go;
// anything else (pipes, devices) reports no useful size and starts from 64 KiB.
Buffer read_fd(int fd, const struct stat& st, AsciiPrefix* ascii) {
    std::size_t cap = 64 * 1024;
    const bool sized = S_ISREG(st.st_mode) && st.st_size > 0;
    if (sized) cap = static_cast<std::size_t>(st.st_size);
    Buffer buf(cap);
    if (sized) prepare_for_writing(buf.data(), cap);
    std::size_t size = 0;
    for (;;) {
        if (size == buf.capacity()) {
            // Full: either the end of the file, or the file grew since fstat.
            char probe[4096];
            const std::size_t got = read_some(fd, probe, sizeof probe);
            if (got == 0) break;
            buf.set_size(size);
            buf.append(probe, got);  // at least doubles the capacity
            if (ascii) ascii->feed(buf.data(), size, buf.size());
            size = buf.size();
            continue;
        }
        const std::size_t want = std::min(buf.capacity() - size, ascii ? kPiece : buf.capacity());
        const std::size_t got = read_some(fd, buf.data() + size, want);
        if (got == 0) break;
        if (ascii) ascii->feed(buf.data(), size, size + got);
        size += got;
    }
    buf.set_size(size);
    if (buf.capacity() != size && buf.capacity() - size > 4096) buf.shrink_to_fit();
    return buf;
}

Fd open_file(const std::string& path, struct stat& st) {
    // The operating system would take the name up to the NUL: another file.
    if (path.find('\0') != std::string::npos)
        throw VasprunError::io("file name contained an unexpected NUL byte");
    Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0) throw VasprunError::io_errno(errno);
    if (::fstat(fd.get(), &st) != 0) throw VasprunError::io_errno(errno);
    return fd;
}

Buffer read_plain(const std::string& path) {
    struct stat st;
    Fd fd = open_file(path, st);
    return read_fd(fd.get(), st, nullptr);
}

// ---------------------------------------------------------------------------
// gzip (RFC 1952), first member only

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

// ---------------------------------------------------------------------------
// Declaration rewrite

constexpr std::string_view kUpperName = "ISO-8859-1";
constexpr std::string_view kLowerName = "iso-8859-1";
constexpr std::string_view kUtf8Name = "UTF-8";

// Replaces every `from` in p[0, n) by the shorter `to`, compacting towards the
// front; returns the new length.
std::size_t replace_compact(char* p, std::size_t n, std::string_view from, std::string_view to) {
    std::size_t r = 0;
    std::size_t w = 0;
    while (r < n) {
        const std::size_t hit = std::string_view(p + r, n - r).find(from);
        const std::size_t keep = hit == std::string_view::npos ? n - r : hit;
        if (w != r) std::memmove(p + w, p + r, keep);
        w += keep;
        r += keep;
        if (hit == std::string_view::npos) break;
        std::memcpy(p + w, to.data(), to.size());
        w += to.size();
        r += from.size();
    }
    return w;
}

std::size_t view_offset(const Buffer& b) {
    return b.data() ? static_cast<std::size_t>(b.view().data() - b.data()) : 0;
}

[[noreturn]] void decode_failure() {
    throw VasprunError::encoding("Failed to decode vasprun.xml as ISO-8859-1");
}

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

namespace {

Buffer gunzip_checked(const char* data, std::size_t size, AsciiPrefix* ascii);

}  // namespace

Buffer gunzip(const char* data, std::size_t size) { return gunzip_checked(data, size, nullptr); }

namespace {

Buffer gunzip_checked(const char* data, std::size_t size, AsciiPrefix* ascii) {
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

}  // namespace

Buffer read_file_bytes(const std::string& path) {
    Buffer raw = read_plain(path);
    if (!has_gz_extension(path)) return raw;
    Buffer decoded = gunzip(raw.data(), raw.size());
    return decoded;  // the compressed bytes go with `raw`
}

namespace {

// Length of the head (the text up to and including its first "?>") when the
// declaration rewrite changes it; 0 when it changes nothing.
std::size_t head_to_rewrite(std::string_view v) {
    const std::size_t end = v.find("?>");
    if (end == std::string_view::npos) return 0;
    const std::string_view head = v.substr(0, end + 2);
    if (head.find(kUpperName) == std::string_view::npos &&
        head.find(kLowerName) == std::string_view::npos)
        return 0;
    return end + 2;
}

// The rewrite of the head_len bytes at head, in place: the shorter head is
// written so that it ends where the old one ended. Returns the number of bytes
// it frees at the front.
std::size_t rewrite_head(char* head, std::size_t head_len) {
    // Both names are longer than the replacement, so each pass only compacts.
    std::size_t len = replace_compact(head, head_len, kUpperName, kUtf8Name);
    len = replace_compact(head, len, kLowerName, kUtf8Name);
    std::memmove(head + (head_len - len), head, len);
    return head_len - len;
}

}  // namespace

void rewrite_xml_declaration_in_place(Buffer& text) {
    const std::size_t head_len = head_to_rewrite(text.view());
    if (head_len == 0) return;
    const std::size_t base = view_offset(text);
    text.set_start(base + rewrite_head(text.data() + base, head_len));
}

namespace {

// How raw bytes become the document text.
enum class RawForm { Utf8, Utf16Le, Utf16Be, Windows1252 };

// Valid UTF-8 is kept as it is; otherwise the byte-order mark decides, and
// windows-1252 is the rest. The first `known` bytes are known to be ASCII.
// Throws Encoding when the bytes cannot be read in the form they announce.
RawForm raw_form(const char* p, std::size_t n, std::size_t known) {
    const auto* u = reinterpret_cast<const unsigned char*>(p);
    // An ASCII prefix ends on a character boundary: only the rest needs checking.
    known = std::min(known, n);
    if (is_valid_utf8(p + known, n - known)) return RawForm::Utf8;
    // A UTF-8 byte-order mark before text that is not UTF-8 (the mark itself
    // is, so the rest is not): the file says UTF-8 and is not, and guessing
    // windows-1252 for it would be wrong.
    if (n >= 3 && u[0] == 0xEF && u[1] == 0xBB && u[2] == 0xBF) decode_failure();
    if (n >= 2 && u[0] == 0xFF && u[1] == 0xFE) return RawForm::Utf16Le;
    if (n >= 2 && u[0] == 0xFE && u[1] == 0xFF) return RawForm::Utf16Be;
    return RawForm::Windows1252;
}

Buffer decode_utf16(const char* p, std::size_t n, bool big_endian) {
    std::size_t out_size = 0;
    if (!utf16_utf8_size(p + 2, n - 2, big_endian, out_size)) decode_failure();
    Buffer text(out_size);
    if (out_size) utf16_decode(p + 2, n - 2, big_endian, text.data());
    text.set_size(out_size);
    return text;
}

// make_document_text for bytes whose first ascii_prefix bytes are known to be ASCII.
Buffer make_text(Buffer raw, std::size_t ascii_prefix);

}  // namespace

Buffer make_document_text(Buffer raw) { return make_text(std::move(raw), 0); }

namespace {

Buffer make_text(Buffer raw, std::size_t ascii_prefix) {
    if (view_offset(raw) != 0) {
        ascii_prefix = 0;
        // Work on a buffer whose text starts at its first byte.
        const std::string_view v = raw.view();
        std::memmove(raw.data(), v.data(), v.size());
        raw.set_size(v.size());
        raw.set_start(0);
    }
    const char* p = raw.data();
    const std::size_t n = raw.size();

    Buffer text;
    switch (raw_form(p, n, ascii_prefix)) {
        case RawForm::Utf8:
            text = std::move(raw);  // the common case: no decoding, no copy
            break;
        case RawForm::Utf16Le:
        case RawForm::Utf16Be:
            text = decode_utf16(p, n, p[0] == '\xFE');
            raw = Buffer();
            break;
        case RawForm::Windows1252: {
            // windows-1252 never fails; it grows the text, decoded inside the raw buffer.
            const std::size_t out_size = windows1252_utf8_size(p, n);
            raw.reserve(out_size);
            windows1252_decode_in_place(raw.data(), n, out_size);
            raw.set_size(out_size);
            text = std::move(raw);
            break;
        }
    }
    rewrite_xml_declaration_in_place(text);
    return text;
}

// ---------------------------------------------------------------------------
// Mapped input

// A file may be mapped when it is a regular file of at least the mapping
// threshold (below it, reading is as cheap as mapping).
bool worth_mapping(const struct stat& st) {
    return S_ISREG(st.st_mode) && st.st_size > 0 &&
           static_cast<std::uint64_t>(st.st_size) >= memory_thresholds().map_file &&
           static_cast<std::uint64_t>(st.st_size) <= SIZE_MAX / 2;
}

bool same_time(const struct timespec& a, const struct timespec& b) {
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

// True when another process may have changed the file since `before` was taken.
bool file_changed(int fd, const struct stat& before) {
    struct stat now;
    if (::fstat(fd, &now) != 0) return true;
    return now.st_size != before.st_size || !same_time(now.st_mtim, before.st_mtim) ||
           !same_time(now.st_ctim, before.st_ctim);
}

// True when every byte of the text outside the spans is ASCII.
bool ascii_outside(std::string_view text, std::vector<Cursor::Span> spans) {
    std::sort(spans.begin(), spans.end(),
              [](const Cursor::Span& x, const Cursor::Span& y) { return x.begin < y.begin; });
    std::size_t at = 0;
    for (const Cursor::Span& span : spans) {
        if (span.begin > at && ascii_prefix_length(text.data() + at, span.begin - at) != span.begin - at)
            return false;
        at = std::max(at, span.end);
    }
    return at >= text.size() || ascii_prefix_length(text.data() + at, text.size() - at) == text.size() - at;
}

// The UTF-8 text of bytes that are not valid UTF-8, by their form (raw_form).
Buffer decode_other(std::string_view bytes, RawForm form) {
    if (form == RawForm::Utf16Le || form == RawForm::Utf16Be)
        return decode_utf16(bytes.data(), bytes.size(), form == RawForm::Utf16Be);
    const std::size_t out_size = windows1252_utf8_size(bytes.data(), bytes.size());
    Buffer text(out_size);
    text.append(bytes.data(), bytes.size());
    windows1252_decode_in_place(text.data(), bytes.size(), out_size);
    text.set_size(out_size);
    return text;
}

// Runs the parse over a mapping of the file: plain text straight from the page
// cache (only the pages of a rewritten declaration become private copies), and
// decoded from the mapping into a buffer when it is not UTF-8; a .gz inflated
// from the mapping.
// Returns nothing when the file cannot be mapped or changed while it was
// mapped (the caller then reads it): the result of a parse over bytes that
// moved under it is never returned, nor its error.
std::optional<VasprunData> parse_mapped(int fd, const struct stat& st, bool gz,
                                        const ParseOptions& options) {
    std::unique_ptr<MappedFile> map = MappedFile::map(fd, static_cast<std::size_t>(st.st_size));
    if (!map) return std::nullopt;
    const auto moved = [&] { return map->lost_pages() || file_changed(fd, st); };
    const std::string_view bytes = map->bytes();
    std::optional<VasprunData> result;
    Buffer text;
    try {
        if (gz) {
            AsciiPrefix ascii;
            Buffer raw = gunzip_checked(bytes.data(), bytes.size(), &ascii);
            if (moved()) return std::nullopt;
            map.reset();  // the compressed bytes are no longer needed
            text = make_text(std::move(raw), ascii.length());
        } else {
            const auto* u = reinterpret_cast<const unsigned char*>(bytes.data());
            if ((u[0] == 0xFF && bytes.size() >= 2 && u[1] == 0xFE) ||
                (u[0] == 0xFE && bytes.size() >= 2 && u[1] == 0xFF)) {
                text = decode_other(bytes, raw_form(bytes.data(), bytes.size(), 0));
            } else {
                // Parsed as UTF-8 before the text is checked: the check then
                // covers only what the parse's byte-level searches did not see
                // (for a large file, mostly skipped blocks, that is little), and
                // the parse stands only when the text is valid UTF-8. Otherwise
                // the text is decoded and parsed again (the declaration rewrite
                // and the decoding only touch bytes of their own, so their order
                // does not matter).
                std::size_t start = 0;
                if (const std::size_t head = head_to_rewrite(bytes)) {
                    char* w = map->writable_prefix(head);
                    if (!w) return std::nullopt;
                    start = rewrite_head(w, head);
                }
                const std::string_view view = bytes.substr(start);
                Cursor cur(view);
                std::exception_ptr failure;
                try {
                    result = parse_document(cur, options);
                } catch (const VasprunError&) {
                    failure = std::current_exception();
                }
                if (!ascii_outside(view, cur.ascii_spans())) {
                    const RawForm form = raw_form(view.data(), view.size(), 0);
                    if (form != RawForm::Utf8) {
                        result.reset();
                        failure = nullptr;
                        text = decode_other(view, form);
                    }
                }
                if (failure) std::rethrow_exception(failure);
            }
        }
    } catch (const VasprunError&) {
        if (map && moved()) return std::nullopt;
        throw;
    }
    if (map) {
        if (moved()) return std::nullopt;
        map.reset();
    }
    if (result) return result;
    if (!gz) rewrite_xml_declaration_in_place(text);
    Cursor cur(text.view());
    return parse_document(cur, options);
}

}  // namespace

// ---------------------------------------------------------------------------
// Running the parse

VasprunData parse_file(const std::string& path, const ParseOptions& options) {
    struct stat st;
    Fd fd = open_file(path, st);
    const bool gz = has_gz_extension(path);
    if (worth_mapping(st)) {
        if (std::optional<VasprunData> result = parse_mapped(fd.get(), st, gz, options))
            return std::move(*result);
        // Not mapped, or the file changed while it was: read it from its start
        // into private memory, as it is now.
        if (::lseek(fd.get(), 0, SEEK_SET) < 0 || ::fstat(fd.get(), &st) != 0)
            throw VasprunError::io_errno(errno);
    }
    // read_file_bytes and make_document_text, with the ASCII scan done on the way.
    AsciiPrefix ascii;
    Buffer raw;
    if (gz) {
        const Buffer packed = read_fd(fd.get(), st, nullptr);
        raw = gunzip_checked(packed.data(), packed.size(), &ascii);
    } else {
        raw = read_fd(fd.get(), st, &ascii);
    }
    Buffer text = make_text(std::move(raw), ascii.length());
    Cursor cur(text.view());
    return parse_document(cur, options);
}

VasprunData parse_bytes(const char* data, std::size_t size, const ParseOptions& options) {
    Buffer raw(size);
    raw.append(data, size);
    Buffer text = make_document_text(std::move(raw));
    Cursor cur(text.view());
    return parse_document(cur, options);
}

}  // namespace calcsift
