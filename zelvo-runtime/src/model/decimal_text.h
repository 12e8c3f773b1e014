// Shortest round-trip decimal text of a double, without exponent notation.
//
// Shared by the display text of Float values and by the decoder's messages,
// which show a float that was found where something else was expected.
#pragma once

#include <string>

namespace zelvo {

// The shortest digits that read back as the same double (std::to_chars),
// laid out in plain decimal notation: 1e21 gives "1000000000000000000000",
// 1.5e-7 gives "0.00000015", 2.0 gives "2", -0.0 gives "-0". Digits are only
// placed and padded with zeros, never rounded. `value` must be finite.
std::string plain_decimal(double value);

}  // namespace zelvo
