// Operand types of every operator over every pair of value types, the
// conversion rule of assignments and casts, and constant folding against a
// small reference of the machine's arithmetic.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <set>

#include "gamescript/compiler/Fold.h"
#include "tests/gamescript/compiler/sema_support.h"

using namespace GSCompiler;

namespace {

// One operand of each type: void, bool .. object[], and null.
struct Operand {
  uint32_t type;
  const char* text;
};
const Operand kOperands[] = {
    {TypeVoid, "V()"},    {TypeBool, "b"},        {TypeInt, "i"},          {TypeFloat, "f"},
    {TypeString, "s"},    {TypeObject, "a"},      {TypeVoidArray, "va"},   {TypeBoolArray, "ba"},
    {TypeIntArray, "ia"}, {TypeFloatArray, "fa"}, {TypeStringArray, "sa"}, {TypeObjectArray, "oa"},
    {TypeNull, "null"},
};

const char* const kParameters =
    "void[] va, bool b, int i, float f, string s, A a, bool[] ba, int[] ia, float[] fa, string[] sa, A[] oa";

// The statements, one per line from line 4, inside a function with one
// variable of each type.
std::string Source(const std::vector<std::string>& statements) {
  std::string text = "class A\n{\n  void V() { }\n  void F(" + std::string(kParameters) + ") {\n";
  for (const std::string& s : statements) text += "    " + s + ";\n";
  return text + "  }\n};\n";
}

// The lines (counted from the first statement) that have a message.
std::set<size_t> MessageLines(const std::vector<std::string>& lines) {
  std::set<size_t> found;
  for (const std::string& line : lines) {
    const size_t open = line.find('(');
    found.insert(std::stoul(line.substr(open + 1)) - 5);
  }
  return found;
}

// The statements of F's body in order.
std::vector<SyntaxNode*> Statements(SemaTest::Unit& unit) {
  SyntaxNode* f = SemaTest::FindNode(unit.Tree(), [](SyntaxNode* n) {
    return n->category == CatDeclaration && n->kind == DeclFunction && n->child[1] != nullptr &&
           std::strcmp(n->child[1]->text, "F") == 0;
  });
  std::vector<SyntaxNode*> list;
  for (SyntaxNode* s = f ? f->child[3]->child[0] : nullptr; s != nullptr; s = s->next)
    if (s->category == CatExpression)  // the return appended at the end is not one of them
      list.push_back(s);
  return list;
}

// The result types the operator tables give, written as the table reads.
bool IsArray(uint32_t t) { return t >= TypeVoidArray && t <= TypeObjectArray; }
bool In(uint32_t t, std::initializer_list<uint32_t> set) {
  return std::find(set.begin(), set.end(), t) != set.end();
}

uint32_t ExpectedBinary(int32_t op, uint32_t l, uint32_t r) {
  const bool numbers = In(l, {TypeInt, TypeFloat}) && In(r, {TypeInt, TypeFloat});
  const uint32_t arithmetic = numbers ? (l == TypeInt && r == TypeInt ? TypeInt : TypeFloat) : TypeNone;
  switch (op) {
    case OpMul:
    case OpDiv:
    case OpMod:
    case OpSub: return arithmetic;
    case OpAdd:
      if ((In(l, {TypeBool, TypeInt, TypeFloat, TypeString}) && r == TypeString) ||
          (l == TypeString && In(r, {TypeBool, TypeInt, TypeFloat})))
        return TypeString;
      return arithmetic;
    case OpShl:
    case OpShr:
    case OpBitAnd:
    case OpBitXor:
    case OpBitOr: return l == TypeInt && r == TypeInt ? TypeInt : TypeNone;
    case OpLess:
    case OpGreater:
    case OpLessEq:
    case OpGreaterEq:
    case OpEq:
    case OpNotEq: {
      const std::initializer_list<uint32_t> plain = {TypeBool, TypeInt, TypeFloat, TypeString};
      const bool legal = (In(l, plain) && In(r, plain)) || (l == TypeString && r == TypeNull) ||
                         (l == TypeObject && In(r, {TypeObject, TypeNull})) ||
                         (IsArray(l) && (r == l || r == TypeNull)) ||
                         (l == TypeNull && (In(r, {TypeString, TypeObject, TypeNull}) || IsArray(r)));
      return legal ? TypeBool : TypeNone;
    }
    case OpAnd:
    case OpOr: {
      auto testable = [](uint32_t t) {
        return In(t, {TypeBool, TypeInt, TypeFloat, TypeString, TypeObject}) ||
               (IsArray(t) && t != TypeVoidArray);
      };
      return testable(l) && testable(r) ? TypeBool : TypeNone;
    }
    default: return TypeNone;
  }
}

// Checks the statements in one function: those expected as TypeNone are
// refused with a message containing `message`, the others get their type.
void CheckTypes(const std::vector<std::string>& statements, const std::vector<uint32_t>& expected,
                const std::string& message) {
  auto unit = SemaTest::CheckTexts(Source(statements));
  const std::set<size_t> refused = MessageLines(unit->Lines());
  const std::vector<SyntaxNode*> nodes = Statements(*unit);
  ASSERT_EQ(nodes.size(), statements.size());
  for (size_t k = 0; k < statements.size(); ++k) {
    EXPECT_EQ(refused.count(k) == 1, expected[k] == TypeNone) << statements[k];
    if (expected[k] != TypeNone) {
      EXPECT_EQ(nodes[k]->type, expected[k]) << statements[k];
    }
  }
  for (const std::string& line : unit->Lines()) EXPECT_NE(line.find(message), std::string::npos) << line;
}

TEST(SemaTypes, EveryOperandPairOfEveryBinaryOperator) {
  for (int32_t op = OpMul; op <= OpOr; ++op) {
    std::vector<std::string> statements;
    std::vector<uint32_t> expected;
    for (const Operand& l : kOperands)
      for (const Operand& r : kOperands) {
        statements.push_back(std::string(l.text) + " " + OperatorName(op) + " " + r.text);
        expected.push_back(ExpectedBinary(op, l.type, r.type));
      }
    // Every refusal names the operator.
    CheckTypes(statements, expected,
               std::string("illegal types for operand ") + OperatorName(op) + ", line ");
  }
}

TEST(SemaTypes, EveryOperandOfEveryUnaryOperator) {
  struct Unary {
    const char* prefix;
    const char* suffix;
    int32_t op;
  };
  const Unary kUnary[] = {{"+", "", OpPlus},       {"-", "", OpNegate},  {"!", "", OpNot},
                          {"~", "", OpComplement}, {"++", "", OpPreInc}, {"--", "", OpPreDec},
                          {"", "++", OpPostInc},   {"", "--", OpPostDec}};
  for (const Unary& u : kUnary) {
    std::vector<std::string> statements;
    std::vector<uint32_t> expected;
    for (const Operand& o : kOperands) {
      statements.push_back(std::string(u.prefix) + o.text + u.suffix);
      uint32_t result = TypeNone;
      if (u.op == OpNot)
        result = (In(o.type, {TypeBool, TypeInt, TypeFloat, TypeString, TypeObject}) ||
                  (IsArray(o.type) && o.type != TypeVoidArray))
                     ? TypeBool
                     : TypeNone;
      else if (u.op == OpComplement)
        result = o.type == TypeInt ? TypeInt : TypeNone;
      else
        result = In(o.type, {TypeInt, TypeFloat}) ? o.type : TypeNone;
      expected.push_back(result);
    }
    CheckTypes(statements, expected, std::string("illegal types for unary operand ") + OperatorName(u.op));
  }
}

// Sources from which each target type converts, as the conversion table reads.
bool ExpectedConversion(uint32_t target, uint32_t source) {
  const bool scalar = In(source, {TypeBool, TypeInt, TypeFloat});
  if (In(target, {TypeBool, TypeInt, TypeFloat})) return scalar;
  if (target == TypeString) return scalar || In(source, {TypeString, TypeNull});
  if (target == TypeObject) return In(source, {TypeObject, TypeNull});
  if (IsArray(target) && target != TypeVoidArray) return source == target || source == TypeNull;
  return false;
}

TEST(SemaTypes, AssignmentsAndCastsFollowTheConversionRule) {
  const char* const kCastTypes[] = {"void",   "bool",   "int",   "float",   "string",   "A",
                                    "void[]", "bool[]", "int[]", "float[]", "string[]", "A[]"};
  std::vector<std::string> statements;
  std::vector<bool> expected;
  for (const Operand& target : kOperands) {
    if (target.type == TypeVoid || target.type == TypeNull) continue;  // no variable has these types
    for (const Operand& source : kOperands) {
      statements.push_back(std::string(target.text) + " = " + source.text);
      expected.push_back(ExpectedConversion(target.type, source.type));
    }
  }
  for (uint32_t t = 0; t < 12; ++t)
    for (const Operand& source : kOperands) {
      statements.push_back(std::string("cast<") + kCastTypes[t] + "> " + source.text);
      expected.push_back(ExpectedConversion(t, source.type));
    }
  auto unit = SemaTest::CheckTexts(Source(statements));
  const std::set<size_t> refused = MessageLines(unit->Lines());
  for (size_t k = 0; k < statements.size(); ++k)
    EXPECT_EQ(refused.count(k) == 0, expected[k]) << statements[k];
  for (const std::string& line : unit->Lines())
    EXPECT_NE(line.find("cannot cast from "), std::string::npos) << line;
  // The texts name both types, classes by their names.
  EXPECT_NE(std::find(unit->Lines().begin(), unit->Lines().end(),
                      "t.gs(5) : cannot cast from void to bool, line 5."),
            unit->Lines().end());
  const auto lines = unit->Lines();
  EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [](const std::string& l) {
    return l.find("cannot cast from A[] to int[], line") != std::string::npos;
  }));
}

