// The public error vocabulary, written once: each public code belongs to a class of
// corvane.exceptions. A class's own code takes its message and retry flag from the class's
// defaults; the further codes a class stands for add only their message here.
#pragma once

#include "corvane/common/ref.h"

namespace corvane::transport {

// The client class's tables, in the documented order.
struct ErrorTables {
    Ref messages;       // PUBLIC_ERROR_MESSAGES: public code -> user message
    Ref service_codes;  // LEGACY_ERROR_CODE_MAP: service code -> public code
    Ref classes;        // ERROR_CLASS_MAP: public code -> exception class
};

ErrorTables error_tables(PyObject* module);

// The retry flag of a public code: its class's default; false for a code outside the
// vocabulary. The classes are looked up when the caller runs, as everywhere else.
bool is_retryable(PyObject* module, PyObject* public_code);

}  // namespace corvane::transport
