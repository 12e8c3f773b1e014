// The verdict rule: how one IRVerdict of a fired rule changes the running
// verdict and reason of an evaluation.
//
//   - An entry is adopted when its verdict is Deny or the running verdict is
//     still Allow: Deny dominates, otherwise the first non-Allow verdict
//     stands.
//   - A message's text is the string when its value is a String and the
//     empty text otherwise. Evaluation has no effects, so the message of an
//     entry that is not adopted, whose text would be dropped, is not
//     evaluated at all: the result is the same as if it were.
//   - When adopted, the verdict becomes the entry's; the reason becomes the
//     message text when there is a message and is kept otherwise.
#pragma once

#include "engine/result.h"
#include "eval/eval.h"
#include "model/policy.h"

namespace zelvo {

// True when an entry with verdict `entry` replaces the running verdict.
constexpr bool adopts(Verdict running, Verdict entry) noexcept {
  return entry == Verdict::Deny || running == Verdict::Allow;
}

void apply_verdict(const IRVerdict& entry, const EvalContext& ctx, EvalResult& result);

}  // namespace zelvo
