#include "corvane/client/client_class.h"

#include <string_view>

#include "corvane/client/abandoned.h"
#include "corvane/client/lifetime.h"
#include "corvane/client/reads.h"
#include "corvane/common/classes.h"
#include "corvane/session/category_list.h"
#include "corvane/session/metadata.h"
#include "corvane/session/redis_connection.h"
#include "corvane/session/ticket_calls.h"
#include "corvane/session/upkeep.h"
#include "corvane/sync/category_sync.h"
#include "corvane/sync/changed_partitions.h"
#include "corvane/sync/hash_records.h"
#include "corvane/sync/partition_filter.h"
#include "corvane/sync/update_driver.h"
#include "corvane/transport/api_address.h"
#include "corvane/transport/error_model.h"
#include "corvane/transport/error_vocabulary.h"
#include "corvane/transport/http_transport.h"
#include "corvane/transport/validators.h"

namespace corvane::client {

namespace {

constexpr const char* kClassDoc =
    "Corvane 3.0 简洁版客户端\n"
    "\n"
    "独立完整实现，自动管理所有底层连接和数据缓存。\n"
    "\n"
    "Args:\n"
    "    api_token: API Token（认证凭据）\n"
    "    save_path: 本地数据存储路径\n"
    "    api_url: API 地址（可选，默认从环境变量 CORVANE_API_URL 读取）\n"
    "    log_level: 日志级别\n";

// The class's methods, in the order it defines them.
std::span<MethodDef> client_methods() {
    static MethodDef methods[] = {
        define<methods::init>(),
        define<methods::display_error>(),
        define<methods::public_error_clone>(),
        define<methods::as_corvane_error>(),
        define<methods::validate_api_token>(),
        define<methods::is_loopback_host>(),
        define<methods::normalize_api_url>(),
        define<methods::required_text>(),
        define<methods::validate_redis_host>(),
        define<methods::validate_scope_list>(),
        define<methods::validate_partition_name>(),
        define<methods::validate_hash>(),
        define<methods::read_api_response>(),
        define<methods::api_post_json>(),
        define<methods::parse_api_response>(),
        define<methods::normalize_error_code>(),
        define<methods::public_code_from_status>(),
        define<methods::build_public_error>(),
        define<methods::init_connection>(),
        define<methods::fetch_ticket>(),
        define<methods::connect_redis>(),
        define<methods::official_plaintext_redis_is_allowed>(),
        define<methods::disconnect_server>(),
        define<methods::ensure_connection>(),
        define<methods::renew_ticket>(),
        define<methods::start_heartbeat>(),
        define<methods::heartbeat_loop>(),
        define<methods::UpdateAllCategory>(),
        define<methods::update_all_category>(),
        define<methods::GetCategory>(),
        define<methods::get_category>(),
        define<methods::ListCategories>(),
        define<methods::list_categories>(),
        define<methods::ListLocalCategories>(),
        define<methods::ListCategoryHistory>(),
        define<methods::list_category_history>(),
        define<methods::close>(),
        define<methods::enter>(),
        define<methods::exit>(),
        define<methods::del>(),
        define<methods::refresh_categories>(),
        define<methods::sync_category>(),
        define<methods::sync_pivot_category>(),
        define<methods::sync_unstack_category>(),
        define<methods::download_partition>(),
        define<methods::redis_get_with_retry>(),
        define<methods::json_get>(),
        define<methods::json_get_required>(),
        define<methods::get_category_meta>(),
        define<methods::get_partition_meta>(),
        define<methods::validate_protocol>(),
        define<methods::validate_category_name>(),
        define<methods::get_hash_path>(),
        define<methods::check_local_hash>(),
        define<methods::write_local_hash>(),
        define<methods::partition_held>(),
        define<methods::filter_partitions_by_date>(),
    };
    return methods;
}

class ClassBody {
public:
    explicit ClassBody(PyObject* module) : module_(module), dict_(check(PyDict_New())) {}

    void set(const char* name, const Ref& value) {
        check_status(PyDict_SetItemString(dict_.get(), name, value.get()));
    }
    void set_text(const char* name, const char* value) { set(name, text(value)); }
    void set_int(const char* name, long long value) { set(name, integer(value)); }
    void set_pattern(const char* name, const char* pattern) {
        Ref re = global(module_, "re");
        set(name, call_method(re.get(), "compile", text(pattern)));
    }

    PyObject* module() const { return module_; }
    PyObject* dict() const { return dict_.get(); }

private:
    PyObject* module_;
    Ref dict_;
};

void define_constants(ClassBody& body) {
    body.set_text("DEFAULT_API_URL", "https://api.corvane.com");
    body.set_text("OFFICIAL_PLAINTEXT_REDIS_POLICY", "mvp-plaintext-public-redis-v1");
    body.set("OFFICIAL_PLAINTEXT_REDIS_SUFFIXES",
             check(PyTuple_Pack(2, text(".redis.rds.aliyuncs.com").get(),
                                text(".tair.rds.aliyuncs.com").get())));
    body.set_int("PROTOCOL_VERSION", 1);
    body.set_text("DATA_FORMAT", "parquet");
    body.set_int("MAX_API_RESPONSE_BYTES", 1048576);
    body.set_int("MAX_METADATA_BYTES", 5242880);
    body.set_int("MAX_PARTITION_BYTES", 536870912);
    body.set_pattern("CATEGORY_PATTERN",
                     "^[A-Za-z0-9][A-Za-z0-9_.-]{0,127}_(pivot|unstack)#[A-Za-z0-9][A-Za-z0-9_.-]{0,127}$");
    body.set_pattern("PARTITION_PATTERN", R"(^(?:full|\d{4}(?:-\d{2}(?:-\d{2})?)?)$)");
    body.set_pattern("HASH_PATTERN", "^sha256:[0-9a-f]{64}$");
    body.set_int("HEARTBEAT_INTERVAL", 30);
    body.set_int("TICKET_REFRESH_THRESHOLD", 30);
    body.set_text("META_CATEGORIES_KEY", "corvane:meta:categories");
    body.set_text("META_CATEGORY_KEY_PREFIX", "corvane:meta:category:");
    body.set_text("META_PARTITION_KEY_PREFIX", "corvane:meta:partition:");

    transport::ErrorTables errors = transport::error_tables(body.module());
    body.set("PUBLIC_ERROR_MESSAGES", errors.messages);
    body.set("LEGACY_ERROR_CODE_MAP", errors.service_codes);
    body.set("ERROR_CLASS_MAP", errors.classes);

    // Reading ahead while a category synchronises: payload bytes held besides the partition
    // being processed, and the threads (each on its own connection) that read.
    body.set_int("_fetch_ahead_bytes", 64 << 20);
    body.set_int("_fetch_ahead_workers", 16);
    // Payloads read ahead and verified (SHA-256), then decoded, on those threads at once;
    // None: as many as the cores that the process may use. 0: each at its turn.
    body.set("_verify_ahead_workers", none());
    // An object whose started(category) and finished(category, error=None) an update calls
    // around each category (the command's report); None: nobody is told.
    body.set("_update_observer", none());
}

}  // namespace

void define_client_class(PyObject* module) {
    ClassBody body(module);
    define_constants(body);
    capture_default_log_level(module);
    add_methods(module, body.dict(), client_methods());
    Ref bases = check(PyTuple_New(0));
    Ref client = make_class(module, "CorvaneClient", bases.get(), body.dict(), kClassDoc);
    setattr(module, "CorvaneClient", client.get());
}

}  // namespace corvane::client
