#include "corvane/session/ticket.h"

#include "corvane/common/method.h"

namespace corvane::session {

namespace {

// expires_at - now, through the module's `datetime` so that a test can move the clock.
Ref time_left(PyObject* module, PyObject* ticket) {
    Ref datetime = global(module, "datetime");
    Ref now = call_method(datetime.get(), "now");
    Ref expires_at = getattr(ticket, "expires_at");
    return check(PyNumber_Subtract(expires_at.get(), now.get()));
}

Ref is_expired(PyObject* module, const SelfParams& args) {
    Ref datetime = global(module, "datetime");
    Ref now = call_method(datetime.get(), "now");
    Ref expires_at = getattr(args.self, "expires_at");
    // The expiry instant itself counts as expired.
    return check(PyObject_RichCompare(now.get(), expires_at.get(), Py_GE));
}

Ref ttl_seconds(PyObject* module, const SelfParams& args) {
    Ref left = time_left(module, args.self);
    Ref seconds = call_method(left.get(), "total_seconds");
    const double value = PyFloat_AsDouble(seconds.get());
    if (value == -1.0 && PyErr_Occurred()) throw_current();
    return floating(value > 0.0 ? value : 0.0);
}

Ref hidden_repr(PyObject*, const SelfParams&) {
    // Never show a field: the record holds the Redis password.
    return text("DataTicket(<hidden>)");
}

const Method<SelfParams> is_expired_property{"is_expired", is_expired,
                                             "当前时间已到达或超过 expires_at 时为真。", Binding::Property};
const Method<SelfParams> ttl_seconds_property{"ttl_seconds", ttl_seconds,
                                              "距 expires_at 的剩余秒数，最小为 0。", Binding::Property};
const Method<SelfParams> repr{"__repr__", hidden_repr};

std::span<MethodDef> ticket_methods() {
    static MethodDef methods[] = {define<is_expired_property>(), define<ttl_seconds_property>(),
                                  define<repr>()};
    return methods;
}


struct Field {
    const char* name;
    const char* annotation;  // a name of the module's namespace or of builtins
    PyObject* (*fallback)();  // null for a required field
};

PyObject* no_value() { return Py_NewRef(Py_None); }
PyObject* false_value() { return Py_NewRef(Py_False); }

constexpr Field kFields[] = {
    {"ticket_id", "str", nullptr},
    {"session_id", "str", nullptr},
    {"redis_host", "str", nullptr},
    {"redis_port", "int", nullptr},
    {"redis_password", "str", nullptr},
    {"expires_at", "datetime", nullptr},
    {"datasets", "List[str]", nullptr},
    {"key_patterns", "List[str]", nullptr},
    {"category_patterns", "Optional[List[str]]", no_value},
    {"redis_username", "Optional[str]", no_value},
    {"redis_ssl", "bool", false_value},
    {"redis_transport_policy", "Optional[str]", no_value},
};

}  // namespace

void define_data_ticket(PyObject* module) {
    Ref dict = check(PyDict_New());
    Ref annotations = check(PyDict_New());
    for (const Field& field : kFields) {
        check_status(PyDict_SetItemString(annotations.get(), field.name, text(field.annotation).get()));
        if (field.fallback != nullptr) {
            Ref value = check(field.fallback());
            check_status(PyDict_SetItemString(dict.get(), field.name, value.get()));
        }
    }
    check_status(PyDict_SetItemString(dict.get(), "__annotations__", annotations.get()));
    add_methods(module, dict.get(), ticket_methods());
    Ref bases = check(PyTuple_New(0));
    Ref record = make_class(module, "DataTicket", bases.get(), dict.get(),
                            "Data Ticket data returned by the service.");
    Ref dataclass = global(module, "dataclass");
    Ref decorate = call_kw(dataclass.get(), {{"repr", Py_False}});
    Ref ticket = call(decorate.get(), record);
    setattr(module, "DataTicket", ticket.get());
}

}  // namespace corvane::session
