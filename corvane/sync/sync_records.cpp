#include "corvane/sync/sync_records.h"

#include <string>

#include "corvane/common/call.h"
#include "corvane/common/quietly.h"
#include "corvane/session/metadata.h"
#include "corvane/sync/hash_records.h"

namespace corvane::sync {

namespace {

constexpr const char* kDayFormat = "%Y-%m-%d";
// Record keys: the category, U+0000 and a word that starts with "."; no partition name does,
// so a run record never shares its name with a partition's record.
constexpr const char* kStarted = ".started";
constexpr const char* kCompleted = ".completed";

// The paths of a category's two run records in `folder` (its name validated by the caller).
struct RunRecords {
    Ref started;
    Ref completed;
};

RunRecords run_records(PyObject* module, PyObject* self, PyObject* category, const char* folder,
                       bool create) {
    auto path = [&](const char* which) {
        std::string key(utf8(category));
        key.push_back('\0');
        key.append(which);
        return record_path(module, self, folder, key, create);
    };
    Ref started = path(kStarted);
    return {std::move(started), path(kCompleted)};
}

// The records as the last release kept them, among the hash records (same names). They are
// read where they are until the category's next synchronisation takes their state over.
RunRecords legacy_run_records(PyObject* module, PyObject* self, PyObject* category) {
    return run_records(module, self, category, kHashRecordFolder, false);
}

// A record's JSON object; an empty one for a damaged record (read as a run of unknown start
// that did not complete); a null Ref when there is no record.
Ref load_record(PyObject* module, PyObject* path) {
    try {
        Ref content = read_record(module, path);
        if (!content) return Ref();
        Ref value = call_method(global(module, "json").get(), "loads", content);
        if (PyDict_Check(value.get())) return value;
    } catch (const PyError& failure) {
        if (!failure.matches(PyExc_ValueError)) throw;
    }
    return check(PyDict_New());
}

void write_record(PyObject* module, PyObject* path, const Ref& run, PyObject* start,
                  bool durable) {
    Ref record = check(PyDict_New());
    check_status(PyDict_SetItemString(record.get(), "run", run.get()));
    if (start != nullptr) check_status(PyDict_SetItemString(record.get(), "start", start));
    Ref content = call_method(global(module, "json").get(), "dumps", record);
    replace_file_atomically(module, path, content.get(), durable);
}

// A member of a record when it is text, else None.
Ref text_member(PyObject* record, const char* name) {
    Ref value = get_item_optional(record, name);
    return value && PyUnicode_Check(value.get()) ? value : none();
}

// The start of the recorded run when it did not complete; a null Ref when it did or when
// there is no record of a run.
Ref pending_start(PyObject* module, const RunRecords& records) {
    Ref started = load_record(module, records.started.get());
    if (!started) return Ref();
    Ref run = text_member(started.get(), "run");
    Ref completed = load_record(module, records.completed.get());
    if (completed && !run.is_none() && equal(text_member(completed.get(), "run").get(), run.get())) {
        return Ref();
    }
    return text_member(started.get(), "start");
}

// The day from which a start date selects partitions, as the partition filter compares it;
// None for the whole category, and for a value that has no date (a full synchronisation is
// the safe reading of it).
Ref start_day(PyObject* module, PyObject* start) {
    if (start == Py_None) return none();
    Ref date = Ref::borrow(start);
    if (PyUnicode_Check(start)) {
        date = call_method(global(module, "datetime").get(), "strptime", start, text(kDayFormat));
    }
    if (!getattr_optional(date.get(), "strftime")) return none();
    Ref day = call_method(date.get(), "strftime", text(kDayFormat));
    return PyUnicode_Check(day.get()) ? day : none();
}

// Whether a synchronisation from day `from` reaches back to day `to` (None: the beginning).
bool reaches(PyObject* from, PyObject* to) {
    if (from == Py_None) return true;
    if (to == Py_None) return false;
    // Zero-filled day texts compare by code point in calendar order.
    return check_status(PyObject_RichCompareBool(from, to, Py_LE)) != 0;
}

// The earlier of two starts of runs to do again (None: the beginning); a null Ref for none.
Ref earlier(Ref a, Ref b) {
    if (!a) return b;
    if (!b) return a;
    return reaches(a.get(), b.get()) ? a : b;
}

// The start from which the category has to be synchronised again, by its records and by
// any that the last release left among the hash records (which an older client may still
// write); a null Ref when neither shows an unfinished run.
Ref unfinished_start(PyObject* module, PyObject* self, PyObject* category,
                     const RunRecords& records) {
    return earlier(pending_start(module, records),
                   pending_start(module, legacy_run_records(module, self, category)));
}

}  // namespace

SyncRun::SyncRun(PyObject* module, PyObject* self, PyObject* category, PyObject* start)
    : module_(module) {
    call(self, methods::validate_category_name, category);
    RunRecords records = run_records(module, self, category, kSyncRecordFolder, true);
    completed_path_ = records.completed;
    Ref day = start_day(module, start);
    Ref interrupted = unfinished_start(module, self, category, records);
    covers_interrupted_ = !interrupted || reaches(day.get(), interrupted.get());
    // A run that starts later than an interrupted one keeps that one's start, to be done again.
    Ref recorded = covers_interrupted_ ? day : interrupted;
    Ref random = call_method(global(module, "os").get(), "urandom", integer(16));
    run_ = call_method(random.get(), "hex");
    // On disk before the first store call, or a crash could leave data that no record flags.
    write_record(module, records.started.get(), run_, recorded.get(), true);
    // The record just written carries what the last release's records said; they go, so
    // that the hash record folder holds hash records only. One left by a failure here is
    // read again, which can only ask for one more synchronisation.
    RunRecords legacy = legacy_run_records(module, self, category);
    Ref os = global(module, "os");
    for (const Ref* path : {&legacy.started, &legacy.completed}) {
        quietly([&] { call_method(os.get(), "unlink", *path); }, PyExc_OSError);
    }
}

void SyncRun::complete() {
    // A lost completion record costs one more synchronisation, never a partial read.
    if (covers_interrupted_) write_record(module_, completed_path_.get(), run_, nullptr, false);
}

Ref interrupted_start(PyObject* module, PyObject* self, PyObject* category) {
    call(self, methods::validate_category_name, category);
    return unfinished_start(module, self, category,
                            run_records(module, self, category, kSyncRecordFolder, false));
}

}  // namespace corvane::sync
