#include "corvane/sync/update_driver.h"

#include <array>

#include "corvane/common/args.h"
#include "corvane/common/boundary.h"
#include "corvane/common/call.h"
#include "corvane/sync/category_ahead.h"
#include "corvane/sync/join.h"
#include "corvane/transport/public_boundary.h"

namespace corvane::sync {

namespace {

constexpr int kIncrementalDays = 60;

constexpr std::array<Param, 2> kParams{{{"self"}, {"update_method", ArgType::Any, false}}};

void log(PyObject* logger, const char* level, const Ref& message) {
    call_method(logger, level, message);
}

bool is_method(PyObject* value, const char* name) { return equal(value, text(name).get()); }

// The Redis client keeps the last large value it received, to receive the next one into the
// same memory; once the update is over, that memory goes back.
class SpareRelease {
public:
    explicit SpareRelease(PyObject* self) noexcept : self_(self) {}
    SpareRelease(const SpareRelease&) = delete;
    SpareRelease& operator=(const SpareRelease&) = delete;
    ~SpareRelease() {
        try {
            Ref connection = getattr(self_, "_redis_client");
            if (!connection.is_none()) call_method(connection.get(), "release_spare");
        } catch (const PyError&) {
            // Only memory is at stake; the update's own outcome stands.
        }
    }

private:
    PyObject* self_;
};

PyObject* update_all_category_body(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kwnames) {
    return guarded([&] {
        auto a = parse_args("_update_all_category", kParams, args, nargs, kwnames);
        PyObject* self = a[0];
        Ref method = a.given(1) ? Ref::borrow(a[1]) : text("full");
        const bool incremental = is_method(method.get(), "incremental");
        const bool only_changed = is_method(method.get(), "changed");
        if (!incremental && !only_changed && !is_method(method.get(), "full")) {
            throw_format(PyExc_ValueError, "update_method must be 'full', 'incremental' or 'changed'");
        }
        const SpareRelease spare_release(self);
        Ref logger = getattr(self, "logger");
        log(logger.get(), "info", join({text("开始更新数据 [方式: ").get(), method.get(), text("]").get()}));

        Ref start = none();
        if (incremental) {
            Ref datetime = global(module, "datetime");
            Ref timedelta = global(module, "timedelta");
            Ref now = call_method(datetime.get(), "now");
            Ref window = call_kw(timedelta.get(), {{"days", integer(kIncrementalDays).get()}});
            start = check(PyNumber_Subtract(now.get(), window.get()));
            Ref day = call_method(start.get(), "strftime", text("%Y-%m-%d"));
            log(logger.get(), "info", join({text("增量更新起始日期: ").get(), day.get()}));
        }

        call_method(self, "_ensure_connection");
        call_method(self, "_refresh_categories");
        Ref categories = getattr(self, "_remote_categories");
        const Py_ssize_t total = PyObject_Length(categories.get());
        if (total < 0) throw_current();
        if (total == 0) {
            log(logger.get(), "warning", text("没有可更新的数据类别"));
            return none();
        }
        log(logger.get(), "info", join({text("发现 ").get(), integer(total).get(), text(" 个类别").get()}));

        Py_ssize_t failed = 0;
        CategoryAhead ahead(module, self, categories.get());
        Py_ssize_t index = 0;
        Ref iterator = check(PyObject_GetIter(categories.get()));
        while (Ref category = Ref::steal(PyIter_Next(iterator.get()))) {
            ahead.begin(index++, category.get());
            try {
                log(logger.get(), "info", join({text("正在同步: ").get(), category.get()}));
                // Each mode passes its own keyword only (a null value leaves one out).
                call_method_kw(self, "_sync_category",
                               {{"incremental_start_date", only_changed ? nullptr : start.get()},
                                {"only_changed", only_changed ? Py_True : nullptr}},
                               category);
            } catch (const PyError& failure) {
                // One category failing never stops the others; interrupts end the run.
                if (!failure.matches(PyExc_Exception)) throw;
                Ref converted = call_method(self, "_as_corvane_error", failure.exception());
                ++failed;
                Ref message = getattr(converted.get(), "user_message");
                log(logger.get(), "error", join({category.get(), text(": ").get(), message.get()}));
            }
        }
        if (PyErr_Occurred()) throw_current();
        if (failed > 0) {
            Ref sync_error = global(module, "SyncError");
            Ref message = join({text("部分数据更新失败：").get(), integer(failed).get(),
                                text(" 个数据类别未完成").get()});
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
    method("UpdateAllCategory", update_all_category, "(self, update_method='full')",
           "更新所有授权的数据类别\n"
           "\n"
           "Args:\n"
           "    update_method: 更新方式\n"
           "        - 'full': 全量更新，扫描所有数据（首次使用或需要完整数据时）\n"
           "        - 'incremental': 增量更新，只扫描最近两个月的数据（日常使用）\n"
           "        - 'changed': 变化更新，读取所有分区的元数据，只下载本地缺失或哈希已变化的分区\n"
           "          （含服务端修订过的旧分区），其数据按新版本整体替换\n"),
    method("_update_all_category", update_all_category_body, "(self, update_method='full')", "更新所有授权的数据类别（内部实现）。"),
};

}  // namespace

std::span<MethodDef> update_driver_methods() { return methods; }

}  // namespace corvane::sync
