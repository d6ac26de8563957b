#include "corvane/sync/sync_records.h"

#include <string>

#include "corvane/common/call.h"
#include "corvane/session/metadata.h"
#include "corvane/sync/hash_records.h"

namespace corvane::sync {

namespace {

constexpr const char* kDayFormat = "%Y-%m-%d";
// Record keys: the category, U+0000 and a word that starts with "."; no partition name does,
// so a run record never shares its name with a hash record.
constexpr const char* kStarted = ".started";
constexpr const char* kCompleted = ".completed";

Ref run_record_path(PyObject* module, PyObject* self, PyObject* category, const char* which,
                    bool create) {
    call(self, methods::validate_category_name, category);
    std::string key(utf8(category));
    key.push_back('\0');
    key.append(which);
    return record_path(module, self, key, create);
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
Ref pending_start(PyObject* module, PyObject* started_path, PyObject* completed_path) {
    Ref started = load_record(module, started_path);
    if (!started) return Ref();
    Ref run = text_member(started.get(), "run");
    Ref completed = load_record(module, completed_path);
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

}  // namespace

SyncRun::SyncRun(PyObject* module, PyObject* self, PyObject* category, PyObject* start)
    : module_(module) {
    Ref started_path = run_record_path(module, self, category, kStarted, true);
    completed_path_ = run_record_path(module, self, category, kCompleted, true);
    Ref day = start_day(module, start);
    Ref interrupted = pending_start(module, started_path.get(), completed_path_.get());
    covers_interrupted_ = !interrupted || reaches(day.get(), interrupted.get());
    // A run that starts later than an interrupted one keeps that one's start, to be done again.
    Ref recorded = covers_interrupted_ ? day : interrupted;
    Ref random = call_method(global(module, "os").get(), "urandom", integer(16));
    run_ = call_method(random.get(), "hex");
    // On disk before the first store call, or a crash could leave data that no record flags.
    write_record(module, started_path.get(), run_, recorded.get(), true);
}

void SyncRun::complete() {
    // A lost completion record costs one more synchronisation, never a partial read.
    if (covers_interrupted_) write_record(module_, completed_path_.get(), run_, nullptr, false);
}

Ref interrupted_start(PyObject* module, PyObject* self, PyObject* category) {
    Ref started_path = run_record_path(module, self, category, kStarted, false);
    Ref completed_path = run_record_path(module, self, category, kCompleted, false);
    return pending_start(module, started_path.get(), completed_path.get());
}

}  // namespace corvane::sync
