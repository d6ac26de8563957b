#include "corvane/transport/error_vocabulary.h"

#include <utility>

#include "corvane/common/call.h"

namespace corvane::transport {

namespace {

struct PublicCode {
    const char* exception_class;
    // Null for the class's default code; otherwise a further code of the class and its message.
    const char* code = nullptr;
    const char* message = nullptr;
};

// In table order.
constexpr PublicCode kPublicCodes[] = {
    {"AuthError"},
    {"PermissionDeniedError", "ACCOUNT_UNAVAILABLE", "账号不可用，请联系管理员处理"},
    {"PermissionDeniedError", "SUBSCRIPTION_UNAVAILABLE", "套餐不可用或已过期，请续费后重试"},
    {"PermissionDeniedError"},
    {"QuotaExceededError"},
    {"DataConnectionError"},
    {"APIError"},
    {"ServiceUnavailableError"},
    {"RemoteDataError"},
    {"SerializationError"},
};

// The codes the service sends, onto public codes.
constexpr std::pair<const char*, const char*> kServiceCodes[] = {
    {"Unauthorized", "AUTH_INVALID"},
    {"UserDisabled", "ACCOUNT_UNAVAILABLE"},
    {"SubscriptionInvalid", "SUBSCRIPTION_UNAVAILABLE"},
    {"SubscriptionExpired", "SUBSCRIPTION_UNAVAILABLE"},
    {"NoDatasetAccess", "PERMISSION_DENIED"},
    {"ConnectionLimitExceeded", "CONNECTION_LIMIT"},
    {"InvalidRequest", "REQUEST_INVALID"},
    {"MissingParameters", "REQUEST_INVALID"},
    {"TicketNotFound", "CONNECTION_INTERRUPTED"},
    {"TicketExpired", "CONNECTION_INTERRUPTED"},
    {"SessionNotFound", "CONNECTION_INTERRUPTED"},
    {"SessionExpired", "CONNECTION_INTERRUPTED"},
    {"RenewFailed", "CONNECTION_INTERRUPTED"},
    {"InternalError", "SERVICE_UNAVAILABLE"},
};

struct Entry {
    Ref exception_class;
    Ref code;
};

Entry entry(PyObject* module, const PublicCode& row) {
    Ref exception_class = global(module, row.exception_class);
    Ref code = row.code != nullptr ? text(row.code) : getattr(exception_class.get(), "default_code");
    return {std::move(exception_class), std::move(code)};
}

Ref message(const PublicCode& row, PyObject* exception_class) {
    return row.message != nullptr ? text(row.message)
                                  : getattr(exception_class, "default_user_message");
}

}  // namespace

ErrorTables error_tables(PyObject* module) {
    ErrorTables tables{check(PyDict_New()), check(PyDict_New()), check(PyDict_New())};
    for (const PublicCode& row : kPublicCodes) {
        Entry public_code = entry(module, row);
        Ref user_message = message(row, public_code.exception_class.get());
        check_status(PyDict_SetItem(tables.messages.get(), public_code.code.get(),
                                    user_message.get()));
        check_status(PyDict_SetItem(tables.classes.get(), public_code.code.get(),
                                    public_code.exception_class.get()));
    }
    for (const auto& [service_code, public_code] : kServiceCodes) {
        check_status(PyDict_SetItemString(tables.service_codes.get(), service_code,
                                          text(public_code).get()));
    }
    return tables;
}

bool is_retryable(PyObject* module, PyObject* public_code) {
    for (const PublicCode& row : kPublicCodes) {
        Entry known = entry(module, row);
        if (equal(known.code.get(), public_code)) {
            return truthy(getattr(known.exception_class.get(), "default_retryable").get());
        }
    }
    return false;
}

}  // namespace corvane::transport