// --- folding

// Reference arithmetic in 64 bits and doubles; results are reduced to the
// machine's 32-bit int and single-precision float at the end.
FoldValue Int(int64_t v) {
  return FoldInt(static_cast<int32_t>(static_cast<uint32_t>(static_cast<uint64_t>(v))));
}
float FloatOf(FoldValue v) {
  if (v.kind != ConstFloat) return static_cast<float>(static_cast<int32_t>(v.bits));
  float f;
  std::memcpy(&f, &v.bits, sizeof f);
  return f;
}

bool Reference(int32_t op, FoldValue a, FoldValue b, FoldValue& out) {
  const bool floats = a.kind == ConstFloat || b.kind == ConstFloat;
  const int64_t x = static_cast<int32_t>(a.bits);
  const int64_t y = static_cast<int32_t>(b.bits);
  const double fx = FloatOf(a);
  const double fy = FloatOf(b);
  // Floats compare by the sign of their difference: NaN counts as equal.
  const double d = fx - fy;
  const double fs = d > 0 ? 1 : d < 0 ? -1 : 0;
  switch (op) {
    case OpAdd: out = floats ? FoldFloat(static_cast<float>(fx + fy)) : Int(x + y); return true;
    case OpSub: out = floats ? FoldFloat(static_cast<float>(fx - fy)) : Int(x - y); return true;
    case OpMul: out = floats ? FoldFloat(static_cast<float>(fx * fy)) : Int(x * y); return true;
    case OpDiv:
      if (floats) {
        if (fy == 0 && !std::signbit(fy)) return false;  // +0.0 raises at run time
        out = FoldFloat(static_cast<float>(fx / fy));
        return true;
      }
      if (y == 0) return false;
      out = Int(x / y);  // C++ truncates toward zero
      return true;
    case OpMod:
      if (floats) {
        if (fy == 0 && !std::signbit(fy)) return false;
        out = FoldFloat(static_cast<float>(std::fmod(fx, fy)));
        return true;
      }
      if (y == 0) return false;
      out = Int(x % y);  // keeps the dividend's sign
      return true;
    case OpShl: out = Int(x * (int64_t{1} << (y & 31))); return true;
    case OpShr: out = Int(static_cast<uint32_t>(x) >> (y & 31)); return true;  // zero-filling
    case OpBitAnd: out = Int(x & y); return true;
    case OpBitXor: out = Int(x ^ y); return true;
    case OpBitOr: out = Int(x | y); return true;
    case OpLess: out = FoldBool(floats ? fs < 0 : x < y); return true;
    case OpGreater: out = FoldBool(floats ? fs > 0 : x > y); return true;
    case OpLessEq: out = FoldBool(floats ? fs <= 0 : x <= y); return true;
    case OpGreaterEq: out = FoldBool(floats ? fs >= 0 : x >= y); return true;
    case OpEq: out = FoldBool(floats ? fs == 0 : x == y); return true;
    case OpNotEq: out = FoldBool(floats ? fs != 0 : x != y); return true;
    default: return false;
  }
}

