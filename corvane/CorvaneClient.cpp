// Module entry of corvane.CorvaneClient: imports, helper classes and the client class.
#include <atomic>

#include "corvane/_store/block_rows.h"
#include "corvane/client/abandoned.h"
#include "corvane/client/client_class.h"
#include "corvane/client/module_state.h"
#include "corvane/client/module_surface.h"
#include "corvane/common/boundary.h"
#include "corvane/session/ticket.h"
#include "corvane/transport/http_classes.h"

namespace {

constexpr const char* kModuleDoc =
    "Corvane 3.0 Client - 独立简洁版\n"
    "\n"
    "功能：\n"
    "- 获取/续租/释放 Data Ticket\n"
    "- 直连 Redis 下载数据\n"
    "- 本地 Parquet 缓存管理\n"
    "- 一键更新和读取数据\n"
    "\n"
    "使用示例：\n"
    "    import corvane as cv\n"
    "\n"
    "    client = cv.CorvaneClient(api_token=\"your_token\", save_path=\"D:/Corvane/\")\n"
    "    client.UpdateAllCategory(update_method='full')\n"
    "    df = client.GetCategory(\"cn_stock_pivot#open\")\n"
    "    client.close()\n"
    "\n"
    "    # 使用 with 语句（自动关闭）\n"
    "    with cv.CorvaneClient(api_token=\"your_token\", save_path=\"D:/Corvane/\") as client:\n"
    "        df = client.GetCategory(\"cn_stock_pivot#open\")\n";

// The module keeps its definitions in its own namespace; this flag only refuses a second
// initialisation in the same process (the classes it builds hold process-wide method tables).
std::atomic<bool> g_initialised{false};

int exec_module(PyObject* module) {
    if (g_initialised.exchange(true)) {
        PyErr_SetString(PyExc_ImportError,
                        "corvane.CorvaneClient can be initialised only once per process");
        return -1;
    }
    PyObject* done = corvane::guarded([&] {
        corvane::client::import_dependencies(module);
        corvane::client::define_sdk_version(module);
        corvane::transport::define_http_classes(module);
        corvane::session::define_data_ticket(module);
        corvane::client::define_client_class(module);
        corvane::store::define_block_reads(module);
        corvane::client::install_exit_hook(module);
        return corvane::none();
    });
    if (done == nullptr) {
        g_initialised.store(false);
        return -1;
    }
    Py_DECREF(done);
    return 0;
}

int traverse_module(PyObject* module, visitproc visit, void* arg) {
    corvane::client::ModuleState& state = corvane::client::module_state(module);
    Py_VISIT(state.clients);
    Py_VISIT(state.inherited);
    return 0;
}

int clear_module(PyObject* module) {
    corvane::client::ModuleState& state = corvane::client::module_state(module);
    Py_CLEAR(state.clients);
    Py_CLEAR(state.inherited);
    return 0;
}

void free_module(void* module) { clear_module(static_cast<PyObject*>(module)); }

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
    {Py_mod_gil, Py_MOD_GIL_USED},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "corvane.CorvaneClient",
    kModuleDoc,
    sizeof(corvane::client::ModuleState),
    nullptr,
    module_slots,
    traverse_module,
    clear_module,
    free_module,
};

}  // namespace

PyMODINIT_FUNC PyInit_CorvaneClient() { return PyModuleDef_Init(&module_def); }
