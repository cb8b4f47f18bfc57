// Attribute values of a start tag, looked up by name in the raw attribute text.
#include "core/kernels/chars.hpp"
#include "core/reader/tokenizer.hpp"
#include "core/kernels/utf8.hpp"

namespace calcsift {

std::optional<std::string_view> attr_str(const Event& ev, std::string_view name) {
    std::string_view a = ev.attrs;
    std::size_t i = 0;
    const std::size_t n = a.size();
    while (i < n && is_xml_space(a[i])) ++i;
    // Fast path: the attribute asked for comes first, written key="value"
    // (<i name="...">), so it cannot be a duplicate.
    if (n - i > name.size() + 1 && a.compare(i, name.size(), name) == 0 &&
        a[i + name.size()] == '=' && (a[i + name.size() + 1] == '"' || a[i + name.size() + 1] == '\'')) {
        const std::size_t vs = i + name.size() + 2;
        const std::size_t ve = a.find(a[vs - 1], vs);
        if (ve != std::string_view::npos) {
            const std::string_view v = a.substr(vs, ve - vs);
            if (!is_valid_utf8(v.data(), v.size())) return std::nullopt;
            return v;
        }
    }
    // The first attribute of that name counts: the search ends there.
    while (i < n) {
        while (i < n && is_xml_space(a[i])) ++i;
        if (i >= n) break;
        std::size_t ks = i;
        while (i < n && !chars::has(a[i], chars::kKeyEnd)) ++i;
        std::string_view key = a.substr(ks, i - ks);
        std::size_t j = i;
        while (j < n && is_xml_space(a[j])) ++j;
        if (j >= n || a[j] != '=') {
            // Malformed attribute (no '='): pass over it.
            i = j;
            if (i < n && a[i] != '=') continue;
            break;
        }
        ++j;
        while (j < n && is_xml_space(a[j])) ++j;
        if (j >= n || (a[j] != '"' && a[j] != '\'')) {
            // Unquoted value: pass over it.
            while (j < n && !is_xml_space(a[j])) ++j;
            i = j;
            continue;
        }
        char q = a[j];
        std::size_t vs = j + 1;
        std::size_t ve = a.find(q, vs);
        if (ve == std::string_view::npos) break;
        i = ve + 1;
        if (key == name) {
            std::string_view v = a.substr(vs, ve - vs);
            if (!is_valid_utf8(v.data(), v.size())) return std::nullopt;
            return v;
        }
    }
    return std::nullopt;
}

}  // namespace calcsift
