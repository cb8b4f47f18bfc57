// <generator>, and the typed name/value items of <incar> and <parameters>.
#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "core/parser/extras.hpp"
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

}  // namespace

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

namespace {

// A named <i> or <v> item as the item loop meets it.
struct RawItem {
    std::string_view name;
    std::optional<std::string_view> type;
    std::string_view text;
    bool vector = false;
    bool empty = false;  // self-closing
};

// The typed value: an <i> by parse_incar_value (the type "float" when none is
// given), a <v> by parse_vector_value, a self-closing item the empty string
// whatever its declared type.
IncarValue typed(const RawItem& item) {
    if (item.empty) return {std::string()};
    const std::string_view type = item.type.value_or("float");
    return item.vector ? parse_vector_value(item.text, type) : parse_incar_value(item.text, type);
}

Item as_item(const RawItem& raw, const std::vector<std::string>& separators) {
    Item item;
    item.name.assign(raw.name);
    if (raw.type) item.type.emplace(*raw.type);
    item.text.assign(raw.text);
    item.vector = raw.vector;
    item.separators = separators;
    return item;
}

// The item loop of <incar> and <parameters>: on_item(RawItem) for each named
// <i>. With vectors (<parameters>), <v> items are items too and <separator>
// groups are flattened, their names kept in *separators while inside; otherwise
// on_other(event) may take any other child (returning whether it did), and what
// it does not take is passed over whole, like every other child. Ends at the end
// tag end_name or at end of input. Its own loop, not for_each_child: a
// self-closing <i/> is an item too.
template <typename OnItem, typename OnOther>
void for_each_item(Cursor& cur, std::string_view end_name, bool vectors, std::vector<std::string>& separators,
                   OnItem&& on_item, OnOther&& on_other) {
    for (;;) {
        Event ev = cur.next();
        switch (ev.kind) {
            case EventKind::Start: {
                bool vector = vectors && ev.name == "v";
                if (vectors && ev.name == "separator") {  // its items are read as ours
                    separators.emplace_back(attr_str(ev, "name").value_or(""));
                    break;
                }
                if (ev.name != "i" && !vector) {
                    if (!on_other(ev)) cur.skip_element(ev.name);
                    break;
                }
                auto name = attr_str(ev, "name");
                if (!name) {
                    cur.read_text();
                    break;
                }
                const auto type = attr_str(ev, "type");
                on_item(RawItem{*name, type, cur.read_text(), vector, false});
                break;
            }
            case EventKind::Empty: {
                if (ev.name != "i" && !(vectors && ev.name == "v")) break;
                auto name = attr_str(ev, "name");
                if (name) on_item(RawItem{*name, attr_str(ev, "type"), {}, ev.name == "v", true});
                break;
            }
            case EventKind::End:
                if (ev.name == end_name) return;
                if (vectors && ev.name == "separator" && !separators.empty()) separators.pop_back();
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
        auto it = std::find_if(g.items.begin(), g.items.end(), [&](const auto& item) { return item.first == *name; });
        if (it == g.items.end()) g.items.emplace_back(*name, text);
        else it->second.assign(text);
        return true;
    });
    return g;
}

IncarMap parse_incar(Cursor& cur, Fallible<std::vector<Item>>* items) {
    IncarMap map;
    std::vector<std::string> none;
    if (items) items->value.emplace();
    for_each_item(
        cur, "incar", false, none,
        [&](const RawItem& item) {
            map.insert(std::string(item.name), typed(item));
            if (items && items->value) items->value->push_back(as_item(item, none));
        },
        [&](const Event& ev) {
            // A <v> item (a vector: MAGMOM, DIPOL, ...) is none of the INCAR's: the
            // load passes over it; it is read as an item on its own.
            if (ev.name != "v" || !items) return false;
            const auto name = attr_str(ev, "name");
            const auto type = attr_str(ev, "type");
            const auto text = extra_text(cur, Skip::element, ev.name);
            if (!name || !text || !items->value) return true;
            try {
                read_text_of(cur, *text, [&](Cursor& sub) {
                    items->value->push_back(as_item(RawItem{*name, type, sub.read_text(), true, false}, none));
                    return 0;
                });
            } catch (const VasprunError& e) {
                items->value.reset();
                items->error = e;
            }
            return true;
        });
    return map;
}

Parameters parse_parameters(Cursor& cur) {
    Parameters p;
    p.values.reserve(kTypicalParameters);
    std::vector<std::string> separators;
    for_each_item(
        cur, "parameters", true, separators,
        [&](const RawItem& item) {
            IncarValue value = typed(item);
            if (item.name == "NELM" && !p.first_nelm) p.first_nelm = value;
            p.values.insert(std::string(item.name), std::move(value));
            p.items.push_back(as_item(item, separators));
        },
        [](const Event&) { return false; });
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
