// The read side of the client: one category as a frame, the remote and the local lists.
#pragma once

#include "corvane/transport/public_boundary.h"

namespace corvane::methods {

struct ReadParams {
    Arg self{"self"}; Arg category{"category", ArgType::Str};
    Arg start_date{"start_date", ArgType::StrOrNone, "None"};
    Arg end_date{"end_date", ArgType::StrOrNone, "None"};
    Arg as_of{"as_of", ArgType::Any, "None", kKeywordOnly};
    Arg columns{"columns", ArgType::Any, "None", kKeywordOnly};
};
extern const transport::PublicMethod<ReadParams> GetCategory;
extern const Method<ReadParams> get_category;

struct HistoryParams {
    Arg self{"self"}; Arg category{"category", ArgType::Str};
    Arg details{"details", ArgType::Any, "False", kKeywordOnly};
};
extern const transport::PublicMethod<HistoryParams> ListCategoryHistory;
extern const Method<HistoryParams> list_category_history;

extern const transport::PublicMethod<SelfParams> ListCategories;
extern const Method<SelfParams> list_categories;
extern const Method<SelfParams> ListLocalCategories;

}  // namespace corvane::methods
