// <generator>, and the typed name/value items of <incar> and <parameters>.
#include <optional>
#include <string>
#include <vector>

#include "core/parser/sections.hpp"

namespace calcsift {

namespace {

// Upper-casing for comparison with the logical forms. Full Unicode case
// mapping only matters where it yields ASCII letters of the forms: a-z, and
// the long s (U+017F), whose upper case is S. Other characters are kept.
std::string to_upper_full(std::string_view s) {
    std::string out;
    out.reserve(s.size());
    for (std::size_t i = 0; i < s.size(); ++i) {
        char c = s[i];
        if (c >= 'a' && c <= 'z') {
            out += static_cast<char>(c - 32);
        } else if (static_cast<unsigned char>(c) == 0xC5 && i + 1 < s.size() &&
                   static_cast<unsigned char>(s[i + 1]) == 0xBF) {
            out += 'S';
            ++i;
        } else {
            out += c;
        }
    }
    return out;
}

std::optional<bool> parse_logical(std::string_view text) {
    std::string upper = to_upper_full(trim_unicode(text));
    if (upper == "T" || upper == "TRUE" || upper == ".TRUE.") return true;
    if (upper == "F" || upper == "FALSE" || upper == ".FALSE.") return false;
    return std::nullopt;
}

// The numbers among the tokens of text; tokens that are not numbers are dropped.
std::vector<double> float_tokens(std::string_view text) {
    std::vector<double> values;
    for_each_token(text, [&](std::string_view tok) {
        if (auto v = parse_f64(tok)) values.push_back(*v);
    });
    return values;
}

// A <v> item of <parameters>: a list of the type's values (ints, bools, or
// floats by the float rule of items), or the text when it has none or, for
// ints and bools, when one token is not of the type.
IncarValue parse_vector_value(std::string_view text, std::string_view type) {
    if (type == "string") return {std::string(text)};
    if (type == "logical" || type == "int") {
        std::vector<bool> flags;
        std::vector<std::int64_t> ints;
        bool all = true;
        for_each_token(text, [&](std::string_view tok) {
            if (type == "logical") {
                if (auto b = parse_logical(tok)) flags.push_back(*b);
                else all = false;
            } else {
                if (auto v = parse_i64(tok)) ints.push_back(*v);
                else all = false;
            }
        });
        if (!all || (flags.empty() && ints.empty())) return {std::string(text)};
        if (type == "logical") return {std::move(flags)};
        return {std::move(ints)};
    }
    std::vector<double> values = float_tokens(text);
    if (values.empty()) return {std::string(text)};
    return {std::move(values)};
}

// The item loop of <incar> and <parameters>. Each named <i> is typed by
// parse_incar_value; a self-closing item is the empty string, whatever its
// declared type. With vectors (<parameters>), <v> items are read as well and
// <separator> groups are flattened; otherwise both are passed over whole, like
// every other child. Ends at the end tag end_name or at end of input. Its own
// loop, not for_each_child: a self-closing <i/> is an item too.
template <typename OnItem>
void for_each_item(Cursor& cur, std::string_view end_name, bool vectors, OnItem&& on_item) {
    for (;;) {
        Event ev = cur.next();
        switch (ev.kind) {
            case EventKind::Start: {
                bool vector = vectors && ev.name == "v";
                if (vectors && ev.name == "separator") break;  // its items are read as ours
                if (ev.name != "i" && !vector) {
                    cur.skip_element(ev.name);
                    break;
                }
                auto name = attr_str(ev, "name");
                if (!name) {
                    cur.read_text();
                    break;
                }
                std::string_view type = attr_str(ev, "type").value_or("float");
                std::string_view text = cur.read_text();
                on_item(*name, vector ? parse_vector_value(text, type) : parse_incar_value(text, type));
                break;
            }
            case EventKind::Empty: {
                if (ev.name != "i" && !(vectors && ev.name == "v")) break;
                auto name = attr_str(ev, "name");
                if (name) on_item(*name, IncarValue{std::string()});
                break;
            }
            case EventKind::End:
                if (ev.name == end_name) return;
                break;
            case EventKind::Eof:
                return;
            default:
                break;
        }
    }
}

// VASP 5 and 6 write 210 to 290 parameters.
constexpr std::size_t kTypicalParameters = 320;

}  // namespace

Generator parse_generator(Cursor& cur) {
    Generator g;
    // Items are read whatever their tag name; only the name attribute counts.
    for_each_child(cur, "generator", [&](const Event& ev) {
        auto name = attr_str(ev, "name");
        std::string_view text = cur.read_text();
        if (!name) return true;
        std::string* field = nullptr;
        if (*name == "program") field = &g.program;
        else if (*name == "version") field = &g.version;
        else if (*name == "subversion") field = &g.subversion;
        else if (*name == "platform") field = &g.platform;
        else if (*name == "date") field = &g.date;
        else if (*name == "time") field = &g.time;
        if (field) field->assign(text);
        return true;
    });
    return g;
}

IncarMap parse_incar(Cursor& cur) {
    IncarMap map;
    for_each_item(cur, "incar", false, [&](std::string_view name, IncarValue value) {
        map.insert(std::string(name), std::move(value));
    });
    return map;
}

Parameters parse_parameters(Cursor& cur) {
    Parameters p;
    p.values.reserve(kTypicalParameters);
    for_each_item(cur, "parameters", true, [&](std::string_view name, IncarValue value) {
        if (name == "NELM" && !p.first_nelm) p.first_nelm = value;
        p.values.insert(std::string(name), std::move(value));
    });
    return p;
}

IncarValue parse_incar_value(std::string_view text, std::string_view type) {
    if (type == "logical") {
        if (auto b = parse_logical(text)) return {*b};
        return {std::string(text)};
    }
    if (type == "string") return {std::string(text)};
    if (type == "int") {
        if (auto v = parse_i64(trim_unicode(text))) return {*v};
        return {std::string(text)};
    }
    // Most items hold one plain number: read it without building a list.
    if (auto v = parse_f64(text)) return {*v};
    std::vector<double> values = float_tokens(text);
    if (values.empty()) return {std::string(text)};
    if (values.size() == 1) return {values[0]};
    return {std::move(values)};
}

}  // namespace calcsift
