// The dump document: the layout table written with the JSON output.
#include "core/layout/properties.hpp"
#include "json.hpp"

#include <string>
#include <vector>

namespace calcsift::cli {

std::vector<std::string> write_record(FileJsonWriter& w, const VasprunData& d, const ParseOptions& options) {
    using Out = JsonOutput<FileJsonWriter>;
    Out out(w);
    std::vector<std::string> errors;
    out.begin_dict();
    for (const layout::Property<Out>& p : layout::properties<Out>) {
        out.key(std::string_view(p.name));
        if (!layout::wanted(p.needs, options)) {
            out.none();
            continue;
        }
        // A block no load depends on that could not be read raises before its
        // emitter writes anything: its key is null, its error reported.
        try {
            p.emit(out, d);
        } catch (const VasprunError& e) {
            out.none();
            errors.push_back(std::string(p.name) + ": " + e.display());
        }
    }
    out.end_dict();
    return errors;
}

}  // namespace calcsift::cli
