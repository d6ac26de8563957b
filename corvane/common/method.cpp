#include "corvane/common/method.h"

#include <vector>

namespace corvane {

Ref call_given(PyObject* receiver, const char* name, std::span<const Arg> args) {
    std::vector<PyObject*> argv;
    Ref keywords = check(PyList_New(0));
    std::size_t positional = 0;
    bool by_keyword = false;
    for (const Arg& arg : args.subspan(1)) {
        by_keyword = by_keyword || arg.keyword_only || !arg.given();
        if (!arg.given()) continue;
        argv.push_back(arg.value);
        if (by_keyword) {
            check_status(PyList_Append(keywords.get(), check(PyUnicode_InternFromString(arg.name)).get()));
        } else {
            ++positional;
        }
    }
    Ref method = getattr(receiver, name);
    Ref names = check(PyList_AsTuple(keywords.get()));
    return check(PyObject_Vectorcall(method.get(), argv.data(), positional,
                                     PyTuple_GET_SIZE(names.get()) == 0 ? nullptr : names.get()));
}

}  // namespace corvane
