#include "module_state.h"
#include "python_ops.h"
#include "session.h"

namespace flumina::session {
namespace {

// config[key], or None where the file says "None" (or null).
py::object optionalArgument(py::handle config, const char* key) {
    if (module::notEquals(config[key], py::str("None"))) return config[key];
    return py::none();
}

}  // namespace

py::object addFromJson(py::handle self, py::handle jsonPath) {
    py::object file = module::openFile(jsonPath, "r");
    py::object configs = module::global("json").attr("load")(file);
    file.attr("close")();

    for (py::handle config : configs) {
        py::object input = config["input"];
        py::object utype = optionalArgument(config, "utype");
        py::object inputFormat = optionalArgument(config, "inputFormat");
        py::object inputshape = optionalArgument(config, "inputshape");
        py::object outputinfo = optionalArgument(config, "outputinfo");
        self.attr("add")(input, utype, inputFormat, inputshape, outputinfo);
    }
    return py::none();
}

}  // namespace flumina::session
