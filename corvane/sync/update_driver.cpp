#include "corvane/sync/update_driver.h"

#include "corvane/common/args.h"
#include "corvane/common/call.h"
#include "corvane/session/category_list.h"
#include "corvane/session/upkeep.h"
#include "corvane/sync/category_ahead.h"
#include "corvane/sync/category_sync.h"
#include "corvane/sync/join.h"
#include "corvane/sync/plan_memo.h"
#include "corvane/transport/error_model.h"
#include "corvane/transport/public_boundary.h"

namespace corvane::sync {

namespace {

constexpr int kIncrementalDays = 60;

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

Ref update_all_category_body(PyObject* module, const methods::UpdateParams& args) {
    PyObject* self = args.self;
    Ref method = args.update_method.given() ? Ref::borrow(args.update_method) : text("full");
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

    call(self, methods::ensure_connection);
    call(self, methods::refresh_categories);
    Ref categories = getattr(self, "_remote_categories");
    const Py_ssize_t total = PyObject_Length(categories.get());
    if (total < 0) throw_current();
    if (total == 0) {
        log(logger.get(), "warning", text("没有可更新的数据类别"));
        return none();
    }
    log(logger.get(), "info", join({text("发现 ").get(), integer(total).get(), text(" 个类别").get()}));

    Py_ssize_t failed = 0;
    // Categories of one universe carry the same schema and metadata bytes: their partitions
    // share one kept plan rather than one per category.
    PlanMemo plans;
    CategoryAhead ahead(module, self, categories.get(), start.get(), only_changed);
    Py_ssize_t index = 0;
    Ref iterator = check(PyObject_GetIter(categories.get()));
    // Told of each category's start and outcome (the command's report), when set.
    Ref observer = getattr(self, "_update_observer");
    while (Ref category = Ref::steal(PyIter_Next(iterator.get()))) {
        ahead.begin(index++, category.get());
        try {
            log(logger.get(), "info", join({text("正在同步: ").get(), category.get()}));
            if (!observer.is_none()) call_method(observer.get(), "started", category);
            // Each mode passes its own keyword only (a null value leaves one out).
            call_kw(self, methods::sync_category,
                           {{"incremental_start_date", only_changed ? nullptr : start.get()},
                            {"only_changed", only_changed ? Py_True : nullptr}},
                           category);
            if (!observer.is_none()) call_method(observer.get(), "finished", category);
        } catch (const PyError& failure) {
            // One category failing never stops the others; interrupts end the run.
            if (!failure.matches(PyExc_Exception)) throw;
            Ref converted = call(self, methods::as_corvane_error, failure.exception());
            if (!observer.is_none()) call_method(observer.get(), "finished", category, converted);
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
}

}  // namespace

}  // namespace corvane::sync

namespace corvane::methods {

const transport::PublicMethod<UpdateParams> UpdateAllCategory{"UpdateAllCategory", update_all_category,
                                                              "更新所有授权的数据类别\n"
                                                              "\n"
                                                              "Args:\n"
                                                              "    update_method: 更新方式\n"
                                                              "        - 'full': 全量更新，扫描所有数据（首次使用或需要完整数据时）\n"
                                                              "        - 'incremental': 增量更新，只扫描最近两个月的数据（日常使用）\n"
                                                              "        - 'changed': 变化更新，读取所有分区的元数据，只下载本地缺失或哈希已变化的分区\n"
                                                              "          （含服务端修订过的旧分区），其数据按新版本整体替换\n"};
const Method<UpdateParams> update_all_category{"_update_all_category", sync::update_all_category_body,
                                               "更新所有授权的数据类别（内部实现）。"};

}  // namespace corvane::methods
