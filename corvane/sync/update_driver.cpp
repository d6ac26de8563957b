#include "corvane/sync/update_driver.h"

#include <array>

#include "corvane/common/args.h"
#include "corvane/common/boundary.h"
#include "corvane/common/call.h"
#include "corvane/transport/public_boundary.h"

namespace corvane::sync {

namespace {

constexpr int kIncrementalDays = 60;

constexpr std::array<Param, 2> kParams{{{"self"}, {"update_method", ArgType::Any, false}}};

void log(PyObject* logger, const char* level, const Ref& message) {
    call_method(logger, level, message);
}

Ref concat(const Ref& left, const Ref& right) {
    return check(PyUnicode_Concat(left.get(), right.get()));
}

Ref concat(const char* left, const Ref& right) { return concat(text(left), right); }

Ref count_text(Py_ssize_t count) { return check(PyObject_Str(integer(count).get())); }

bool is_method(PyObject* value, const char* name) {
    return check_status(PyObject_RichCompareBool(value, text(name).get(), Py_EQ)) != 0;
}

PyObject* update_all_category_body(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kwnames) {
    return guarded([&] {
        auto a = parse_args("_update_all_category", kParams, args, nargs, kwnames);
        PyObject* self = a[0];
        Ref method = a.given(1) ? Ref::borrow(a[1]) : text("full");
        const bool incremental = is_method(method.get(), "incremental");
        if (!incremental && !is_method(method.get(), "full")) {
            throw_format(PyExc_ValueError, "update_method must be 'full' or 'incremental'");
        }
        Ref logger = getattr(self, "logger");
        Ref method_text = check(PyObject_Str(method.get()));
        log(logger.get(), "info",
            concat(concat("开始更新数据 [方式: ", method_text), text("]")));

        Ref start = none();
        if (incremental) {
            Ref datetime = global(module, "datetime");
            Ref timedelta = global(module, "timedelta");
            Ref now = call_method(datetime.get(), "now");
            Ref window = call_kw(timedelta.get(), {{"days", integer(kIncrementalDays).get()}});
            start = check(PyNumber_Subtract(now.get(), window.get()));
            Ref day = call_method(start.get(), "strftime", text("%Y-%m-%d"));
            log(logger.get(), "info", concat("增量更新起始日期: ", day));
        }

        call_method(self, "_ensure_connection");
        call_method(self, "_refresh_categories");
        // Walk a snapshot: the list attribute may be replaced while categories synchronise.
        Ref remote = getattr(self, "_remote_categories");
        Ref categories = check(PySequence_List(remote.get()));
        const Py_ssize_t total = PyList_GET_SIZE(categories.get());
        if (total == 0) {
            log(logger.get(), "warning", text("没有可更新的数据类别"));
            return none();
        }
        log(logger.get(), "info", concat(concat("发现 ", count_text(total)), text(" 个类别")));

        Py_ssize_t failed = 0;
        for (Py_ssize_t i = 0; i < total; ++i) {
            Ref category = Ref::borrow(PyList_GET_ITEM(categories.get(), i));
            try {
                log(logger.get(), "info", concat("正在同步: ", check(PyObject_Str(category.get()))));
                call_method_kw(self, "_sync_category", {{"incremental_start_date", start.get()}},
                               category);
            } catch (const PyError& failure) {
                if (!failure.matches(PyExc_Exception)) throw;
                Ref converted = call_method(self, "_as_corvane_error", failure.exception());
                ++failed;
                Ref message = getattr(converted.get(), "user_message");
                log(logger.get(), "error",
                    concat(concat(check(PyObject_Str(category.get())), text(": ")),
                           check(PyObject_Str(message.get()))));
            }
        }
        if (failed > 0) {
            Ref sync_error = global(module, "SyncError");
            Ref message = concat(concat("部分数据更新失败：", count_text(failed)), text(" 个数据类别未完成"));
            raise_bare(call_kw(sync_error.get(), {{"user_message", message.get()}}));
        }
        log(logger.get(), "info", text("数据更新完成"));
        return none();
    });
}

PyObject* update_all_category(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
    return guarded([&] {
        auto a = parse_args("UpdateAllCategory", kParams, args, nargs, kwnames);
        PyObject* self = a[0];
        return transport::public_boundary(module, self, [&] {
            if (a.given(1)) return call_method(self, "_update_all_category", a[1]);
            return call_method(self, "_update_all_category");
        });
    });
}

MethodDef methods[] = {
    method("UpdateAllCategory", update_all_category,
           "更新所有授权的数据类别\n"
           "\n"
           "Args:\n"
           "    update_method: 更新方式\n"
           "        - 'full': 全量更新，扫描所有数据（首次使用或需要完整数据时）\n"
           "        - 'incremental': 增量更新，只扫描最近两个月的数据（日常使用）\n"),
    method("_update_all_category", update_all_category_body, "更新所有授权的数据类别（内部实现）。"),
};

}  // namespace

std::span<MethodDef> update_driver_methods() { return methods; }

}  // namespace corvane::sync
