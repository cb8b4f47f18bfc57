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
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "core/parser/driver.hpp"

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

template <class W>
void put_ndarray(W& w, const NdArray& a) {
    if (a.shape.empty()) {
        put_double(w, a.data.empty() ? 0.0 : a.data[0]);
        return;
    }
    put_block(w, a.shape.data(), a.shape.size(), a.data.data());
}

// The whole record, with the keys, order and layout of the Python properties.
void write_record(FileJsonWriter& w, const VasprunData& d);

}  // namespace calcsift::cli
