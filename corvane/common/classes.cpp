#include "corvane/common/classes.h"

#include <string>

#include "corvane/common/call.h"

namespace corvane {

namespace {

// "name($module, self, a, b=1)\n--\n\n" + help text: the form from which the interpreter
// derives __text_signature__ (the bound module is not a parameter).
void attach_signature(MethodDef& def) {
    if (def.def.ml_doc != nullptr) return;
    std::string_view params(def.signature);
    params.remove_prefix(1);  // "("
    std::string text = std::string(def.def.ml_name) + "($module";
    if (params != ")") text += ", ";
    text.append(params);
    text += "\n--\n\n";
    def.doc.insert(0, text);
    def.def.ml_doc = def.doc.c_str();
}

}  // namespace

Ref make_method(PyObject* module, MethodDef& def) {
    attach_signature(def);
    Ref module_name = getattr(module, "__name__");
    Ref function = check(PyCMethod_New(&def.def, module, module_name.get(), nullptr));
    switch (def.binding) {
        case Binding::Instance: return check(PyInstanceMethod_New(function.get()));
        case Binding::Static: return check(PyStaticMethod_New(function.get()));
        case Binding::Class: return check(PyClassMethod_New(function.get()));
        case Binding::Property:
            return call(reinterpret_cast<PyObject*>(&PyProperty_Type), function);
    }
    return function;
}

void add_methods(PyObject* module, PyObject* dict, std::span<const std::string_view> order,
                 std::initializer_list<std::span<MethodDef>> tables) {
    std::size_t placed = 0;
    for (std::string_view name : order) {
        for (std::span<MethodDef> table : tables) {
            for (MethodDef& def : table) {
                if (name == def.def.ml_name) {
                    Ref attr = make_method(module, def);
                    check_status(PyDict_SetItemString(dict, def.def.ml_name, attr.get()));
                    ++placed;
                }
            }
        }
    }
    std::size_t defined = 0;
    for (std::span<MethodDef> table : tables) defined += table.size();
    if (placed != defined) {
        throw_format(PyExc_SystemError, "corvane: %zu methods defined but %zu placed in order",
                     defined, placed);
    }
}

Ref make_class(PyObject* module, const char* name, PyObject* bases, PyObject* dict,
               const char* doc) {
    Ref module_name = getattr(module, "__name__");
    check_status(PyDict_SetItemString(dict, "__module__", module_name.get()));
    check_status(PyDict_SetItemString(dict, "__qualname__", text(name).get()));
    if (doc != nullptr) check_status(PyDict_SetItemString(dict, "__doc__", text(doc).get()));
    Ref type_name = text(name);
    return call(reinterpret_cast<PyObject*>(&PyType_Type), type_name, bases, dict);
}

}  // namespace corvane
