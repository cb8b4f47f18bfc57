// JSON output of the command-line tool: a RapidJSON writer for the structure and
// string escaping, numbers written by us so that floats read back bit-exactly.
//
// Floats are the shortest decimal that reads back as the same double
// (std::to_chars), always with a '.' or an exponent so that JSON readers keep them
// floats (1.0, not 1); NaN, Infinity and -Infinity are written as those bare
// tokens, which Python's json module reads by default (NaN's sign and payload are
// not kept).
#pragma once

#include <rapidjson/filewritestream.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <charconv>
#include <cmath>
#include <cstring>
#include <cstddef>
#include <cstdint>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "core/layout/layout.hpp"
#include "core/record/record.hpp"

namespace calcsift::cli {

// Invalid UTF-8 is refused rather than written into the output.
constexpr unsigned kWriteFlags = rapidjson::kWriteValidateEncodingFlag;

template <class Stream>
using JsonWriter = rapidjson::Writer<Stream, rapidjson::UTF8<>, rapidjson::UTF8<>,
                                     rapidjson::CrtAllocator, kWriteFlags>;
using FileJsonWriter = JsonWriter<rapidjson::FileWriteStream>;
using StringJsonWriter = JsonWriter<rapidjson::StringBuffer>;

// The JSON text of one double into buf (at least 32 bytes); returns its length.
inline std::size_t format_double(double x, char* buf) {
    if (std::isnan(x)) {
        std::memcpy(buf, "NaN", 3);
        return 3;
    }
    if (std::isinf(x)) {
        if (x > 0) {
            std::memcpy(buf, "Infinity", 8);
            return 8;
        }
        std::memcpy(buf, "-Infinity", 9);
        return 9;
    }
    char* end = std::to_chars(buf, buf + 29, x).ptr;  // at most 24 characters
    bool integral = true;
    for (const char* p = buf; p != end; ++p) {
        if (*p == '.' || *p == 'e') {
            integral = false;
            break;
        }
    }
    if (integral) {
        *end++ = '.';
        *end++ = '0';
    }
    return static_cast<std::size_t>(end - buf);
}

template <class W>
void put_double(W& w, double x) {
    char buf[32];
    const std::size_t n = format_double(x, buf);
    w.RawValue(buf, n, rapidjson::kNumberType);
}

template <class W>
void put_string(W& w, std::string_view s) {
    if (s.size() > UINT32_MAX || !w.String(s.data(), static_cast<rapidjson::SizeType>(s.size())))
        throw std::runtime_error("text that is not valid UTF-8 cannot be written as JSON");
}

template <class W>
void put_key(W& w, std::string_view key) {
    if (key.size() > UINT32_MAX || !w.Key(key.data(), static_cast<rapidjson::SizeType>(key.size())))
        throw std::runtime_error("text that is not valid UTF-8 cannot be written as JSON");
}

template <class W>
void put_doubles(W& w, const double* v, std::size_t n) {
    w.StartArray();
    for (std::size_t i = 0; i < n; ++i) put_double(w, v[i]);
    w.EndArray();
}

// A row-major block as nested lists, one level per axis (as NumPy's tolist()).
template <class W>
void put_block(W& w, const std::size_t* shape, std::size_t ndim, const double* data) {
    if (ndim == 1) {
        put_doubles(w, data, shape[0]);
        return;
    }
    std::size_t stride = 1;
    for (std::size_t d = 1; d < ndim; ++d) stride *= shape[d];
    w.StartArray();
    for (std::size_t i = 0; i < shape[0]; ++i) put_block(w, shape + 1, ndim - 1, data + i * stride);
    w.EndArray();
}

// The same for bools.
template <class W>
void put_bool_block(W& w, const std::size_t* shape, std::size_t ndim, const bool* data) {
    std::size_t stride = 1;
    for (std::size_t d = 1; d < ndim; ++d) stride *= shape[d];
    w.StartArray();
    for (std::size_t i = 0; i < shape[0]; ++i) {
        if (ndim == 1) w.Bool(data[i]);
        else put_bool_block(w, shape + 1, ndim - 1, data + i * stride);
    }
    w.EndArray();
}

// The JSON output of the record layout (core/layout.hpp): arrays as nested
// lists, tuples as lists, none as null.
template <class W>
class JsonOutput {
public:
    explicit JsonOutput(W& w) : w_(w) {}

    void begin_dict() { w_.StartObject(); }
    void end_dict() { w_.EndObject(); }
    template <layout::KeyText K>
    void key(layout::Key<K>) { put_key(w_, layout::Key<K>::text); }
    void key(std::string_view text) { put_key(w_, text); }
    void begin_list(std::size_t) { w_.StartArray(); }
    void end_list() { w_.EndArray(); }
    void begin_tuple(std::size_t) { w_.StartArray(); }
    void end_tuple() { w_.EndArray(); }
    void f64(double x) { put_double(w_, x); }
    void i64(std::int64_t x) { w_.Int64(x); }
    void u64(std::uint64_t x) { w_.Uint64(x); }
    void boolean(bool b) { w_.Bool(b); }
    void none() { w_.Null(); }
    void str(std::string_view text) { put_string(w_, text); }
    void name(std::string_view text) { put_string(w_, text); }
    void floats(const double* v, std::size_t n) { put_doubles(w_, v, n); }
    void rows(const V3* r, std::size_t n) {
        w_.StartArray();
        for (std::size_t i = 0; i < n; ++i) put_doubles(w_, r[i].data(), 3);
        w_.EndArray();
    }
    void array(std::span<const std::size_t> shape, const double* data) {
        // A zero-dimensional array is its one value, as NumPy's tolist() gives it.
        if (shape.empty()) put_double(w_, *data);
        else put_block(w_, shape.data(), shape.size(), data);
    }
    void bool_array(std::span<const std::size_t> shape, const bool* data) {
        if (shape.empty()) w_.Bool(*data);
        else put_bool_block(w_, shape.data(), shape.size(), data);
    }

private:
    W& w_;
};

// The whole record: every property of the layout table as a key, in its order;
// one whose parse option is off is null, and so is one whose block could not be
// read: the texts "property: error" of those are returned.
std::vector<std::string> write_record(FileJsonWriter& w, const VasprunData& d, const ParseOptions& options);

}  // namespace calcsift::cli
