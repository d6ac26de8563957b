#include "corvane/session/category_list.h"

#include <string>

#include "corvane/common/args.h"
#include "corvane/session/errors.h"
#include "corvane/session/metadata.h"
#include "corvane/transport/refuse.h"

namespace corvane::session {

namespace {

constexpr Py_ssize_t kMaxCategories = 10000;

// The names of the service's list, checked; the first bad entry aborts the whole read.
Ref checked_names(PyObject* module, PyObject* self, PyObject* listed) {
    if (!PyList_Check(listed) || PyList_GET_SIZE(listed) > kMaxCategories) {
        transport::refuse(module, "MetaError");
    }
    Ref names = check(PyList_New(0));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(listed); ++i) {
        Ref name = Ref::borrow(PyList_GET_ITEM(listed, i));
        if (!PyUnicode_Check(name.get())) transport::refuse(module, "ProtocolError");
        call(self, methods::validate_category_name, name);
        check_status(PyList_Append(names.get(), name.get()));
    }
    return names;
}

// Keeps the names for which `admitted(name)` holds.
template <typename Predicate>
Ref kept(PyObject* names, Predicate&& admitted) {
    Ref result = check(PyList_New(0));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(names); ++i) {
        PyObject* name = PyList_GET_ITEM(names, i);
        if (admitted(name)) check_status(PyList_Append(result.get(), name));
    }
    return result;
}

// Case-sensitive shell-style match of the whole name against any of the patterns.
Ref by_patterns(PyObject* module, PyObject* names, PyObject* patterns) {
    Ref texts = check(PyList_New(0));
    Ref iterator = check(PyObject_GetIter(patterns));
    while (Ref pattern = Ref::steal(PyIter_Next(iterator.get()))) {
        check_status(PyList_Append(texts.get(), check(PyObject_Str(pattern.get())).get()));
    }
    if (PyErr_Occurred()) throw_current();
    Ref fnmatch = global(module, "fnmatch");
    Ref matcher = getattr(fnmatch.get(), "fnmatchcase");
    return kept(names, [&](PyObject* name) {
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(texts.get()); ++i) {
            if (truthy(call(matcher.get(), name, PyList_GET_ITEM(texts.get(), i)).get())) return true;
        }
        return false;
    });
}

// Names whose dataset part (before "#") is one of the datasets.
Ref by_datasets(PyObject* names, PyObject* datasets) {
    Ref prefixes = check(PyList_New(0));
    Ref hash = text("#");
    Ref iterator = check(PyObject_GetIter(datasets));
    while (Ref dataset = Ref::steal(PyIter_Next(iterator.get()))) {
        check_status(PyList_Append(prefixes.get(), check(PyUnicode_Concat(dataset.get(), hash.get())).get()));
    }
    if (PyErr_Occurred()) throw_current();
    Ref prefix_tuple = check(PyList_AsTuple(prefixes.get()));
    return kept(names, [&](PyObject* name) {
        return truthy(call_method(name, "startswith", prefix_tuple).get());
    });
}

void log_filtered(PyObject* self, PyObject* before, PyObject* after) {
    Ref logger = getattr(self, "logger");
    call_method(logger.get(), "debug", text("??????: %s -> %s"),
                integer(PyList_GET_SIZE(before)), integer(PyList_GET_SIZE(after)));
}

Ref refresh_categories(PyObject* module, const SelfParams& args) {
    PyObject* self = args.self;
    Ref key = getattr(self, "META_CATEGORIES_KEY");
    Ref listed = call(self, methods::json_get_required, key);
    Ref names = checked_names(module, self, listed.get());

    Ref ticket = getattr(self, "_ticket");
    Ref patterns = ticket.is_none() ? none() : getattr(ticket.get(), "category_patterns");
    Ref datasets = ticket.is_none() ? none() : getattr(ticket.get(), "datasets");
    Ref authorised = names;
    if (truthy(patterns.get())) {
        // Patterns decide alone; the datasets are then not consulted.
        authorised = by_patterns(module, names.get(), patterns.get());
        log_filtered(self, names.get(), authorised.get());
    } else if (truthy(datasets.get())) {
        authorised = by_datasets(names.get(), datasets.get());
        log_filtered(self, names.get(), authorised.get());
    }

    check_status(PyList_Sort(authorised.get()));
    Ref lookup = check(PySet_New(authorised.get()));
    setattr(self, "_remote_categories", authorised.get());
    setattr(self, "_remote_categories_set", lookup.get());
    log(self, "info",
        "加载了 " + std::to_string(PyList_GET_SIZE(authorised.get())) + " 个类别");
    return none();
}

}  // namespace

}  // namespace corvane::session

namespace corvane::methods {

const Method<SelfParams> refresh_categories{"_refresh_categories", session::refresh_categories, "刷新授权类别列表"};

}  // namespace corvane::methods
