#include "corvane/client/module_surface.h"

namespace corvane::client {

namespace {

void bind(PyObject* module, const char* name, const Ref& value) {
    setattr(module, name, value.get());
}

// `from package import name, ...` for the names given.
void bind_from(PyObject* module, const char* package, std::initializer_list<const char*> names) {
    Ref source = import(package);
    for (const char* name : names) bind(module, name, getattr(source.get(), name));
}

}  // namespace

void import_dependencies(PyObject* module) {
    for (const char* name : {"fnmatch", "hashlib", "ipaddress", "io", "json", "logging", "os",
                             "re", "ssl", "tempfile", "threading", "time"}) {
        bind(module, name, import(name));
    }
    import("urllib.error");
    import("urllib.parse");
    import("urllib.request");
    bind(module, "urllib", import("urllib"));
    bind_from(module, "dataclasses", {"dataclass"});
    bind_from(module, "datetime", {"datetime", "timedelta"});
    bind_from(module, "typing", {"Any", "List", "Literal", "Optional"});
    bind(module, "pd", import("pandas"));
    bind(module, "redis", import("corvane._redis"));
    bind_from(module, "tqdm", {"tqdm"});
    bind_from(module, "corvane.exceptions",
              {"APIError", "AuthError", "CategoryNotFoundError", "DataConnectionError",
               "HostSelectionError", "InvalidCategoryError", "CorvaneError", "LocalStorageError",
               "MetaError", "NetworkError", "PermissionDeniedError", "ProtocolError",
               "QuotaExceededError", "RemoteDataError", "SerializationError",
               "ServiceUnavailableError", "SyncError"});
    bind_from(module, "corvane.log", {"GetLogger"});
    bind_from(module, "corvane.ParquetManager", {"ParquetDataManager"});
}

void define_sdk_version(PyObject* module) { bind(module, "SDK_VERSION", text(kSdkVersion)); }

}  // namespace corvane::client
