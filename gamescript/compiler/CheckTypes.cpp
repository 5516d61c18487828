#include "gamescript/compiler/CheckTypes.h"

#include "gamescript/compiler/SyntaxTree.h"

namespace GSCompiler {

namespace {

bool IsNumber(uint32_t t) { return t == TypeInt || t == TypeFloat; }
bool IsScalar(uint32_t t) { return t == TypeBool || t == TypeInt || t == TypeFloat; }
bool IsArrayNotVoid(uint32_t t) { return t >= TypeBoolArray && t <= TypeObjectArray; }

// Operands that "and", "or" and "!" accept.
bool IsTestable(uint32_t t) { return IsScalar(t) || t == TypeString || t == TypeObject || IsArrayNotVoid(t); }

uint32_t ArithmeticResult(uint32_t l, uint32_t r) {
  if (!IsNumber(l) || !IsNumber(r)) return TypeNone;
  return (l == TypeInt && r == TypeInt) ? TypeInt : TypeFloat;
}

bool Comparable(uint32_t l, uint32_t r) {
  const auto plain = [](uint32_t t) { return IsScalar(t) || t == TypeString; };
  if (plain(l) && plain(r)) return true;
  if (l == TypeNull) return r == TypeString || r == TypeObject || IsArrayType(r) || r == TypeNull;
  if (r == TypeNull) return l == TypeString || l == TypeObject || IsArrayType(l);
  if (l == TypeObject) return r == TypeObject;
  if (IsArrayType(l)) return r == l;
  return false;
}

}  // namespace

bool IsArrayType(uint32_t type) { return type >= TypeVoidArray && type <= TypeObjectArray; }

uint32_t UnaryResultType(int32_t op, uint32_t t) {
  switch (op) {
    case OpPlus:
    case OpNegate:
    case OpPreInc:
    case OpPreDec:
    case OpPostInc:
    case OpPostDec: return IsNumber(t) ? t : TypeNone;
    case OpNot: return IsTestable(t) ? TypeBool : TypeNone;
    case OpComplement: return t == TypeInt ? TypeInt : TypeNone;
    default: return TypeNone;
  }
}

uint32_t BinaryResultType(int32_t op, uint32_t l, uint32_t r) {
  switch (op) {
    case OpMul:
    case OpDiv:
    case OpMod:
    case OpSub: return ArithmeticResult(l, r);
    case OpAdd:
      if (l == TypeString && (IsScalar(r) || r == TypeString)) return TypeString;
      if (r == TypeString && IsScalar(l)) return TypeString;
      return ArithmeticResult(l, r);
    case OpShl:
    case OpShr:
    case OpBitAnd:
    case OpBitXor:
    case OpBitOr: return (l == TypeInt && r == TypeInt) ? TypeInt : TypeNone;
    case OpLess:
    case OpGreater:
    case OpLessEq:
    case OpGreaterEq:
    case OpEq:
    case OpNotEq: return Comparable(l, r) ? TypeBool : TypeNone;
    case OpAnd:
    case OpOr: return (IsTestable(l) && IsTestable(r)) ? TypeBool : TypeNone;
    default: return TypeNone;
  }
}

bool CanConvert(uint32_t target, uint32_t source) {
  if (IsScalar(target)) return IsScalar(source);
  if (target == TypeString) return IsScalar(source) || source == TypeString || source == TypeNull;
  if (target == TypeObject) return source == TypeObject || source == TypeNull;
  if (IsArrayNotVoid(target)) return source == target || source == TypeNull;
  if (target == TypeNull) return source == TypeString || source == TypeObject || IsArrayNotVoid(source);
  return false;
}

std::string_view NamedClass(uint32_t type, const char* className) {
  if ((type != TypeObject && type != TypeObjectArray) || className == nullptr) return {};
  const std::string_view name(className);
  return name == "object" ? std::string_view() : name;
}

ParameterType ParseParameterType(const std::string& text) {
  static const char* const kNames[] = {"void", "bool", "int", "float", "string", "object"};
  std::string base = text;
  bool array = false;
  if (base.size() > 2 && base.compare(base.size() - 2, 2, "[]") == 0) {
    base.resize(base.size() - 2);
    array = true;
  }
  for (uint32_t t = 0; t < 6; ++t)
    if (base == kNames[t]) return {array ? t + TypeVoidArray : t, std::string()};
  return {array ? TypeObjectArray : TypeObject, base};
}

}  // namespace GSCompiler
