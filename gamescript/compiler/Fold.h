#pragma once
// Compile-time evaluation of GameScript operators on constants, with the
// machine's 32-bit int and single-precision float arithmetic.

#include <cstdint>

namespace GSCompiler {

// A bool, int or float constant: its constant kind (ConstBool, ConstInt,
// ConstFloat) and its 32-bit cell (0 or 1, the integer, the float's bits).
struct FoldValue {
  int32_t kind = 0;
  uint32_t bits = 0;
};

FoldValue FoldInt(int32_t value);
FoldValue FoldFloat(float value);
FoldValue FoldBool(bool value);

// Folds binary operator `op` (codes 12 to 29) on two numeric constants. False
// when the operator is not folded for these operands: an int division or
// remainder by 0 is left to run time, as are operators the kinds do not fit.
// The smallest int divided by -1 gives the smallest int (remainder 0).
[[nodiscard]] bool FoldBinary(int32_t op, FoldValue left, FoldValue right, FoldValue& result);

// Folds unary operator `op` (unary +, -, !, ~). False when not folded.
[[nodiscard]] bool FoldUnary(int32_t op, FoldValue operand, FoldValue& result);

// The constant converted to type code `type` (bool, int or float) as an
// assignment would: a float becomes an int by truncation toward zero (NaN
// gives 0, out-of-range values the nearest int), anything non-zero is true.
FoldValue ConvertConstant(FoldValue value, uint32_t type);

}  // namespace GSCompiler
