#include <initializer_list>

#include "method_type.h"
#include "session.h"

namespace flumina::session {
namespace {

constexpr const char* kClassName = "flm";

py::list listOf(std::initializer_list<py::object> items) {
    py::list list;
    for (const py::object& item : items) list.append(item);
    return list;
}

py::tuple none(std::size_t count) {
    py::tuple defaults(count);
    for (std::size_t i = 0; i < count; ++i) defaults[i] = py::none();
    return defaults;
}

py::handle builtinType(PyTypeObject& type) { return reinterpret_cast<PyObject*>(&type); }

}  // namespace

py::object initialise(py::handle self) {
    self.attr("js") = py::list();
    self.attr("used_device") = py::list();
    self.attr("allow_push_device") = listOf({py::int_(0), py::int_(1), py::int_(3)});
    self.attr("allow_save_device") = listOf({py::int_(0)});
    self.attr("allow_push_save_device") = listOf({py::int_(0), py::int_(3)});
    self.attr("avaliable_device") =
        listOf({py::str("inputUrl"), py::str("camera_id"), py::str("usbDeviceId"), py::str("file_path")});
    self.attr("input_resize") = py::list();
    self.attr("kv") = py::list();
    self.attr("diskv") = py::list();
    self.attr("eskv") = py::list();
    self.attr("__version__") = py::str("1.0.1");
    return py::none();
}

// type("flm", (object,), namespace): a plain class, so that instances have a
// __dict__, subclasses work and multiprocessing can pickle sessions.
void registerSession(py::module_ module) {
    using module::makeMethod;
    py::dict ns;
    ns["__module__"] = py::str("flumina");
    ns["__qualname__"] = py::str(kClassName);
    ns["__init__"] = makeMethod(kClassName, "__init__", {"self"}, py::tuple(0),
                                [](const py::handle* a) { return initialise(a[0]); });
    ns["add"] = makeMethod(kClassName, "add", {"self", "input", "utype", "inputFormat", "inputshape", "outputinfo"},
                           none(5), [](const py::handle* a) { return add(a[0], a[1], a[2], a[3], a[4], a[5]); });
    ns["_check"] =
        makeMethod(kClassName, "_check", {"self"}, py::tuple(0), [](const py::handle* a) { return check(a[0]); });
    ns["build"] =
        makeMethod(kClassName, "build", {"self"}, py::tuple(0), [](const py::handle* a) { return build(a[0]); });
    ns["read"] = makeMethod(kClassName, "read", {"self", "index"}, py::make_tuple(0),
                            [](const py::handle* a) { return read(a[0], a[1]); });
    ns["show"] = makeMethod(kClassName, "show", {"self", "frame", "index"}, py::make_tuple(0),
                            [](const py::handle* a) { return show(a[0], a[1], a[2]); });
    ns["push"] = makeMethod(kClassName, "push", {"self", "frame", "index"}, py::make_tuple(0),
                            [](const py::handle* a) { return push(a[0], a[1], a[2]); });
    ns["_keep"] =
        makeMethod(kClassName, "_keep", {"self"}, py::tuple(0), [](const py::handle* a) { return keep(a[0]); });
    ns["getUsbDeviceId"] = makeMethod(kClassName, "getUsbDeviceId", {"self"}, py::tuple(0),
                                      [](const py::handle* a) { return usbDeviceIds(a[0]); });
    ns["add_from_json"] = makeMethod(kClassName, "add_from_json", {"self", "json_path"}, py::tuple(0),
                                     [](const py::handle* a) { return addFromJson(a[0], a[1]); });

    module.attr(kClassName) =
        builtinType(PyType_Type)(kClassName, py::make_tuple(builtinType(PyBaseObject_Type)), ns);
}

}  // namespace flumina::session
