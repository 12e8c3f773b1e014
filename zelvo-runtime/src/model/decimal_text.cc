#include "model/decimal_text.h"

#include <charconv>
#include <string_view>

namespace zelvo {

std::string plain_decimal(double value) {
  // Scientific form keeps the buffer small and gives the significant digits
  // and the exponent separately: "[-]D[.DDD]e±XX".
  char buf[32];
  const auto res = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::scientific);
  std::string_view sci(buf, static_cast<std::size_t>(res.ptr - buf));

  std::string out;
  if (!sci.empty() && sci.front() == '-') {
    out.push_back('-');
    sci.remove_prefix(1);
  }
  const std::size_t e_pos = sci.find('e');
  const std::string_view mantissa = sci.substr(0, e_pos);
  std::string_view exp_text = sci.substr(e_pos + 1);
  if (!exp_text.empty() && exp_text.front() == '+') exp_text.remove_prefix(1);  // from_chars takes no '+'
  int exponent = 0;
  std::from_chars(exp_text.data(), exp_text.data() + exp_text.size(), exponent);

  std::string digits;
  for (char c : mantissa) {
    if (c != '.') digits.push_back(c);
  }
  // The value is 0.d1d2d3... × 10^(exponent + 1): `point` digits go before
  // the decimal point.
  const long point = static_cast<long>(exponent) + 1;
  const long count = static_cast<long>(digits.size());
  if (point <= 0) {
    out += "0.";
    out.append(static_cast<std::size_t>(-point), '0');
    out += digits;
  } else if (point >= count) {
    out += digits;
    out.append(static_cast<std::size_t>(point - count), '0');
  } else {
    out.append(digits, 0, static_cast<std::size_t>(point));
    out.push_back('.');
    out.append(digits, static_cast<std::size_t>(point), std::string::npos);
  }
  return out;
}

}  // namespace zelvo
