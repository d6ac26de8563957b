#include "corvane/client/abandoned.h"

#include <algorithm>
#include <chrono>
#include <exception>
#include <vector>

#include "corvane/client/module_state.h"
#include "corvane/client/session_release.h"
#include "corvane/common/args.h"
#include "corvane/common/call.h"
#include "corvane/common/quietly.h"

namespace corvane::client {

namespace {

// How long an exit, or a finaliser, waits for the releases it starts. The disconnect waits
// up to 10 seconds for its reply; a service that does not answer must not hold the end of
// a script that long, once per client.
constexpr double kReleaseSeconds = 2.0;

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

PyObject* give_back_ticket(PyObject*, PyObject* client) {
    silently([&] { release_ticket(client); });
    return Py_NewRef(Py_None);
}

PyMethodDef give_back_def = {"_give_back_abandoned_ticket", give_back_ticket, METH_O, nullptr};

Ref module_function(PyObject* module, PyMethodDef& def) {
    Ref module_name = getattr(module, "__name__");
    return check(PyCFunction_NewEx(&def, module, module_name.get()));
}

// close() for each of `clients` that still holds a session, without its log lines and
// without waiting for the heartbeat (a finaliser may run on the heartbeat thread itself,
// which ends on its own once told). The local steps run here; the disconnects, which wait
// for the service, each on a daemon thread of its own, waited for together at most
// kReleaseSeconds. One still waiting then goes on by itself, until its reply or the end of
// the process; its client, told to stop and without a connection, is not released again.
void release_abandoned(PyObject* module, const std::vector<Ref>& clients) {
    const auto deadline = std::chrono::steady_clock::now() +
                          std::chrono::duration<double>(kReleaseSeconds);
    Ref thread_class = getattr(import("threading").get(), "Thread");
    Ref target = module_function(module, give_back_def);
    Ref name = text("corvane-release");
    std::vector<Ref> started;
    for (const Ref& client : clients) {
        if (!holds_session(client.get())) continue;
        quietly([&] { signal_heartbeat_stop(client.get()); });
        quietly([&] { drop_redis(client.get()); });
        try {
            Ref args = check(PyTuple_Pack(1, client.get()));
            Ref thread = call_kw(thread_class.get(), {{"target", target.get()}, {"args", args.get()},
                                                      {"name", name.get()}, {"daemon", Py_True}});
            call_method(thread.get(), "start");
            started.push_back(std::move(thread));
        } catch (const PyError& failure) {
            if (!failure.matches(PyExc_Exception)) throw;
            // No thread to be had: given back here, unbounded, rather than not at all.
            silently([&] { release_ticket(client.get()); });
        }
    }
    for (const Ref& thread : started) {
        const std::chrono::duration<double> left = deadline - std::chrono::steady_clock::now();
        call_method(thread.get(), "join", floating(std::max(left.count(), 0.0)));
    }
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

// The exit hook: every client still open, all at once.
PyObject* release_open_clients(PyObject* module, PyObject*) {
    silently([&] {
        Ref clients = check(PySequence_List(module_state(module).clients));
        std::vector<Ref> open;
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(clients.get()); ++i) {
            open.push_back(Ref::borrow(PyList_GET_ITEM(clients.get(), i)));
        }
        release_abandoned(module, open);
    });
    return Py_NewRef(Py_None);
}

Ref client_del(PyObject* module, const SelfParams& args) {
    // While the interpreter finalises, the exit hook has already released every open
    // client, and the modules that a release needs may be gone.
    if (!Py_IsFinalizing()) {
        silently([&] {
            // Waited for (boundedly): the next client a notebook makes may need the session
            // that this one gives back.
            if (!inherited_from_parent(module, args.self)) {
                release_abandoned(module, {Ref::borrow(args.self)});
            }
        });
    }
    return none();
}

PyMethodDef exit_hook_def = {"_release_open_clients", release_open_clients, METH_NOARGS,
                             nullptr};
PyMethodDef fork_hook_def = {"_forget_inherited_clients", forget_inherited_clients,
                             METH_NOARGS, nullptr};

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
