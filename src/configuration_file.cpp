#include "module_state.h"
#include "python_ops.h"
#include "session.h"

namespace flumina::session {
namespace {

// config[key], or None where the file says "None" (or null).
Object optionalArgument(const Object& config, const char* key) {
    if (module::notEquals(config[key], Object("None"))) return config[key];
    return module::none();
}

}  // namespace

Object addFromJson(const Object& self, const Object& jsonPath) {
    Object file = module::openFile(jsonPath, "r");
    Object configs = module::global("json").attr("load")(file);
    file.attr("close")();

    for (const Object& config : configs) {
        Object input = config["input"];
        Object utype = optionalArgument(config, "utype");
        Object inputFormat = optionalArgument(config, "inputFormat");
        Object inputshape = optionalArgument(config, "inputshape");
        Object outputinfo = optionalArgument(config, "outputinfo");
        self.attr("add")(input, utype, inputFormat, inputshape, outputinfo);
    }
    return module::none();
}

}  // namespace flumina::session
