// The update driver: every authorised category synchronised in name order, fully or from
// sixty days back, failures counted and reported at the end.
#pragma once

#include "corvane/transport/public_boundary.h"

namespace corvane::methods {

struct UpdateParams {
    Arg self{"self"}; Arg update_method{"update_method", ArgType::Any, "'full'"};
};
extern const transport::PublicMethod<UpdateParams> UpdateAllCategory;
extern const Method<UpdateParams> update_all_category;

}  // namespace corvane::methods
