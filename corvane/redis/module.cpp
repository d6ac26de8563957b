// Module entry of corvane._redis: the Redis type and the exception classes, the latter also
// in the submodule corvane._redis.exceptions.
#include "corvane/common/boundary.h"
#include "corvane/common/call.h"
#include "corvane/common/nogil.h"
#include "corvane/redis/module_state.h"
#include "corvane/redis/redis_type.h"

namespace corvane::redis {

namespace {

constexpr const char* kModuleDoc =
    "A small, thread-safe Redis client with TLS: Redis(...).ping(), .get(key), .close().\n"
    "Bulk values are received straight into their final bytes object, without the GIL.";

constexpr const char* kExceptionsName = "corvane._redis.exceptions";

ModuleState& module_state(PyObject* module) {
    return *static_cast<ModuleState*>(PyModule_GetState(module));
}

PyObject* new_exception(const char* name, const char* doc, PyObject* base) {
    const std::string qualified = std::string(kExceptionsName) + "." + name;
    return check(PyErr_NewExceptionWithDoc(qualified.c_str(), doc, base, nullptr)).release();
}

void add(PyObject* module, const char* name, PyObject* value) {
    check_status(PyModule_AddObjectRef(module, name, value));
}

void define_exceptions(PyObject* module, ModuleState& state) {
    state.redis_error = new_exception("RedisError", "Base of every Redis client error.",
                                      PyExc_Exception);
    state.connection_error = new_exception(
        "ConnectionError",
        "The server could not be reached or the connection broke (network, TLS or protocol).",
        state.redis_error);
    // As in redis-py, a time-out is not a ConnectionError: code written for redis-py that
    // tells them apart keeps working unchanged.
    state.timeout_error = new_exception(
        "TimeoutError",
        "The server made no progress within the configured time-out. Like redis-py's, not a\n"
        "ConnectionError: catch both (or RedisError) to handle every transport failure.",
        state.redis_error);
    state.authentication_error = new_exception(
        "AuthenticationError", "The server refused the user name or password.",
        state.connection_error);
    state.response_error = new_exception("ResponseError", "The server answered with an error.",
                                         state.redis_error);

    state.exceptions = check(PyModule_New(kExceptionsName)).release();
    const std::pair<const char*, PyObject*> classes[] = {
        {"RedisError", state.redis_error},
        {"ConnectionError", state.connection_error},
        {"TimeoutError", state.timeout_error},
        {"AuthenticationError", state.authentication_error},
        {"ResponseError", state.response_error},
    };
    for (const auto& [name, cls] : classes) {
        add(state.exceptions, name, cls);
        add(module, name, cls);
    }
    add(module, "exceptions", state.exceptions);
    // So that `import corvane._redis.exceptions` and `from ... import` find it.
    check_status(PyDict_SetItemString(PyImport_GetModuleDict(), kExceptionsName, state.exceptions));
}

int exec_module(PyObject* module) {
    PyObject* done = guarded([&] {
        ModuleState& state = module_state(module);
        define_exceptions(module, state);
        state.redis_type = make_redis_type(module).release();
        add(module, "Redis", state.redis_type);
        return none();
    });
    if (done == nullptr) return -1;
    Py_DECREF(done);
    return 0;
}

int traverse_module(PyObject* module, visitproc visit, void* arg) {
    ModuleState& state = module_state(module);
    Py_VISIT(state.redis_type);
    Py_VISIT(state.exceptions);
    Py_VISIT(state.redis_error);
    Py_VISIT(state.connection_error);
    Py_VISIT(state.timeout_error);
    Py_VISIT(state.authentication_error);
    Py_VISIT(state.response_error);
    return 0;
}

int clear_module(PyObject* module) {
    ModuleState& state = module_state(module);
    Py_CLEAR(state.redis_type);
    Py_CLEAR(state.exceptions);
    Py_CLEAR(state.redis_error);
    Py_CLEAR(state.connection_error);
    Py_CLEAR(state.timeout_error);
    Py_CLEAR(state.authentication_error);
    Py_CLEAR(state.response_error);
    return 0;
}

void free_module(void* module) { clear_module(static_cast<PyObject*>(module)); }

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
    {Py_mod_gil, Py_MOD_GIL_USED},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "corvane._redis",
    kModuleDoc,
    sizeof(ModuleState),
    nullptr,
    module_slots,
    traverse_module,
    clear_module,
    free_module,
};

}  // namespace

ModuleState& state_of(PyTypeObject* type) {
    PyObject* module = PyType_GetModuleByDef(type, &module_def);
    if (module == nullptr) throw_current();
    return module_state(module);
}

void raise_failure(const ModuleState& state, const Failure& failure) {
    PyObject* type = nullptr;
    switch (failure.kind()) {
        case FailureKind::Connection: type = state.connection_error; break;
        case FailureKind::Timeout: type = state.timeout_error; break;
        case FailureKind::Authentication: type = state.authentication_error; break;
        case FailureKind::Response: type = state.response_error; break;
        case FailureKind::Interrupted: throw_current();
    }
    throw_format(type, "%s", failure.what());
}

void check_signals_during_io() {
    int status = 0;
    {
        ReacquiredGil gil;
        status = PyErr_CheckSignals();
    }
    // The handler's exception stays pending in this thread until the command returns.
    if (status < 0) throw Failure(FailureKind::Interrupted, "interrupted by a signal");
}

}  // namespace corvane::redis

PyMODINIT_FUNC PyInit__redis() { return PyModuleDef_Init(&corvane::redis::module_def); }
