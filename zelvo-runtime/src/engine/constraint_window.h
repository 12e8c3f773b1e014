// ConstraintWindow: the sliding window of one constraint target.
#pragma once

#include <cstdint>
#include <vector>

#include "model/policy.h"

namespace zelvo {

struct ConstraintWindow {
  CompiledConstraint constraint;
  std::vector<std::uint64_t> timestamps;
};

}  // namespace zelvo
