#include "gamescript/compiler/Fold.h"

#include <bit>
#include <cmath>
#include <cstring>
#include <limits>

#include "gamescript/compiler/SyntaxTree.h"

namespace GSCompiler {

namespace {

float AsFloat(FoldValue v) {
  if (v.kind == ConstFloat) {
    float f;
    std::memcpy(&f, &v.bits, sizeof f);
    return f;
  }
  return static_cast<float>(static_cast<int32_t>(v.bits));
}

int32_t AsInt(FoldValue v) { return static_cast<int32_t>(v.bits); }

// Wrapping int arithmetic done on unsigned words, so no overflow is undefined.
uint32_t Wrap(int64_t value) { return static_cast<uint32_t>(static_cast<uint64_t>(value)); }

bool FoldIntArithmetic(int32_t op, int32_t a, int32_t b, FoldValue& result) {
  const uint32_t ua = static_cast<uint32_t>(a);
  const uint32_t ub = static_cast<uint32_t>(b);
  switch (op) {
    case OpMul: result = {ConstInt, Wrap(static_cast<int64_t>(a) * b)}; return true;
    case OpAdd: result = {ConstInt, ua + ub}; return true;
    case OpSub: result = {ConstInt, ua - ub}; return true;
    case OpDiv:
    case OpMod:
      if (b == 0) return false;  // raises the machine's divide error at run time instead
      if (b == -1) {
        // The quotient of the smallest int by -1 does not fit: it wraps to
        // itself, and every remainder by -1 is 0.
        result = {ConstInt, op == OpDiv ? 0u - ua : 0u};
        return true;
      }
      result = {ConstInt, static_cast<uint32_t>(op == OpDiv ? a / b : a % b)};
      return true;
    case OpShl: result = {ConstInt, ua << (ub & 31u)}; return true;
    case OpShr: result = {ConstInt, ua >> (ub & 31u)}; return true;  // zero-filling, as the machine shifts
    case OpBitAnd: result = {ConstInt, ua & ub}; return true;
    case OpBitXor: result = {ConstInt, ua ^ ub}; return true;
    case OpBitOr: result = {ConstInt, ua | ub}; return true;
    default: return false;
  }
}

bool FoldFloatArithmetic(int32_t op, float a, float b, FoldValue& result) {
  // A divisor of +0.0 raises the machine's divide error at run time instead.
  if ((op == OpDiv || op == OpMod) && std::bit_cast<uint32_t>(b) == 0) return false;
  switch (op) {
    case OpMul: result = FoldFloat(a * b); return true;
    case OpDiv: result = FoldFloat(a / b); return true;
    case OpMod: result = FoldFloat(std::fmod(a, b)); return true;
    case OpAdd: result = FoldFloat(a + b); return true;
    case OpSub: result = FoldFloat(a - b); return true;
    default: return false;
  }
}

template <typename T>
bool Compare(int32_t op, T a, T b, FoldValue& result) {
  switch (op) {
    case OpLess: result = FoldBool(a < b); return true;
    case OpGreater: result = FoldBool(a > b); return true;
    case OpLessEq: result = FoldBool(a <= b); return true;
    case OpGreaterEq: result = FoldBool(a >= b); return true;
    case OpEq: result = FoldBool(a == b); return true;
    case OpNotEq: result = FoldBool(a != b); return true;
    default: return false;
  }
}

bool IsNumeric(FoldValue v) { return v.kind == ConstBool || v.kind == ConstInt || v.kind == ConstFloat; }

}  // namespace

FoldValue FoldInt(int32_t value) { return {ConstInt, static_cast<uint32_t>(value)}; }

FoldValue FoldFloat(float value) {
  FoldValue v{ConstFloat, 0};
  std::memcpy(&v.bits, &value, sizeof value);
  return v;
}

FoldValue FoldBool(bool value) { return {ConstBool, value ? 1u : 0u}; }

bool FoldBinary(int32_t op, FoldValue left, FoldValue right, FoldValue& result) {
  if (!IsNumeric(left) || !IsNumeric(right)) return false;
  const bool anyFloat = left.kind == ConstFloat || right.kind == ConstFloat;
  switch (op) {
    case OpMul:
    case OpDiv:
    case OpMod:
    case OpAdd:
    case OpSub:
      if (left.kind == ConstBool || right.kind == ConstBool) return false;
      if (anyFloat) return FoldFloatArithmetic(op, AsFloat(left), AsFloat(right), result);
      return FoldIntArithmetic(op, AsInt(left), AsInt(right), result);
    case OpShl:
    case OpShr:
    case OpBitAnd:
    case OpBitXor:
    case OpBitOr:
      if (left.kind != ConstInt || right.kind != ConstInt) return false;
      return FoldIntArithmetic(op, AsInt(left), AsInt(right), result);
    case OpLess:
    case OpGreater:
    case OpLessEq:
    case OpGreaterEq:
    case OpEq:
    case OpNotEq:
      // bools compare as the ints 0 and 1, as the machine compares their cells
      if (anyFloat) {
        // As the machine compares floats: by the sign of the difference, so
        // a NaN difference counts as equal.
        const float d = AsFloat(left) - AsFloat(right);
        return Compare(op, d > 0 ? 1 : d < 0 ? -1 : 0, 0, result);
      }
      return Compare(op, AsInt(left), AsInt(right), result);
    case OpAnd:
      // a value is true when its cell is not zero, as the machine tests it
      result = FoldBool(left.bits != 0 && right.bits != 0);
      return true;
    case OpOr: result = FoldBool(left.bits != 0 || right.bits != 0); return true;
    default: return false;
  }
}

bool FoldUnary(int32_t op, FoldValue operand, FoldValue& result) {
  if (!IsNumeric(operand)) return false;
  switch (op) {
    case OpPlus:
      if (operand.kind == ConstBool) return false;
      result = operand;
      return true;
    case OpNegate:
      if (operand.kind == ConstInt)
        result = {ConstInt, 0u - operand.bits};
      else if (operand.kind == ConstFloat)
        result = FoldFloat(-AsFloat(operand));
      else
        return false;
      return true;
    case OpNot:
      if (operand.kind == ConstFloat)
        result = FoldBool(AsFloat(operand) == 0.0f);
      else
        result = FoldBool(operand.bits == 0);
      return true;
    case OpComplement:
      if (operand.kind != ConstInt) return false;
      result = {ConstInt, ~operand.bits};
      return true;
    default: return false;
  }
}

FoldValue ConvertConstant(FoldValue value, uint32_t type) {
  switch (type) {
    case TypeBool:
      if (value.kind == ConstFloat) return FoldBool(AsFloat(value) != 0.0f);
      return FoldBool(value.bits != 0);
    case TypeInt:
      if (value.kind == ConstFloat) {
        const float f = AsFloat(value);
        if (std::isnan(f)) return FoldInt(0);
        if (f >= 2147483648.0f) return FoldInt(std::numeric_limits<int32_t>::max());
        if (f < -2147483648.0f) return FoldInt(std::numeric_limits<int32_t>::min());
        return FoldInt(static_cast<int32_t>(f));
      }
      return FoldInt(AsInt(value));
    case TypeFloat:
      if (value.kind == ConstFloat) return value;
      return FoldFloat(static_cast<float>(AsInt(value)));
    default: return value;
  }
}

}  // namespace GSCompiler