bool SameValue(FoldValue a, FoldValue b) {
  if (a.kind != b.kind) return false;
  if (a.kind == ConstFloat && std::isnan(FloatOf(a))) return std::isnan(FloatOf(b));
  return a.bits == b.bits;
}

TEST(SemaFolding, IntAndFloatOperatorsAgreeWithTheReference) {
  const int32_t ints[] = {0, 1, -1, 2, -2, 7, -7, 31, 32, 33, 100, -100, 65536, 2147483647, -2147483647 - 1};
  const float floats[] = {0.0f, -0.0f, 1.0f, -1.5f, 2.5f, 1e30f, -3.25f, 0.1f};
  std::vector<FoldValue> values;
  for (int32_t i : ints) values.push_back(FoldInt(i));
  for (float f : floats) values.push_back(FoldFloat(f));
  int folded = 0;
  for (int32_t op = OpMul; op <= OpNotEq; ++op) {
    const bool intOnly = op >= OpShl && op <= OpShr;
    for (FoldValue a : values)
      for (FoldValue b : values) {
        if (intOnly && (a.kind != ConstInt || b.kind != ConstInt)) continue;
        FoldValue want, got;
        const bool expected = Reference(op, a, b, want);
        const bool done = FoldBinary(op, a, b, got);
        ASSERT_EQ(done, expected) << OperatorName(op) << " " << a.bits << " " << b.bits;
        if (done) {
          ++folded;
          EXPECT_TRUE(SameValue(got, want)) << OperatorName(op) << " " << a.bits << " " << b.bits << " gave "
                                            << got.bits << " not " << want.bits;
        }
      }
  }
  for (int32_t op = OpBitAnd; op <= OpBitOr; ++op)
    for (int32_t a : ints)
      for (int32_t b : ints) {
        FoldValue want, got;
        ASSERT_TRUE(Reference(op, FoldInt(a), FoldInt(b), want));
        ASSERT_TRUE(FoldBinary(op, FoldInt(a), FoldInt(b), got));
        EXPECT_EQ(got.bits, want.bits);
      }
  EXPECT_GT(folded, 4000);
  // Bit operators and shifts never fold a float.
  FoldValue unused;
  EXPECT_FALSE(FoldBinary(OpShl, FoldFloat(1.0f), FoldInt(1), unused));
  EXPECT_FALSE(FoldBinary(OpBitOr, FoldInt(1), FoldFloat(1.0f), unused));
}

