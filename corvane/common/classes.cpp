#include "corvane/common/classes.h"

#include <string>

#include "corvane/common/call.h"

namespace corvane {

MethodDef method(const char* name, MethodBody body, std::string_view signature, const char* doc,
                 Binding binding) {
    // "name($module, self, a, b=1)\n--\n\n" + help text: the form from which the interpreter
    // derives __text_signature__ (the bound module is not a parameter).
    std::string text = std::string(name) + "($module";
    signature.remove_prefix(1);  // "("
    if (signature != ")") text += ", ";
    text.append(signature);
    text += "\n--\n\n";
    if (doc != nullptr) text += doc;
    return MethodDef{{name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(body)),
                      METH_FASTCALL | METH_KEYWORDS, nullptr},
                     binding, std::move(text)};
}

Ref make_method(PyObject* module, MethodDef& def) {
    def.def.ml_doc = def.doc.c_str();
    Ref module_name = getattr(module, "__name__");
    Ref function = check(PyCMethod_New(&def.def, module, module_name.get(), nullptr));
    switch (def.binding) {
        case Binding::Instance: return check(PyInstanceMethod_New(function.get()));
        case Binding::Static: return check(PyStaticMethod_New(function.get()));
        case Binding::Class: return check(PyClassMethod_New(function.get()));
        case Binding::Property:
            return call(reinterpret_cast<PyObject*>(&PyProperty_Type), function);
        case Binding::Function: return function;
    }
    return function;
}

void add_methods(PyObject* module, PyObject* dict, std::span<MethodDef> methods) {
    for (MethodDef& def : methods) {
        Ref attr = make_method(module, def);
        check_status(PyDict_SetItemString(dict, def.def.ml_name, attr.get()));
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
