#include "corvane/client/module_surface.h"

#include <arrow/util/config.h>

#include <string>

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

// Payloads are decoded by the Arrow C++ that this module links and the frames handed to
// pyarrow's pandas conversion: two different Arrow libraries in one process would share
// memory pools and type ids that do not match, which crashes or corrupts instead of failing.
void require_pyarrow_built_against() {
    Ref pyarrow = import("pyarrow");
    Ref loaded = getattr(pyarrow.get(), "cpp_version");
    if (!PyUnicode_Check(loaded.get()) || utf8(loaded.get()) != ARROW_VERSION_STRING) {
        Ref shown = check(PyObject_Str(loaded.get()));
        const std::string found(utf8(shown.get()));
        throw_format(PyExc_ImportError,
                     "corvane.CorvaneClient was built against Arrow C++ %s, but pyarrow has "
                     "loaded Arrow C++ %s; install the pyarrow built on Arrow C++ %s or rebuild "
                     "corvane against the Arrow that pyarrow uses",
                     ARROW_VERSION_STRING, found.c_str(), ARROW_VERSION_STRING);
    }
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
    require_pyarrow_built_against();
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
