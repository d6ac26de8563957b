#include "corvane/client/abandoned.h"

#include <exception>

#include "corvane/client/module_state.h"
#include "corvane/client/session_release.h"
#include "corvane/common/args.h"
#include "corvane/common/call.h"

namespace corvane::client {

namespace {

// Runs `body` and drops whatever it raises: a finaliser or an exit hook has no caller to
// tell, and must not write to the log or to stderr.
template <typename Body>
void silently(Body&& body) noexcept {
    try {
        body();
    } catch (const PyError&) {
        // The exception object goes with the PyError; the indicator is already clear.
    } catch (const std::exception&) {
    }
}

// True while the client may still hold a session: it has a Redis connection, or its
// heartbeat has not been told to stop. close() (and a failed start) leave neither; an
// instance whose construction never got that far has neither attribute.
bool holds_session(PyObject* self) {
    Ref connection = getattr_optional(self, "_redis_client");
    if (connection && !connection.is_none()) return true;
    Ref stop = getattr_optional(self, "_stop_heartbeat");
    return stop && !truthy(call_method(stop.get(), "is_set").get());
}

// close() without its log lines and without waiting for the heartbeat: the finaliser may
// run on the heartbeat thread itself, and the thread ends on its own once told.
void release_abandoned(PyObject* self) {
    if (holds_session(self)) release_quietly(self, signal_heartbeat_stop);
}

// A forked child inherits copies of its parent's clients; releasing them would end the
// parent's sessions. The child forgets them: its exit hook skips them, and so does the
// finaliser, by address (see client_del).
PyObject* forget_inherited_clients(PyObject* module, PyObject*) {
    silently([&] {
        ModuleState& state = module_state(module);
        Ref inherited = check(PySet_New(nullptr));
        Ref clients = check(PySequence_List(state.clients));
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(clients.get()); ++i) {
            Ref address = check(PyLong_FromVoidPtr(PyList_GET_ITEM(clients.get(), i)));
            check_status(PySet_Add(inherited.get(), address.get()));
        }
        call_method(state.clients, "clear");
        Py_XSETREF(state.inherited, inherited.release());
    });
    return Py_NewRef(Py_None);
}

bool inherited_from_parent(PyObject* module, PyObject* self) {
    PyObject* inherited = module_state(module).inherited;
    if (inherited == nullptr) return false;
    Ref address = check(PyLong_FromVoidPtr(self));
    return check_status(PySet_Discard(inherited, address.get())) == 1;
}

PyObject* release_open_clients(PyObject* module, PyObject*) {
    silently([&] {
        Ref clients = check(PySequence_List(module_state(module).clients));
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(clients.get()); ++i) {
            release_abandoned(PyList_GET_ITEM(clients.get(), i));
        }
    });
    return Py_NewRef(Py_None);
}

Ref client_del(PyObject* module, const SelfParams& args) {
    // While the interpreter finalises, the exit hook has already released every open
    // client, and the modules that a release needs may be gone.
    if (!Py_IsFinalizing()) {
        silently([&] {
            if (!inherited_from_parent(module, args.self)) release_abandoned(args.self);
        });
    }
    return none();
}

PyMethodDef exit_hook_def = {"_release_open_clients", release_open_clients, METH_NOARGS,
                             nullptr};
PyMethodDef fork_hook_def = {"_forget_inherited_clients", forget_inherited_clients,
                             METH_NOARGS, nullptr};

Ref module_function(PyObject* module, PyMethodDef& def) {
    Ref module_name = getattr(module, "__name__");
    return check(PyCFunction_NewEx(&def, module, module_name.get()));
}

}  // namespace

void install_exit_hook(PyObject* module) {
    Ref weakref = import("weakref");
    module_state(module).clients = call_method(weakref.get(), "WeakSet").release();
    Ref atexit = import("atexit");
    call_method(atexit.get(), "register", module_function(module, exit_hook_def));
    Ref os = import("os");
    call_method_kw(os.get(), "register_at_fork",
                   {{"after_in_child", module_function(module, fork_hook_def).get()}});
}

void track_client(PyObject* module, PyObject* self) {
    call_method(module_state(module).clients, "add", self);
}

}  // namespace corvane::client

namespace corvane::methods {

const Method<SelfParams> del{"__del__", client::client_del, "未关闭即被回收时释放连接"};

}  // namespace corvane::methods
