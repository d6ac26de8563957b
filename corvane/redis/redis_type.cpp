#include "corvane/redis/redis_type.h"

#include <array>
#include <string>

#include "corvane/common/args.h"
#include "corvane/common/boundary.h"
#include "corvane/common/call.h"
#include "corvane/common/nogil.h"
#include "corvane/redis/module_state.h"
#include "corvane/redis/pool.h"
#include "corvane/redis/read_budget.h"
#include "corvane/redis/settings_args.h"
#include "corvane/redis/spare_value.h"

namespace corvane::redis {

namespace {

struct RedisObject {
    PyObject_HEAD
    Pool* pool;
    SpareValue* spare;
};

Pool& pool_of(PyObject* self) { return *reinterpret_cast<RedisObject*>(self)->pool; }
SpareValue& spare_of(PyObject* self) { return *reinterpret_cast<RedisObject*>(self)->spare; }

// Runs a method body; a Failure becomes the module's exception class that stands for it.
template <typename Body>
PyObject* boundary(PyTypeObject* defining_class, Body&& body) noexcept {
    return guarded([&]() -> Ref {
        try {
            return body();
        } catch (const Failure& failure) {
            raise_failure(state_of(defining_class), failure);
        }
    });
}

std::shared_ptr<const Settings> default_settings() {
    auto settings = std::make_shared<Settings>();
    settings->on_signal = check_signals_during_io;
    return settings;
}

// A key as the bytes sent: the UTF-8 of a str, or the content of a bytes-like object.
std::string key_bytes(PyObject* key) {
    if (PyUnicode_Check(key)) return std::string(utf8(key));
    if (PyBytes_Check(key)) return std::string(PyBytes_AS_STRING(key), PyBytes_GET_SIZE(key));
    if (PyObject_CheckBuffer(key)) {
        Py_buffer view;
        check_status(PyObject_GetBuffer(key, &view, PyBUF_SIMPLE));
        std::string bytes(static_cast<const char*>(view.buf), static_cast<std::size_t>(view.len));
        PyBuffer_Release(&view);
        return bytes;
    }
    throw_format(PyExc_TypeError, "key must be str or bytes, not %.200s", Py_TYPE(key)->tp_name);
}

[[noreturn]] void unexpected_reply(const ReplyHead& head, const char* command) {
    if (head.kind == ReplyKind::Error) raise_error_reply(head.text);
    throw Failure(FailureKind::Response,
                  std::string("unexpected ") + reply_kind_name(head.kind) + " reply to " + command);
}

// --- slots ----------------------------------------------------------------------------

PyObject* redis_new(PyTypeObject* type, PyObject*, PyObject*) {
    Ref self = Ref::steal(type->tp_alloc(type, 0));
    if (!self) return nullptr;
    return guarded([&] {
        auto* object = reinterpret_cast<RedisObject*>(self.get());
        object->pool = new Pool(default_settings());
        object->spare = new SpareValue();
        return std::move(self);
    });
}

int redis_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    PyObject* done = boundary(Py_TYPE(self), [&] {
        pool_of(self).reset(settings_from_args(args, kwargs));
        return none();
    });
    if (done == nullptr) return -1;
    Py_DECREF(done);
    return 0;
}

int redis_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    return 0;
}

void redis_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    PyObject_ClearWeakRefs(self);
    // Closes every idle socket; none is in use, since a running command holds a reference.
    delete reinterpret_cast<RedisObject*>(self)->pool;
    delete reinterpret_cast<RedisObject*>(self)->spare;
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* redis_repr(PyObject* self) {
    return guarded([&] {
        const auto settings = pool_of(self).settings();
        Ref host = text(settings->host);
        return check(PyUnicode_FromFormat("<%s host=%R port=%d db=%lld ssl=%s>",
                                          Py_TYPE(self)->tp_name, host.get(), settings->port,
                                          settings->db, settings->tls ? "True" : "False"));
    });
}

// --- methods ----------------------------------------------------------------------------

PyObject* redis_get(PyObject* self, PyTypeObject* cls, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames) {
    static constexpr std::array<Param, 1> kParams{{{"name"}}};
    return boundary(cls, [&] {
        const auto parsed = parse_args("get", kParams, args, nargs, kwnames);
        const std::string command = encode_command({"GET", key_bytes(parsed[0])});
        ReadBudget* budget = current_read_budget();
        const StopWatch stop_watch(budget != nullptr ? budget->stop_fd : -1);
        Lease lease = pool_of(self).take();
        ReplyHead head;
        {
            ReleasedGil nogil;
            head = lease.command(command);
        }
        if (head.kind == ReplyKind::Null) {
            lease.give_back();
            return none();
        }
        if (head.kind != ReplyKind::Bulk) unexpected_reply(head, "GET");
        // Room for the value before its memory is taken; the rest of the reply waits in the
        // socket meanwhile. A stopped reader's connection, its reply half read, is closed.
        if (budget != nullptr) {
            ReleasedGil nogil;
            if (!budget->reserve(budget, head.length)) {
                throw Failure(FailureKind::Connection, "Read abandoned: the reads ahead were stopped.");
            }
        }
        // The value's final object, sized from the announced length and filled in place.
        Ref value = spare_of(self).take(head.length);
        char* data = PyBytes_AS_STRING(value.get());
        {
            ReleasedGil nogil;
            lease.read_body(data, head.length);
        }
        lease.give_back();
        spare_of(self).keep(value);
        if (lease.settings().decode_responses) {
            return check(PyUnicode_DecodeUTF8(data, static_cast<Py_ssize_t>(head.length), "strict"));
        }
        return value;
    });
}

