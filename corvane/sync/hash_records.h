// Local hash records: one small file per (category, partition) holding the verified hash
// text of the stored partition, replaced atomically.
#pragma once

#include <string>
#include <string_view>

#include "corvane/common/method.h"
#include "corvane/session/metadata.h"

namespace corvane::sync {

// The client's record folders under `save_path`: one hash record per (category, partition)
// in the first, nothing else; the records of each category's synchronisation in the second.
inline constexpr const char* kHashRecordFolder = "_corvane_meta_hash";
inline constexpr const char* kSyncRecordFolder = "_corvane_meta_sync";

// The key of a partition's records: both names, separated by a character neither can
// contain, so that no two pairs share a record.
std::string partition_key(PyObject* category, PyObject* partition);

// The path of the record named after the digest of `key` in the record folder `folder`
// under `save_path`; `create` makes the folder first (its failure: LocalStorageError).
Ref record_path(PyObject* module, PyObject* self, const char* folder, std::string_view key,
                bool create);

// The text of the record at `path` (str), or a null Ref when there is none.
Ref read_record(PyObject* module, PyObject* path);

// Whether the record at `path` holds `hash` (white space around it ignored); false when
// there is none.
bool record_holds(PyObject* module, PyObject* path, PyObject* hash);

// Replaces the file at `path` (str) by one holding `content` (str, as UTF-8): written to a
// ".tmp_*.txt" file in the same directory and renamed over it, so that a reader sees the old
// file or the new one whole. `durable` also flushes the file and the rename to disk first.
// A failing write leaves no temporary file and raises LocalStorageError.
void replace_file_atomically(PyObject* module, PyObject* path, PyObject* content, bool durable);

}  // namespace corvane::sync

namespace corvane::methods {

struct CheckLocalHashParams {
    Arg self{"self"}; Arg category{"category", ArgType::Str};
    Arg partition{"partition", ArgType::Str}; Arg remote_hash{"remote_hash", ArgType::Str};
};
extern const Method<CheckLocalHashParams> check_local_hash;

struct WriteLocalHashParams {
    Arg self{"self"}; Arg category{"category", ArgType::Str};
    Arg partition{"partition", ArgType::Str}; Arg hash_value{"hash_value", ArgType::Str};
};
extern const Method<WriteLocalHashParams> write_local_hash;

extern const Method<PartitionParams> get_hash_path;

}  // namespace corvane::methods