TEST(SemaFolding, LogicAndUnaryOperators) {
  FoldValue r;
  ASSERT_TRUE(FoldBinary(OpAnd, FoldInt(2), FoldBool(true), r));
  EXPECT_EQ(r.kind, ConstBool);
  EXPECT_EQ(r.bits, 1u);
  ASSERT_TRUE(FoldBinary(OpAnd, FoldInt(2), FoldFloat(0.0f), r));
  EXPECT_EQ(r.bits, 0u);
  ASSERT_TRUE(FoldBinary(OpOr, FoldInt(0), FoldFloat(0.5f), r));
  EXPECT_EQ(r.bits, 1u);
  ASSERT_TRUE(FoldBinary(OpEq, FoldBool(true), FoldInt(1), r));  // bools compare as 0 and 1
  EXPECT_EQ(r.bits, 1u);

  ASSERT_TRUE(FoldUnary(OpNegate, FoldInt(-2147483647 - 1), r));
  EXPECT_EQ(r.bits, 0x80000000u);  // wraps to itself
  ASSERT_TRUE(FoldUnary(OpNegate, FoldFloat(1.5f), r));
  EXPECT_EQ(FloatOf(r), -1.5f);
  ASSERT_TRUE(FoldUnary(OpNot, FoldFloat(-0.0f), r));
  EXPECT_EQ(r.kind, ConstBool);
  EXPECT_EQ(r.bits, 1u);
  ASSERT_TRUE(FoldUnary(OpNot, FoldInt(5), r));
  EXPECT_EQ(r.bits, 0u);
  ASSERT_TRUE(FoldUnary(OpComplement, FoldInt(5), r));
  EXPECT_EQ(static_cast<int32_t>(r.bits), -6);
  ASSERT_TRUE(FoldUnary(OpPlus, FoldFloat(2.0f), r));
  EXPECT_EQ(FloatOf(r), 2.0f);
  EXPECT_FALSE(FoldUnary(OpComplement, FoldFloat(1.0f), r));

  // Conversions of define values: truncation toward zero, saturation, NaN.
  EXPECT_EQ(static_cast<int32_t>(ConvertConstant(FoldFloat(-2.75f), TypeInt).bits), -2);
  EXPECT_EQ(ConvertConstant(FoldFloat(3e9f), TypeInt).bits, 0x7FFFFFFFu);
  EXPECT_EQ(ConvertConstant(FoldFloat(-3e9f), TypeInt).bits, 0x80000000u);
  EXPECT_EQ(ConvertConstant(FoldFloat(std::nanf("")), TypeInt).bits, 0u);
  EXPECT_EQ(FloatOf(ConvertConstant(FoldInt(-3), TypeFloat)), -3.0f);
  EXPECT_EQ(ConvertConstant(FoldFloat(0.25f), TypeBool).bits, 1u);
}