PyObject* redis_ping(PyObject* self, PyTypeObject* cls, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames) {
    static constexpr std::array<Param, 0> kParams{};
    return boundary(cls, [&] {
        parse_args("ping", kParams, args, nargs, kwnames);
        static const std::string command = encode_command({"PING"});
        Lease lease = pool_of(self).take();
        ReplyHead head;
        {
            ReleasedGil nogil;
            head = lease.command(command);
        }
        if (head.kind != ReplyKind::Status) unexpected_reply(head, "PING");
        lease.give_back();
        return boolean(head.text == "PONG");
    });
}

PyObject* redis_close(PyObject* self, PyTypeObject* cls, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) {
    static constexpr std::array<Param, 0> kParams{};
    return boundary(cls, [&] {
        parse_args("close", kParams, args, nargs, kwnames);
        pool_of(self).reset();
        spare_of(self).release();
        return none();
    });
}

PyObject* redis_release_spare(PyObject* self, PyTypeObject* cls, PyObject* const* args,
                              Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr std::array<Param, 0> kParams{};
    return boundary(cls, [&] {
        parse_args("release_spare", kParams, args, nargs, kwnames);
        spare_of(self).release();
        return none();
    });
}

PyObject* redis_enter(PyObject* self, PyTypeObject* cls, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) {
    static constexpr std::array<Param, 0> kParams{};
    return boundary(cls, [&] {
        parse_args("__enter__", kParams, args, nargs, kwnames);
        return Ref::borrow(self);
    });
}

PyObject* redis_exit(PyObject* self, PyTypeObject* cls, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames) {
    static constexpr std::array<Param, 3> kParams{{{"exc_type"}, {"exc_value"}, {"traceback"}}};
    return boundary(cls, [&] {
        parse_args("__exit__", kParams, args, nargs, kwnames);
        pool_of(self).reset();
        spare_of(self).release();
        return none();
    });
}

template <auto Method>
PyMethodDef method_def(const char* name, const char* doc) {
    return {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(Method)),
            METH_METHOD | METH_FASTCALL | METH_KEYWORDS, doc};
}

PyMethodDef methods[] = {
    method_def<redis_get>("get", "get($self, name)\n--\n\nThe value of the key `name` as bytes (str "
                                 "with decode_responses), or None when the key does not exist."),
    method_def<redis_ping>("ping", "ping($self)\n--\n\nTrue when the server answers PONG."),
    method_def<redis_close>("close", "close($self)\n--\n\nCloses the idle connections; the next "
                                     "command connects again."),
    method_def<redis_release_spare>(
        "release_spare", "release_spare($self)\n--\n\nLets go of the last large value, which "
                         "the client keeps to receive the next large value into its memory once "
                         "nobody else holds it."),
    method_def<redis_enter>("__enter__", nullptr),
    method_def<redis_exit>("__exit__", nullptr),
    {nullptr, nullptr, 0, nullptr},
};

constexpr const char* kDoc =
    "Redis(host='localhost', port=6379, db=0, password=None, username=None, "
    "socket_timeout=None, socket_connect_timeout=None, ssl=False, ssl_cert_reqs='required', "
    "ssl_check_hostname=False, ssl_min_version=None, decode_responses=False)\n"
    "--\n\n"
    "A thread-safe Redis client. Each command uses a connection of its own from a small pool\n"
    "and connects on demand. socket_timeout bounds every wait for progress of a command;\n"
    "socket_connect_timeout (socket_timeout when None) bounds the TCP connect and the TLS\n"
    "handshake together.";

PyType_Slot slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(redis_new)},
    {Py_tp_init, reinterpret_cast<void*>(redis_init)},
    {Py_tp_dealloc, reinterpret_cast<void*>(redis_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(redis_traverse)},
    {Py_tp_repr, reinterpret_cast<void*>(redis_repr)},
    {Py_tp_methods, methods},
    {Py_tp_doc, const_cast<char*>(kDoc)},
    {0, nullptr},
};

PyType_Spec type_spec = {
    "corvane._redis.Redis",
    sizeof(RedisObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_MANAGED_WEAKREF,
    slots,
};

}  // namespace

Ref make_redis_type(PyObject* module) {
    return check(PyType_FromModuleAndSpec(module, &type_spec, nullptr));
}

}  // namespace corvane::redis
