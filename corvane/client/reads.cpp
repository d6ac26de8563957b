#include "corvane/client/reads.h"

#include <array>

#include "corvane/common/args.h"
#include "corvane/common/boundary.h"
#include "corvane/common/call.h"
#include "corvane/sync/join.h"
#include "corvane/sync/sync_records.h"
#include "corvane/transport/public_boundary.h"

namespace corvane::client {

namespace {

using sync::join;

constexpr std::array<Param, 4> kCategoryParams{{{"self"},
                                                {"category", ArgType::Str},
                                                {"start_date", ArgType::StrOrNone, false},
                                                {"end_date", ArgType::StrOrNone, false}}};
constexpr std::array<Param, 1> kSelfOnly{{{"self"}}};

bool remotely_authorised(PyObject* self, PyObject* category) {
    Ref names = getattr(self, "_remote_categories_set");
    return check_status(PySequence_Contains(names.get(), category)) != 0;
}

// Brings a category from the service, from `start` on (None: whole): the session made sure
// of, the name checked against the authorised list (reloaded once when it is missing).
void synchronise(PyObject* module, PyObject* self, PyObject* category, PyObject* start) {
    call_method(self, "_ensure_connection");
    if (!remotely_authorised(self, category)) call_method(self, "_refresh_categories");
    if (!remotely_authorised(self, category)) {
        Ref not_found = global(module, "CategoryNotFoundError");
        Ref message = join({text("数据类别不存在: ").get(), category});
        raise_bare(call(not_found.get(), message));
    }
    if (start == Py_None) {
        call_method(self, "_sync_category", category);
    } else {
        call_method_kw(self, "_sync_category", {{"incremental_start_date", start}}, category);
    }
}

PyObject* get_category_body(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
    return guarded([&] {
        auto a = parse_args("_get_category", kCategoryParams, args, nargs, kwnames);
        PyObject* self = a[0];
        PyObject* category = a[1];
        Ref logger = getattr(self, "logger");
        call_method(logger.get(), "debug", join({text("读取数据: ").get(), category}));

        Ref store = getattr(self, "CV_db");
        Ref local = call_method(store.get(), "_get_all_categories");
        if (check_status(PySequence_Contains(local.get(), category)) == 0) {
            call_method(logger.get(), "info",
                        join({text("本地不存在 ").get(), category, text("，从远程同步...").get()}));
            synchronise(module, self, category, Py_None);
        } else if (Ref start = sync::interrupted_start(module, self, category)) {
            // Stored, but its last synchronisation did not complete: never read it as whole.
            call_method(logger.get(), "warning",
                        join({text("本地 ").get(), category,
                              text(" 上次同步未完成，从远程补全...").get()}));
            synchronise(module, self, category, start.get());
        }

        Ref kind = call_method(self, "_validate_category_name", category);
        if (equal(kind.get(), text("pivot").get())) {
            return call_method(store.get(), "read_pivot_category", category,
                               a.get(2, Py_None), a.get(3, Py_None));
        }
        // An unstack category is always read whole; the dates do not apply.
        return call_method(store.get(), "read_unstack_category", category);
    });
}

PyObject* get_category(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) {
    return guarded([&] {
        auto a = parse_args("GetCategory", kCategoryParams, args, nargs, kwnames);
        PyObject* self = a[0];
        return transport::public_boundary(module, self, [&] {
            return call_method(self, "_get_category", a[1], a.get(2, Py_None), a.get(3, Py_None));
        });
    });
}

PyObject* list_categories_body(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) {
    return guarded([&] {
        auto a = parse_args("_list_categories", kSelfOnly, args, nargs, kwnames);
        call_method(a[0], "_ensure_connection");
        // Reloaded on every call: the authorised list may change during a session.
        call_method(a[0], "_refresh_categories");
        Ref names = getattr(a[0], "_remote_categories");
        return check(PySequence_List(names.get()));
    });
}

PyObject* list_categories(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
    return guarded([&] {
        auto a = parse_args("ListCategories", kSelfOnly, args, nargs, kwnames);
        return transport::public_boundary(module, a[0],
                                          [&] { return call_method(a[0], "_list_categories"); });
    });
}

PyObject* list_local_categories(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) {
    return guarded([&] {
        auto a = parse_args("ListLocalCategories", kSelfOnly, args, nargs, kwnames);
        Ref store = getattr(a[0], "CV_db");
        Ref names = call_method(store.get(), "_get_all_categories");
        if (!names.is_none() && !PyList_CheckExact(names.get())) {
            throw_format(PyExc_TypeError, "Expected %.42s, got %.200s", "list",
                         Py_TYPE(names.get())->tp_name);
        }
        return names;
    });
}

MethodDef methods[] = {
    method("GetCategory", get_category, "(self, category, start_date=None, end_date=None)",
           "读取数据类别\n"
           "\n"
           "Args:\n"
           "    category: 数据类别名称，如 \"cn_stock_pivot#open\"\n"
           "    start_date: 开始日期（可选）\n"
           "    end_date: 结束日期（可选）\n"
           "\n"
           "Returns:\n"
           "    DataFrame\n"),
    method("_get_category", get_category_body, "(self, category, start_date=None, end_date=None)", "读取指定数据类别。"),
    method("ListCategories", list_categories, "(self)", "列出所有可用的数据类别（远程）"),
    method("_list_categories", list_categories_body, "(self)", "列出所有可用的数据类别（远程）"),
    method("ListLocalCategories", list_local_categories, "(self)", "列出本地已存储的数据类别"),
};

}  // namespace

std::span<MethodDef> read_methods() { return methods; }

}  // namespace corvane::client
