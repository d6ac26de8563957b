#include "corvane/sync/hash_records.h"

#include <string>

#include "corvane/common/args.h"
#include "corvane/common/call.h"
#include "corvane/common/quietly.h"
#include "corvane/session/metadata.h"
#include "corvane/sync/digest.h"
#include "corvane/sync/grouped_commit.h"
#include "corvane/transport/refuse.h"
#include "corvane/transport/validators.h"

namespace corvane::sync {

namespace {

Ref get_hash_path(PyObject* module, const methods::PartitionParams& args) {
    PyObject* self = args.self;
    call(self, methods::validate_category_name, args.category);
    call(self, methods::validate_partition_name, args.partition);

    // Named after a digest, so that no name shows in the file system.
    return record_path(module, self, kHashRecordFolder, partition_key(args.category, args.partition),
                       true);
}

Ref check_local_hash(PyObject* module, const methods::CheckLocalHashParams& args) {
    if (PyUnicode_GET_LENGTH(args.remote_hash) == 0) return boolean(false);
    Ref record = call(args.self, methods::get_hash_path, args.category, args.partition);
    return boolean(record_holds(module, record.get(), args.remote_hash));
}

// Releases the descriptor or file object of a failed write; an OS error doing so is ignored.
void release_quietly(PyObject* module, PyObject* file, PyObject* descriptor) {
    if (file != nullptr) {
        close_quietly(file, PyExc_OSError);
        return;
    }
    quietly([&] { call_method(global(module, "os").get(), "close", descriptor); }, PyExc_OSError);
}

// Flushes a directory's entries (a rename into it) to disk.
void sync_directory(PyObject* module, PyObject* os, PyObject* directory) {
    Ref descriptor = call_method(os, "open", directory, getattr(os, "O_RDONLY"));
    try {
        call_method(os, "fsync", descriptor);
    } catch (const PyError&) {
        release_quietly(module, nullptr, descriptor.get());
        throw;
    }
    call_method(os, "close", descriptor);
}

Ref write_local_hash(PyObject* module, const methods::WriteLocalHashParams& args) {
    PyObject* self = args.self;
    call(self, methods::validate_hash, args.hash_value);
    Ref record = call(self, methods::get_hash_path, args.category, args.partition);
    // The store's generation that holds these rows names the hash they were published under.
    Ref store = getattr_optional(self, "CV_db");
    if (store && getattr_optional(store.get(), "note_published_hash")) {
        call_method(store.get(), "note_published_hash", args.category, args.partition, args.hash_value);
    }
    // During a grouped commit the record waits for the partition's rows to be durable.
    if (GroupedCommit::keep_record(self, record.get(), args.hash_value)) return none();
    replace_file_atomically(module, record.get(), args.hash_value, false);
    return none();
}

}  // namespace

std::string partition_key(PyObject* category, PyObject* partition) {
    std::string key(utf8(category));
    key.push_back('\0');
    key.append(utf8(partition));
    return key;
}

Ref record_path(PyObject* module, PyObject* self, const char* folder, std::string_view key,
                bool create) {
    Ref os = global(module, "os");
    Ref path = getattr(os.get(), "path");
    Ref save_path = getattr(self, "save_path");
    Ref directory = call_method(path.get(), "join", save_path, text(folder));
    if (create) {
        try {
            call_method_kw(os.get(), "makedirs", {{"exist_ok", Py_True}}, directory);
        } catch (const PyError& failure) {
            // A disk that is full or read-only is the storage's failure, not the service's.
            if (!failure.matches(PyExc_OSError)) throw;
            transport::refuse_storage(module, failure);
        }
    }
    return call_method(path.get(), "join", directory, text(sha256_hex(key) + ".txt"));
}

Ref read_record(PyObject* module, PyObject* path) {
    Ref os = global(module, "os");
    if (!truthy(call_method(getattr(os.get(), "path").get(), "exists", path).get())) return Ref();

    Ref open = global(module, "open");
    Ref file = call_kw(open.get(), {{"encoding", text("utf-8").get()}}, path, text("r"));
    Ref content;
    try {
        content = call_method(file.get(), "read");
    } catch (const PyError&) {
        close_quietly(file.get(), PyExc_BaseException);
        throw;
    }
    call_method(file.get(), "close");
    return content;
}

bool record_holds(PyObject* module, PyObject* path, PyObject* hash) {
    Ref content = read_record(module, path);
    if (!content) return false;
    Ref stripped = call_method(content.get(), "strip");
    return equal(stripped.get(), hash);
}

void replace_file_atomically(PyObject* module, PyObject* path, PyObject* content, bool durable) {
    Ref os = global(module, "os");
    Ref tempfile = global(module, "tempfile");
    Ref directory = call_method(getattr(os.get(), "path").get(), "dirname", path);
    Ref created;
    try {
        created = call_method_kw(tempfile.get(), "mkstemp",
                                 {{"suffix", text(".txt").get()},
                                  {"prefix", text(".tmp_").get()},
                                  {"dir", directory.get()}});
    } catch (const PyError& failure) {
        if (!failure.matches(PyExc_OSError)) throw;
        transport::refuse_storage(module, failure);
    }
    Ref descriptor = Ref::borrow(PyTuple_GetItem(created.get(), 0));
    Ref temporary = Ref::borrow(PyTuple_GetItem(created.get(), 1));
    if (!descriptor || !temporary) throw_current();

    Ref file;
    bool released = false;
    try {
        file = call_method_kw(os.get(), "fdopen", {{"encoding", text("utf-8").get()}},
                              descriptor, text("w"));
        call_method(file.get(), "write", content);
        if (durable) {
            call_method(file.get(), "flush");
            call_method(os.get(), "fsync", call_method(file.get(), "fileno"));
        }
        released = true;  // close() gives the descriptor back even when it fails
        call_method(file.get(), "close");
        call_method(os.get(), "replace", temporary, path);
        if (durable) sync_directory(module, os.get(), directory.get());
    } catch (const PyError& failure) {
        if (!failure.matches(PyExc_Exception)) throw;
        if (!released) release_quietly(module, file.get(), descriptor.get());
        Ref exists = call_method(getattr(os.get(), "path").get(), "exists", temporary);
        if (truthy(exists.get())) call_method(os.get(), "unlink", temporary);
        transport::refuse_storage(module, failure);
    }
}

}  // namespace corvane::sync

namespace corvane::methods {

const Method<PartitionParams> get_hash_path{"_get_hash_path", sync::get_hash_path, "获取本地哈希记录文件路径。"};
const Method<CheckLocalHashParams> check_local_hash{"_check_local_hash", sync::check_local_hash, "检查本地哈希记录是否与远程哈希一致。"};
const Method<WriteLocalHashParams> write_local_hash{"_write_local_hash", sync::write_local_hash, "原子写入本地哈希记录。"};

}  // namespace corvane::methods
