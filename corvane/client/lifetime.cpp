#include "corvane/client/lifetime.h"

#include "corvane/client/abandoned.h"
#include "corvane/client/module_state.h"
#include "corvane/client/session_release.h"
#include "corvane/common/args.h"
#include "corvane/session/category_list.h"
#include "corvane/session/errors.h"
#include "corvane/session/redis_connection.h"
#include "corvane/session/ticket_calls.h"
#include "corvane/session/upkeep.h"
#include "corvane/transport/api_address.h"
#include "corvane/transport/public_boundary.h"
#include "corvane/transport/refuse.h"
#include "corvane/transport/validators.h"
#include "corvane/session/new_session.h"

namespace corvane::client {

namespace {

using session::log;

// log_level: an int, or another number truncated to one; anything else is refused.
Ref log_level_argument(PyObject* module, PyObject* given) {
    if (given == nullptr) return integer(module_state(module).default_log_level);
    if (PyLong_CheckExact(given)) return Ref::borrow(given);
    if (!PyNumber_Check(given)) raise_argument_type("log_level", "int", given);
    return check(PyNumber_Long(given));
}

void require_type(const char* name, ArgType type, PyObject* value) {
    if (!argument_type_ok(type, value)) raise_argument_type(name, "str", value);
}

// The API address: the argument unless absent or empty, then CORVANE_API_URL when the
// variable exists (even empty), then DEFAULT_API_URL.
Ref chosen_api_url(PyObject* module, PyObject* self, PyObject* given) {
    if (given != nullptr && given != Py_None && PyUnicode_GET_LENGTH(given) > 0) {
        return Ref::borrow(given);
    }
    Ref os = global(module, "os");
    Ref environ = getattr(os.get(), "environ");
    Ref configured = get_item_optional(environ.get(), "CORVANE_API_URL");
    if (configured) return configured;
    return getattr(self, "DEFAULT_API_URL");
}

Ref client_init(PyObject* module, const methods::InitParams& args) {
    PyObject* self = args.self;
    Ref log_level = log_level_argument(module, args.log_level);
    Ref display_errors = boolean(!args.display_errors.given() || truthy(args.display_errors));
    require_type("api_token", ArgType::Str, args.api_token);
    require_type("save_path", ArgType::Str, args.save_path);
    if (args.api_url.given()) require_type("api_url", ArgType::StrOrNone, args.api_url);

    setattr(self, "api_token", call(self, methods::validate_api_token, args.api_token).get());
    Ref api_url = chosen_api_url(module, self, args.api_url);
    setattr(self, "api_url", call(self, methods::normalize_api_url, api_url).get());

    Ref stripped = call_method(args.save_path, "strip");
    if (PyUnicode_GET_LENGTH(stripped.get()) == 0) {
        transport::refuse(module, "LocalStorageError");
    }
    Ref os = global(module, "os");
    Ref path_module = getattr(os.get(), "path");
    Ref expanded = call_method(path_module.get(), "expanduser", args.save_path);
    Ref save_path = call_method(path_module.get(), "abspath", expanded);
    setattr(self, "save_path", save_path.get());
    setattr(self, "display_errors", display_errors.get());

    Ref urllib = global(module, "urllib");
    Ref request = getattr(urllib.get(), "request");
    Ref handler_class = global(module, "_NoRedirectHandler");
    Ref opener = call_method(request.get(), "build_opener", call(handler_class.get()));
    setattr(self, "_http_opener", opener.get());

    call_method_kw(os.get(), "makedirs", {{"exist_ok", Py_True}}, save_path);

    Ref get_logger = global(module, "GetLogger");
    Ref logger = call_kw(get_logger.get(), {{"level", log_level.get()}}, text("corvane"));
    setattr(self, "logger", logger.get());
    log(self, "info", "初始化 CorvaneClient");

    Ref store_class = global(module, "ParquetDataManager");
    Ref store = call_kw(store_class.get(), {{"logger", logger.get()}}, save_path);
    setattr(self, "CV_db", store.get());

    Ref threading = global(module, "threading");
    setattr(self, "_ticket", Py_None);
    setattr(self, "_redis_client", Py_None);
    setattr(self, "_stop_heartbeat", call_method(threading.get(), "Event").get());
    setattr(self, "_heartbeat_thread", Py_None);
    setattr(self, "_remote_categories", check(PyList_New(0)).get());
    setattr(self, "_remote_categories_set", check(PySet_New(nullptr)).get());

    track_client(module, self);
    transport::public_boundary(module, self, [&] {
        try {
            call(self, methods::init_connection);
            call(self, methods::start_heartbeat);
        } catch (const PyError&) {
            // Give back what the failed start obtained, so that it does not hold one
            // of the account's connections until its ticket lapses.
            release_quietly(self, stop_heartbeat);
            throw;
        }
        return none();
    });
    log(self, "info", "CorvaneClient 初始化完成");
    return none();
}

Ref init_connection(PyObject*, const SelfParams& args) {
    session::connect_with_new_ticket(args.self);
    call(args.self, methods::refresh_categories);
    return none();
}

Ref client_close(PyObject*, const SelfParams& args) {
    PyObject* self = args.self;
    log(self, "info", "关闭 CorvaneClient...");
    stop_heartbeat(self);
    drop_redis(self);
    release_ticket(self);
    log(self, "info", "CorvaneClient 已关闭");
    return none();
}

Ref client_enter(PyObject*, const SelfParams& args) {
    return Ref::borrow(args.self);
}

Ref client_exit(PyObject*, const methods::ExitParams& args) {
    call(args.self, methods::close);
    // False: an exception raised inside the with-block always propagates.
    return boolean(false);
}

}  // namespace

void capture_default_log_level(PyObject* module) {
    Ref logging = global(module, "logging");
    Ref info = getattr(logging.get(), "INFO");
    const long level = PyLong_AsLong(info.get());
    if (level == -1 && PyErr_Occurred()) throw_current();
    module_state(module).default_log_level = level;
}

}  // namespace corvane::client

namespace corvane::methods {

const Method<InitParams> init{"__init__", client::client_init,
                              "初始化客户端\n\n"
                              "Args:\n"
                              "    api_token: API Token（认证凭据）\n"
                              "    save_path: 本地数据存储路径\n"
                              "    api_url: API 地址（可选，默认从环境变量 CORVANE_API_URL 读取）\n"
                              "    log_level: 日志级别\n"};
const Method<SelfParams> init_connection{"_init_connection", client::init_connection, "初始化连接（获取 Ticket + 连接 Redis）"};
const Method<SelfParams> close{"close", client::client_close, "关闭客户端，释放资源"};
const Method<SelfParams> enter{"__enter__", client::client_enter, nullptr};
const Method<ExitParams> exit{"__exit__", client::client_exit, nullptr};

}  // namespace corvane::methods
