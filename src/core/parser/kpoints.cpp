// <kpoints> and the generic <varray> readers shared with structures and calculations.
#include <algorithm>

#include "core/parser/extras.hpp"
#include "core/parser/sections.hpp"

namespace calcsift {

namespace {

// Calls on_row() right after the start tag of every <v> of a varray, in
// order, up to </varray>; on_row reads the row's content.
template <typename OnRow>
void for_each_v(Cursor& cur, OnRow&& on_row) {
    for_each_named(cur, "varray", "v", on_row);
}

}  // namespace

std::vector<V3> parse_varray_v3(Cursor& cur) {
    std::vector<V3> rows;
    for_each_v(cur, [&] { rows.push_back(cur.read_v3()); });
    return rows;
}

Rows parse_varray_floats(Cursor& cur) {
    Rows rows;
    for_each_v(cur, [&] {
        cur.read_floats(rows.values);
        rows.end_row();
    });
    return rows;
}

std::vector<double> parse_varray_first_f64(Cursor& cur) {
    std::vector<double> values;
    std::vector<double> row;
    for_each_v(cur, [&] {
        row.clear();
        cur.read_floats(row);
        if (row.empty()) throw VasprunError::parse_value("", "f64", "empty weight row");
        values.push_back(row[0]);
    });
    return values;
}

std::vector<std::size_t> parse_varray_indices(Cursor& cur) {
    std::vector<std::size_t> indices;
    for_each_v(cur, [&] {
        std::string_view text = cur.read_text();
        std::optional<std::int32_t> first;
        for_each_token(text, [&](std::string_view tok) {
            if (!first) first = parse_i32(tok);
        });
        if (!first) return;
        // Indices in the file count from 1; 0 (and, by our choice, a negative
        // value, which has no meaning) gives index 0.
        indices.push_back(*first > 0 ? static_cast<std::size_t>(*first - 1) : 0);
    });
    return indices;
}

std::vector<std::string> parse_varray_strings(Cursor& cur) {
    std::vector<std::string> out;
    for_each_v(cur, [&] { out.emplace_back(cur.read_text()); });
    return out;
}

KpointGeneration parse_generation_block(Cursor& cur, std::string scheme,
                                        std::optional<VasprunError>* extras_error) {
    KpointGeneration gen;
    gen.scheme = std::move(scheme);
    auto keep = [&](std::string_view name, IncarValue value) {
        auto it = std::find_if(gen.items.begin(), gen.items.end(), [&](const auto& i) { return i.first == name; });
        if (it == gen.items.end()) gen.items.emplace_back(std::string(name), std::move(value));
        else it->second = std::move(value);
    };
    for_each_child(cur, "generation", [&](const Event& ev) {
        auto name = attr_str(ev, "name");
        auto type = attr_str(ev, "type");
        if (ev.name == "i") {
            // The line mode's <i name="divisions">: passed over by the load, read on its own.
            const auto text = extra_text(cur, Skip::element, ev.name);
            if (!name || !text || !extras_error) return true;
            try {
                read_text_of(cur, *text, [&](Cursor& sub) {
                    keep(*name, parse_incar_value(sub.read_text(), type.value_or("float")));
                    return 0;
                });
            } catch (const VasprunError& e) {
                *extras_error = e;
            }
            return true;
        }
        if (ev.name != "v") return false;
        std::string_view text = cur.read_text();
        if (name) keep(*name, parse_vector_value(text, type.value_or("float")));
        if (name && *name == "divisions" && type && *type == "int") {
            std::array<std::int32_t, 3> div{};
            std::size_t n = 0;
            for_each_token(text, [&](std::string_view tok) {
                if (n >= 3) return;
                if (auto v = parse_i32(tok)) div[n++] = *v;
            });
            if (n == 3) gen.divisions = div;
        }
        return true;
    });
    return gen;
}

Kpoints parse_kpoints(Cursor& cur, std::optional<VasprunError>* extras_error) {
    std::optional<std::vector<V3>> list;
    std::optional<std::vector<double>> weights;
    std::optional<KpointGeneration> generation;
    std::vector<std::size_t> label_indices;
    std::vector<std::string> labels;
    for_each_child(cur, "kpoints", [&](const Event& ev) {
        if (ev.name == "varray") {
            auto name = attr_str(ev, "name");
            if (name && *name == "kpointlist") {
                list = parse_varray_v3(cur);
            } else if (name && *name == "weights") {
                weights = parse_varray_first_f64(cur);
            } else if (name && *name == "labelindex") {
                label_indices = parse_varray_indices(cur);
            } else if (name && *name == "labels") {
                labels = parse_varray_strings(cur);
            } else {
                return false;
            }
        } else if (ev.name == "generation") {
            std::string scheme(attr_str(ev, "param").value_or("unknown"));
            generation = parse_generation_block(cur, std::move(scheme), extras_error);
        } else {
            return false;
        }
        return true;
    });
    if (!list) throw VasprunError::missing_element("varray[kpointlist]");
    Kpoints k;
    k.kpointlist.shape = {list->size(), 3};
    k.kpointlist.data.reserve(list->size() * 3);
    for (const V3& row : *list) k.kpointlist.data.insert(k.kpointlist.data.end(), row.begin(), row.end());
    if (!weights) throw VasprunError::missing_element("varray[weights]");
    k.weights = std::move(*weights);
    k.generation = std::move(generation);
    std::size_t pairs = std::min(label_indices.size(), labels.size());
    k.labels.reserve(pairs);
    for (std::size_t i = 0; i < pairs; ++i) k.labels.emplace_back(label_indices[i], std::move(labels[i]));
    return k;
}

}  // namespace calcsift
