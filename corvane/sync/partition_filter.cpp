#include "corvane/sync/partition_filter.h"

#include "corvane/common/args.h"
#include "corvane/common/call.h"

namespace corvane::sync {

namespace {

Py_ssize_t count_hyphens(PyObject* name) {
    Py_ssize_t hyphens = 0;
    const Py_ssize_t length = PyUnicode_GET_LENGTH(name);
    for (Py_ssize_t i = 0; i < length; ++i) hyphens += PyUnicode_READ_CHAR(name, i) == '-';
    return hyphens;
}

bool all_digits(PyObject* name) {
    const Py_ssize_t length = PyUnicode_GET_LENGTH(name);
    for (Py_ssize_t i = 0; i < length; ++i) {
        if (!Py_UNICODE_ISDIGIT(PyUnicode_READ_CHAR(name, i))) return false;
    }
    return length > 0;
}

// The period text that a dated name is compared with, or null for an undated name.
PyObject* bound_for(PyObject* name, PyObject* day, PyObject* month, PyObject* year) {
    const Py_ssize_t length = PyUnicode_GET_LENGTH(name);
    if (length == 10 && count_hyphens(name) == 2) return day;
    if (length == 7 && count_hyphens(name) == 1) return month;
    if (length == 4 && all_digits(name)) return year;
    return nullptr;
}

Ref filter_partitions_by_date(PyObject*, const methods::FilterPartitionsByDateParams& args) {
    PyObject* partitions = args.partitions;
    Ref day = call_method(args.start_date, "strftime", text("%Y-%m-%d"));
    Ref month = call_method(args.start_date, "strftime", text("%Y-%m"));
    Ref year = call_method(args.start_date, "strftime", text("%Y"));

    Ref selected = check(PyList_New(0));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(partitions); ++i) {
        Ref name = Ref::borrow(PyList_GET_ITEM(partitions, i));
        if (!PyUnicode_CheckExact(name.get())) {
            throw_format(PyExc_TypeError, "Expected %.16s, got %.200s", "str",
                         Py_TYPE(name.get())->tp_name);
        }
        PyObject* bound = bound_for(name.get(), day.get(), month.get(), year.get());
        // Zero-filled names compare by code point in calendar order.
        const bool keep = bound == nullptr ||
                          check_status(PyObject_RichCompareBool(name.get(), bound, Py_GE)) != 0;
        if (keep) check_status(PyList_Append(selected.get(), name.get()));
    }
    return selected;
}

}  // namespace

}  // namespace corvane::sync

namespace corvane::methods {

const Method<FilterPartitionsByDateParams> filter_partitions_by_date{"_filter_partitions_by_date", sync::filter_partitions_by_date,
                                                                     "按起始日期筛选分区（日、月、年分区按名称比较，其余分区全部保留）。"};

}  // namespace corvane::methods
