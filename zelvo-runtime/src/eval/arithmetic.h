// Internal: the arithmetic operators of Binary (Add, Sub, Mul, Div, Mod).
//
// Int with Int wraps modulo 2^64; a Float on either side makes the operation
// one on doubles (the Int converted). Anything else, Duration included,
// yields Null, as does a zero divisor. The quotient and remainder of the
// minimum integer by -1 do not exist in 64 bits and also yield Null.
#pragma once

#include "event/value.h"

namespace zelvo::eval {

Value arith_add(const Value& left, const Value& right);  // also joins two Strings
Value arith_sub(const Value& left, const Value& right);
Value arith_mul(const Value& left, const Value& right);
Value arith_div(const Value& left, const Value& right);
Value arith_mod(const Value& left, const Value& right);  // Int only

}  // namespace zelvo::eval
