// The one error type of all reading code. The first error ends the parse; its
// display text is what the Python layer raises (calcsift.VasprunError), and an
// operating-system error keeps its errno, which picks the OSError subclass there.
#pragma once

#include <cstddef>
#include <exception>
#include <string>
#include <string_view>
#include <vector>

namespace calcsift {

class VasprunError : public std::exception {
public:
    enum class Kind {
        Io,
        Xml,
        Encoding,
        MissingElement,
        MissingAttribute,
        ParseValue,
        Shape,
        Message,
    };

    // "I/O error: {}": an operating-system error (errno) or a decoder's description.
    static VasprunError io_errno(int errnum);
    static VasprunError io(std::string description);
    // "XML parse error: {}"
    static VasprunError xml(std::string description);
    // "Encoding error: {}"
    static VasprunError encoding(std::string text);
    // "Missing element <{}>"
    static VasprunError missing_element(std::string what);
    // "Missing attribute '{}' on <{}>"
    static VasprunError missing_attribute(std::string attribute, std::string element);
    // "Failed to parse value '{}' as {}: {}"
    static VasprunError parse_value(std::string value, std::string type, std::string reason);
    // "Unexpected array shape: expected [..], got [..]"
    static VasprunError shape(const std::vector<std::size_t>& expected,
                              const std::vector<std::size_t>& got);
    // "{}"
    static VasprunError message(std::string text);

    Kind kind() const noexcept { return kind_; }
    // The errno of an error made by io_errno; 0 for every other error.
    int os_errno() const noexcept { return errno_; }
    // The full display text.
    const std::string& display() const noexcept { return text_; }
    const char* what() const noexcept override { return text_.c_str(); }

private:
    VasprunError(Kind kind, std::string text, int errnum = 0)
        : kind_(kind), errno_(errnum), text_(std::move(text)) {}
    Kind kind_;
    int errno_;
    std::string text_;
};

// A name as shown inside error texts: the name itself, or "?" when it is not UTF-8.
std::string display_name(std::string_view name);

}  // namespace calcsift
