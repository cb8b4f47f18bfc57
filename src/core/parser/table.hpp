// The section table: one row per section of the document and of a calculation.
//
// The driver walks the children of <modeling> and of each <calculation> and
// hands every child to the first row that takes it (its element name, and for
// some rows the value of an attribute). A row says:
//
//   where      the level it occurs at (the document, or a calculation)
//   gate       the option that switches it off; a block switched off is passed
//              over with the row's skip
//   role       record: the load reads it, and its errors end the load;
//              extra:  no load depends on it. The load passes over it with the
//                      row's skip (which alone decides whether and where the
//                      load goes on), then it is read from its text on its own,
//                      and an error there is kept for its property (Fallible)
//              handler: the document is odd here; a function of its own does it all
//   skip       how it is passed over: tokenised (skip_element) or by a byte-level
//              search for its end tag (fast_skip)
//   read       fill<member, merge, reader>: the record member it fills, how a
//              repeat merges (the last one wins, or each one is appended), and
//              the function that reads it; or a function of the row's own where
//              a block goes to several members (a calculation's varrays, the
//              machine-learned steps)
//   required   the MissingElement text of a section every document must have
//   block      the name under which a calculation lists that it holds the block
//
// A child no row takes is passed over with skip_element. A new block is its
// reading function, its row, its record member, its layout and its stub line.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "core/parser/driver.hpp"
#include "core/parser/extras.hpp"
#include "core/parser/sections.hpp"
#include "core/reader/cursor.hpp"
#include "core/record/record.hpp"

namespace calcsift {

enum class Level : std::uint8_t { document, calculation };
enum class Gate : std::uint8_t { always, dos, eigen, projected };
enum class Role : std::uint8_t { record, extra, handler };
enum class Merge : std::uint8_t { last, append };

// The calculation being read: what becomes its ionic step.
struct Calculation {
    std::optional<Structure> structure;
    std::optional<StepEnergies> energies;
    std::vector<V3> forces;
    std::vector<V3> stress;
    std::optional<Rows> magnetization;
    // Every <scstep>; those before the structure are the ground state's electronic
    // steps, those after it the linear-response loops of DFPT and NMR runs.
    std::vector<StepEnergies> scsteps;
    std::size_t ground_state_scsteps = 0;
    bool dielectric_read = false;  // the first <dielectricfunction> is the record's
    CalculationInfo info;          // what the record keeps of it beside its ionic step
};

// The state of one parse.
struct Walk {
    Walk(Cursor& c, const ParseOptions& o, VasprunData& d, Calculation* in = nullptr)
        : cur(c), options(o), data(d), calc(in) {}

    Cursor& cur;
    const ParseOptions& options;
    VasprunData& data;
    Calculation* calc = nullptr;  // while a calculation is read
    // Top-level structures before they take their slots.
    bool have_initial = false, have_final = false;
    std::optional<Structure> primitive_cell;
    // Rows taken at least once (by index in the table), for the required ones.
    std::uint64_t taken = 0;
    Trace* trace = nullptr;

    // The atom names of <atominfo> read so far (none before it).
    const std::vector<std::string>& atoms() const noexcept { return data.atominfo.atoms; }
};

// Which tags of its element a row takes: all, or those whose attribute attr is
// value (or starts with it).
struct AttrTest {
    std::string_view attr;
    std::string_view value;
    bool prefix = false;
};

struct Section {
    std::string_view element;
    AttrTest test;
    Level level;
    Gate gate;
    Role role;
    Skip skip;
    void (*read)(Walk&, const Event&);
    const char* required = nullptr;  // its MissingElement text when the document must have it
    const char* block = nullptr;     // its name among the blocks a calculation holds
};

// A <calculation>: its children walked with the table, then its ionic step (calculation.cpp).
void take_calculation(Walk& w, const Event& ev);

// The table, in matching order.
std::span<const Section> sections();

// Walks the children of the element whose start tag was just read (named
// end_name) at the given level. Returns whether its end tag was reached (false
// at end of input).
bool walk_children(Walk& w, std::string_view end_name, Level level);

// --- filling members ---------------------------------------------------------

template <class T>
struct member_of;
template <class Owner, class T>
struct member_of<T Owner::*> {
    using owner = Owner;
    using type = T;
};

template <class T>
struct is_fallible : std::false_type {};
template <class T>
struct is_fallible<Fallible<T>> : std::true_type {};

template <class Owner>
Owner& target(Walk& w) {
    if constexpr (std::is_same_v<Owner, VasprunData>) return w.data;
    else return *w.calc;
}

// Calls a reading function with what it takes: the cursor, the cursor and the
// atom names, or the whole walk and the start tag.
template <auto Read>
auto call(Walk& w, const Event& ev) {
    using F = decltype(Read);
    if constexpr (std::is_invocable_v<F, Cursor&>) return Read(w.cur);
    else if constexpr (std::is_invocable_v<F, Cursor&, const std::vector<std::string>&>) return Read(w.cur, w.atoms());
    else return Read(w, ev);
}

template <class T>
struct is_optional : std::false_type {};
template <class T>
struct is_optional<std::optional<T>> : std::true_type {};

// Reads the block into the row's member: the last one wins, or each one is
// appended. A Fallible member keeps the error of a failed reading instead.
template <auto Member, Merge M, auto Read>
void fill(Walk& w, const Event& ev) {
    using Info = member_of<decltype(Member)>;
    auto& slot = target<typename Info::owner>(w).*Member;
    using Slot = typename Info::type;
    if constexpr (is_fallible<Slot>::value) {
        static_assert(M == Merge::last);
        slot.read([&] { return call<Read>(w, ev); });
    } else if constexpr (M == Merge::append) {
        slot.push_back(call<Read>(w, ev));
    } else if constexpr (is_optional<Slot>::value) {
        slot.reset();  // freed before the next one is read
        slot.emplace(call<Read>(w, ev));
    } else {
        slot = call<Read>(w, ev);
    }
}

}  // namespace calcsift
