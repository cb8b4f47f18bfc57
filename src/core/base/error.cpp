#include "core/base/error.hpp"

#include <cstring>

#include "core/kernels/utf8.hpp"

namespace calcsift {

namespace {

std::string shape_list(const std::vector<std::size_t>& dims) {
    std::string out = "[";
    for (std::size_t i = 0; i < dims.size(); ++i) {
        if (i) out += ", ";
        out += std::to_string(dims[i]);
    }
    out += "]";
    return out;
}

// strerror_r comes in two forms: POSIX's returns 0 and fills buf, GNU's (glibc
// with _GNU_SOURCE, which C++ compilers define) returns the text, which may be
// a static string instead of buf. Overloads on the result take either.
[[maybe_unused]] const char* error_text(int result, const char* buf) noexcept { return result == 0 ? buf : "Unknown error"; }
[[maybe_unused]] const char* error_text(const char* result, const char*) noexcept { return result; }

}  // namespace

VasprunError VasprunError::io_errno(int errnum) {
    char buf[256] = "";
    const char* msg = error_text(strerror_r(errnum, buf, sizeof buf), buf);
    return {Kind::Io, "I/O error: " + std::string(msg) + " (os error " + std::to_string(errnum) + ")", errnum};
}

VasprunError VasprunError::io(std::string description) {
    return {Kind::Io, "I/O error: " + description};
}

VasprunError VasprunError::xml(std::string description) {
    return {Kind::Xml, "XML parse error: " + description};
}

VasprunError VasprunError::encoding(std::string text) {
    return {Kind::Encoding, "Encoding error: " + text};
}

VasprunError VasprunError::missing_element(std::string what) {
    return {Kind::MissingElement, "Missing element <" + what + ">"};
}

VasprunError VasprunError::missing_attribute(std::string attribute, std::string element) {
    return {Kind::MissingAttribute, "Missing attribute '" + attribute + "' on <" + element + ">"};
}

VasprunError VasprunError::parse_value(std::string value, std::string type, std::string reason) {
    return {Kind::ParseValue, "Failed to parse value '" + value + "' as " + type + ": " + reason};
}

VasprunError VasprunError::shape(const std::vector<std::size_t>& expected,
                                 const std::vector<std::size_t>& got) {
    return {Kind::Shape,
            "Unexpected array shape: expected " + shape_list(expected) + ", got " + shape_list(got)};
}

VasprunError VasprunError::message(std::string text) { return {Kind::Message, std::move(text)}; }

std::string display_name(std::string_view name) {
    return is_valid_utf8(name.data(), name.size()) ? std::string(name) : std::string("?");
}

}  // namespace calcsift
