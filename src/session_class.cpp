#include "method_type.h"
#include "session.h"

namespace flumina::session {
namespace {

using module::listOf;
using module::tupleOf;

constexpr const char* kClassName = "flm";

Object builtinType(PyTypeObject& type) { return Object::borrow(reinterpret_cast<PyObject*>(&type)); }

}  // namespace

Object initialise(const Object& self) {
    self.setAttr("js", listOf({}));
    self.setAttr("used_device", listOf({}));
    self.setAttr("allow_push_device", listOf({0, 1, 3}));
    self.setAttr("allow_save_device", listOf({0}));
    self.setAttr("allow_push_save_device", listOf({0, 3}));
    self.setAttr("avaliable_device", listOf({"inputUrl", "camera_id", "usbDeviceId", "file_path"}));
    self.setAttr("input_resize", listOf({}));
    self.setAttr("kv", listOf({}));
    self.setAttr("diskv", listOf({}));
    self.setAttr("eskv", listOf({}));
    self.setAttr("__version__", "1.0.1");
    return module::none();
}

// type("flm", (object,), namespace): a plain class, so that instances have a
// __dict__, subclasses work and multiprocessing can pickle sessions.
void registerSession(const Object& module) {
    using module::makeMethod;
    const Object none = module::none();
    const Object ns = module::newDict();
    ns.setItem("__module__", "flumina");
    ns.setItem("__qualname__", kClassName);
    ns.setItem("__init__", makeMethod(kClassName, "__init__", {"self"}, tupleOf({}),
                                      [](const Object* a) { return initialise(a[0]); }));
    ns.setItem("add",
               makeMethod(kClassName, "add", {"self", "input", "utype", "inputFormat", "inputshape", "outputinfo"},
                          tupleOf({none, none, none, none, none}),
                          [](const Object* a) { return add(a[0], a[1], a[2], a[3], a[4], a[5]); }));
    ns.setItem("_check",
               makeMethod(kClassName, "_check", {"self"}, tupleOf({}), [](const Object* a) { return check(a[0]); }));
    ns.setItem("build",
               makeMethod(kClassName, "build", {"self"}, tupleOf({}), [](const Object* a) { return build(a[0]); }));
    ns.setItem("read", makeMethod(kClassName, "read", {"self", "index"}, tupleOf({0}),
                                  [](const Object* a) { return read(a[0], a[1]); }));
    ns.setItem("show", makeMethod(kClassName, "show", {"self", "frame", "index"}, tupleOf({0}),
                                  [](const Object* a) { return show(a[0], a[1], a[2]); }));
    ns.setItem("push", makeMethod(kClassName, "push", {"self", "frame", "index"}, tupleOf({0}),
                                  [](const Object* a) { return push(a[0], a[1], a[2]); }));
    ns.setItem("_keep",
               makeMethod(kClassName, "_keep", {"self"}, tupleOf({}), [](const Object* a) { return keep(a[0]); }));
    ns.setItem("getUsbDeviceId", makeMethod(kClassName, "getUsbDeviceId", {"self"}, tupleOf({}),
                                            [](const Object* a) { return usbDeviceIds(a[0]); }));
    ns.setItem("add_from_json", makeMethod(kClassName, "add_from_json", {"self", "json_path"}, tupleOf({}),
                                           [](const Object* a) { return addFromJson(a[0], a[1]); }));

    module.setAttr(kClassName, builtinType(PyType_Type)(kClassName, tupleOf({builtinType(PyBaseObject_Type)}), ns));
}

}  // namespace flumina::session