TEST(SemaFolding, FoldedNodesInTheTree) {
  auto unit = SemaTest::CheckTexts(Source({
      "f = 1 + 2.0",
      "i = 7 % -3",
      "i = 1 / 0",
      "i = (-2147483647 - 1) / -1",
      "s = \"a\" + 1",
      "b = \"a\" == \"a\"",
      "b = !0.0",
      "i = -8 >> 1",
  }));
  EXPECT_TRUE(unit->ok) << (unit->Lines().empty() ? "" : unit->Lines()[0]);
  const std::vector<SyntaxNode*> nodes = Statements(*unit);
  ASSERT_EQ(nodes.size(), 8u);
  auto value = [&](size_t k) { return nodes[k]->child[1]; };
  EXPECT_EQ(value(0)->kind, ExprConstant);
  EXPECT_EQ(value(0)->value, ConstFloat);
  EXPECT_EQ(FloatOf({ConstFloat, value(0)->datum}), 3.0f);
  EXPECT_EQ(static_cast<int32_t>(value(1)->datum), 1);
  // A division by the constant 0 is left to run time.
  EXPECT_EQ(value(2)->kind, ExprOperator);
  EXPECT_EQ(value(2)->type, TypeInt);
  EXPECT_EQ(value(3)->kind, ExprConstant);
  EXPECT_EQ(value(3)->datum, 0x80000000u);
  // Strings are never folded.
  EXPECT_EQ(value(4)->kind, ExprOperator);
  EXPECT_EQ(value(4)->type, TypeString);
  EXPECT_EQ(value(5)->kind, ExprOperator);
  EXPECT_EQ(value(5)->type, TypeBool);
  EXPECT_EQ(value(6)->kind, ExprConstant);
  EXPECT_EQ(value(6)->value, ConstBool);
  EXPECT_EQ(value(6)->datum, 1u);
  // ">>" fills with zeros, as the shift instruction does.
  EXPECT_EQ(value(7)->datum, 0xFFFFFFF8u >> 1);
}

}  // namespace
