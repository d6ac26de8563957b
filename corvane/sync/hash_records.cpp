#include "corvane/sync/hash_records.h"

#include <array>
#include <string>

#include "corvane/common/args.h"
#include "corvane/common/boundary.h"
#include "corvane/common/call.h"
#include "corvane/sync/digest.h"
#include "corvane/transport/refuse.h"

namespace corvane::sync {

namespace {

constexpr const char* kRecordDirectory = "_corvane_meta_hash";

PyObject* get_hash_path(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
    return guarded([&] {
        static constexpr std::array<Param, 3> params{
            {{"self"}, {"category", ArgType::Str}, {"partition", ArgType::Str}}};
        auto a = parse_args("_get_hash_path", params, args, nargs, kwnames);
        PyObject* self = a[0];
        call_method(self, "_validate_category_name", a[1]);
        call_method(self, "_validate_partition_name", a[2]);

        Ref os = global(module, "os");
        Ref path = getattr(os.get(), "path");
        Ref save_path = getattr(self, "save_path");
        Ref directory = call_method(path.get(), "join", save_path, text(kRecordDirectory));
        call_method_kw(os.get(), "makedirs", {{"exist_ok", Py_True}}, directory);

        // Both names go into the digest, separated by a character neither can contain, so
        // that no two pairs share a record and no name shows in the file system.
        std::string key(utf8(a[1]));
        key.push_back('\0');
        key.append(utf8(a[2]));
        return call_method(path.get(), "join", directory, text(sha256_hex(key) + ".txt"));
    });
}

PyObject* check_local_hash(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
    return guarded([&] {
        static constexpr std::array<Param, 4> params{{{"self"},
                                                      {"category", ArgType::Str},
                                                      {"partition", ArgType::Str},
                                                      {"remote_hash", ArgType::Str}}};
        auto a = parse_args("_check_local_hash", params, args, nargs, kwnames);
        if (PyUnicode_GET_LENGTH(a[3]) == 0) return boolean(false);
        Ref record = call_method(a[0], "_get_hash_path", a[1], a[2]);

        Ref os = global(module, "os");
        Ref path = getattr(os.get(), "path");
        if (!truthy(call_method(path.get(), "exists", record).get())) return boolean(false);

        Ref open = global(module, "open");
        Ref file = call_kw(open.get(), {{"encoding", text("utf-8").get()}}, record, text("r"));
        Ref content;
        try {
            content = call_method(file.get(), "read");
        } catch (const PyError&) {
            PyObject* closed = PyObject_CallMethod(file.get(), "close", nullptr);
            if (closed == nullptr) PyErr_Clear();
            Py_XDECREF(closed);
            throw;
        }
        call_method(file.get(), "close");
        Ref stripped = call_method(content.get(), "strip");
        return boolean(equal(stripped.get(), a[3]));
    });
}

// Releases the descriptor or file object of a failed write; an OS error doing so is ignored.
void release_quietly(PyObject* module, PyObject* file, PyObject* descriptor) {
    PyObject* result = file != nullptr
                           ? PyObject_CallMethod(file, "close", nullptr)
                           : PyObject_CallMethod(global(module, "os").get(), "close", "O", descriptor);
    if (result == nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_OSError)) throw_current();
        PyErr_Clear();
    }
    Py_XDECREF(result);
}

PyObject* write_local_hash(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
    return guarded([&] {
        static constexpr std::array<Param, 4> params{{{"self"},
                                                      {"category", ArgType::Str},
                                                      {"partition", ArgType::Str},
                                                      {"hash_value", ArgType::Str}}};
        auto a = parse_args("_write_local_hash", params, args, nargs, kwnames);
        PyObject* self = a[0];
        call_method(self, "_validate_hash", a[3]);
        Ref record = call_method(self, "_get_hash_path", a[1], a[2]);

        Ref os = global(module, "os");
        Ref tempfile = global(module, "tempfile");
        Ref directory = call_method(getattr(os.get(), "path").get(), "dirname", record);
        Ref created = call_method_kw(tempfile.get(), "mkstemp",
                                     {{"suffix", text(".txt").get()},
                                      {"prefix", text(".tmp_").get()},
                                      {"dir", directory.get()}});
        Ref descriptor = Ref::borrow(PyTuple_GetItem(created.get(), 0));
        Ref temporary = Ref::borrow(PyTuple_GetItem(created.get(), 1));
        if (!descriptor || !temporary) throw_current();

        Ref file;
        bool released = false;
        try {
            file = call_method_kw(os.get(), "fdopen", {{"encoding", text("utf-8").get()}},
                                  descriptor, text("w"));
            call_method(file.get(), "write", a[3]);
            released = true;  // close() gives the descriptor back even when it fails
            call_method(file.get(), "close");
            call_method(os.get(), "replace", temporary, record);
        } catch (const PyError& failure) {
            if (!failure.matches(PyExc_Exception)) throw;
            if (!released) release_quietly(module, file.get(), descriptor.get());
            Ref path = getattr(os.get(), "path");
            if (truthy(call_method(path.get(), "exists", temporary).get())) {
                call_method(os.get(), "unlink", temporary);
            }
            transport::refuse(module, "LocalStorageError");
        }
        return none();
    });
}

MethodDef methods[] = {
    method("_get_hash_path", get_hash_path, "(self, category, partition)", "获取本地哈希记录文件路径。"),
    method("_check_local_hash", check_local_hash, "(self, category, partition, remote_hash)", "检查本地哈希记录是否与远程哈希一致。"),
    method("_write_local_hash", write_local_hash, "(self, category, partition, hash_value)", "原子写入本地哈希记录。"),
};

}  // namespace

std::span<MethodDef> hash_record_methods() { return methods; }

}  // namespace corvane::sync
