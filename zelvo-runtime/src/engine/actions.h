// Building the Action records that a fired rule requests.
#pragma once

#include "engine/result.h"
#include "eval/eval.h"
#include "model/policy.h"

namespace zelvo {

// Evaluates each argument of `action` in its listed order and stores it
// under its name; a later argument with the same name replaces an earlier
// one. The verb is copied; it has no effect on the verdict.
Action build_action(const IRAction& action, const EvalContext& ctx);

}  // namespace zelvo
