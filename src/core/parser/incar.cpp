// <generator> and <incar>.
#include <string>

#include "sections.hpp"

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
    // Its own loop, not for_each_child: a self-closing <i/> is an item too.
    for (;;) {
        Event ev = cur.next();
        switch (ev.kind) {
            case EventKind::Start: {
                if (ev.name != "i") {
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
                map.insert(std::string(*name), parse_incar_value(text, type));
                break;
            }
            case EventKind::Empty: {
                if (ev.name != "i") break;
                auto name = attr_str(ev, "name");
                if (!name) break;
                // A self-closing item is the empty string, whatever its declared type.
                map.insert(std::string(*name), IncarValue{std::string()});
                break;
            }
            case EventKind::End:
                if (ev.name == "incar") return map;
                break;
            case EventKind::Eof:
                return map;
            default:
                break;
        }
    }
}

IncarValue parse_incar_value(std::string_view text, std::string_view type) {
    if (type == "logical") {
        std::string upper = to_upper_full(trim_unicode(text));
        if (upper == "T" || upper == "TRUE" || upper == ".TRUE.") return {true};
        if (upper == "F" || upper == "FALSE" || upper == ".FALSE.") return {false};
        return {std::string(text)};
    }
    if (type == "string") return {std::string(text)};
    if (type == "int") {
        if (auto v = parse_i64(trim_unicode(text))) return {*v};
        return {std::string(text)};
    }
    std::vector<double> values;
    for_each_token(text, [&](std::string_view tok) {
        if (auto v = parse_f64(tok)) values.push_back(*v);
    });
    if (values.empty()) return {std::string(text)};
    if (values.size() == 1) return {values[0]};
    return {std::move(values)};
}

}  // namespace calcsift
