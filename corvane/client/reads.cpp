#include "corvane/client/reads.h"

#include "corvane/common/args.h"
#include "corvane/common/call.h"
#include "corvane/session/category_list.h"
#include "corvane/session/metadata.h"
#include "corvane/session/upkeep.h"
#include "corvane/sync/category_sync.h"
#include "corvane/sync/join.h"
#include "corvane/sync/sync_records.h"
#include "corvane/transport/public_boundary.h"

namespace corvane::client {

namespace {

using sync::join;

bool remotely_authorised(PyObject* self, PyObject* category) {
    Ref names = getattr(self, "_remote_categories_set");
    return check_status(PySequence_Contains(names.get(), category)) != 0;
}

// Brings a category from the service, from `start` on (None: whole): the session made sure
// of, the name checked against the authorised list (reloaded once when it is missing).
void synchronise(PyObject* module, PyObject* self, PyObject* category, PyObject* start) {
    call(self, methods::ensure_connection);
    if (!remotely_authorised(self, category)) call(self, methods::refresh_categories);
    if (!remotely_authorised(self, category)) {
        Ref not_found = global(module, "CategoryNotFoundError");
        Ref message = join({text("数据类别不存在: ").get(), category});
        raise_bare(call(not_found.get(), message));
    }
    if (start == Py_None) {
        call(self, methods::sync_category, category);
    } else {
        call_kw(self, methods::sync_category, {{"incremental_start_date", start}}, category);
    }
}

// A keyword's value, or null (the keyword left out) when it is None.
PyObject* unless_none(const Arg& arg) {
    PyObject* value = arg.or_else(Py_None);
    return value == Py_None ? nullptr : value;
}

Ref get_category_body(PyObject* module, const methods::ReadParams& args) {
    PyObject* self = args.self;
    PyObject* category = args.category;
    Ref logger = getattr(self, "logger");
    call_method(logger.get(), "debug", join({text("读取数据: ").get(), category}));

    Ref store = getattr(self, "CV_db");
    PyObject* as_of = unless_none(args.as_of);
    PyObject* columns = unless_none(args.columns);
    // A read of the past is a read of what the store holds: never a synchronisation.
    Ref local = as_of ? Ref() : call_method(store.get(), "_get_all_categories");
    if (as_of) {
    } else if (check_status(PySequence_Contains(local.get(), category)) == 0) {
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

    Ref kind = call(self, methods::validate_category_name, category);
    const std::initializer_list<Kwarg> chosen = {{"as_of", as_of}, {"columns", columns}};
    if (equal(kind.get(), text("pivot").get())) {
        return call_method_kw(store.get(), "read_pivot_category", chosen, category,
                              args.start_date.or_else(Py_None), args.end_date.or_else(Py_None));
    }
    // An unstack category is always read whole; the dates do not apply.
    return call_method_kw(store.get(), "read_unstack_category", chosen, category);
}

// The values of `as_of` and `columns`, refused with the store's own ValueError or TypeError.
void check_read_arguments(PyObject*, const methods::ReadParams& args) {
    if (!args.as_of.given() && !args.columns.given()) return;
    Ref ledger = import("corvane._store.ledger");
    call_method(ledger.get(), "check_as_of", args.as_of.or_else(Py_None));
    Ref history = import("corvane._store.history");
    call_method(history.get(), "wanted_columns", args.columns.or_else(Py_None));
}

Ref list_category_history_body(PyObject*, const methods::HistoryParams& args) {
    call(args.self, methods::validate_category_name, args.category);
    Ref store = getattr(args.self, "CV_db");
    Ref details = boolean(truthy(args.details.or_else(Py_False)));
    return call_method_kw(store.get(), "list_category_history", {{"details", details.get()}},
                          args.category);
}

Ref list_categories_body(PyObject*, const SelfParams& args) {
    call(args.self, methods::ensure_connection);
    // Reloaded on every call: the authorised list may change during a session.
    call(args.self, methods::refresh_categories);
    Ref names = getattr(args.self, "_remote_categories");
    return check(PySequence_List(names.get()));
}

Ref list_local_categories(PyObject*, const SelfParams& args) {
    Ref store = getattr(args.self, "CV_db");
    Ref names = call_method(store.get(), "_get_all_categories");
    if (!names.is_none() && !PyList_CheckExact(names.get())) {
        throw_format(PyExc_TypeError, "Expected %.42s, got %.200s", "list",
                     Py_TYPE(names.get())->tp_name);
    }
    return names;
}

}  // namespace

}  // namespace corvane::client

namespace corvane::methods {

const transport::PublicMethod<ReadParams> GetCategory{"GetCategory", get_category,
                                                      "读取数据类别\n"
                                                      "\n"
                                                      "Args:\n"
                                                      "    category: 数据类别名称，如 \"cn_stock_pivot#open\"\n"
                                                      "    start_date: 开始日期（可选）\n"
                                                      "    end_date: 结束日期（可选）\n"
                                                      "    as_of: 历史版本（可选）：带时区的时间、带偏移的 ISO 8601 文本，或代数（负数从最新倒数）；不会同步\n"
                                                      "    columns: 只返回这些列（可选），按给定顺序\n"
                                                      "\n"
                                                      "Returns:\n"
                                                      "    DataFrame\n",
                                                      client::check_read_arguments};
const Method<ReadParams> get_category{"_get_category", client::get_category_body, "读取指定数据类别。"};
const transport::PublicMethod<HistoryParams> ListCategoryHistory{
    "ListCategoryHistory", list_category_history,
    "本地数据类别的历史版本：每代一行（generation, committed, mode, added, replaced, removed）；"
    "details=True 时每个变更分区一行，含新旧版本与发布哈希"};
const Method<HistoryParams> list_category_history{"_list_category_history", client::list_category_history_body,
                                                  "本地数据类别的历史版本。"};
const transport::PublicMethod<SelfParams> ListCategories{"ListCategories", list_categories, "列出所有可用的数据类别（远程）"};
const Method<SelfParams> list_categories{"_list_categories", client::list_categories_body, "列出所有可用的数据类别（远程）"};
const Method<SelfParams> ListLocalCategories{"ListLocalCategories", client::list_local_categories, "列出本地已存储的数据类别"};

}  // namespace corvane::methods
