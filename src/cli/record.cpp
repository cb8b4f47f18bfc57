// The dump document: the layout table written with the JSON output.
#include "core/layout/properties.hpp"
#include "json.hpp"

namespace calcsift::cli {

void write_record(FileJsonWriter& w, const VasprunData& d, const ParseOptions& options) {
    using Out = JsonOutput<FileJsonWriter>;
    Out out(w);
    out.begin_dict();
    for (const layout::Property<Out>& p : layout::properties<Out>) {
        out.key(std::string_view(p.name));
        if (layout::wanted(p.needs, options)) p.emit(out, d);
        else out.none();
    }
    out.end_dict();
}

}  // namespace calcsift::cli
