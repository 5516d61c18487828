#include <bit>
#include <cctype>
#include <cmath>
#include <cstring>
#include <functional>
#include <span>
#include <tuple>

#include <gtest/gtest.h>

#include "gamescript/runtime/Machine.h"
#include "gamescript/runtime/RunCode.h"
#include "gamescript/runtime/Thread.h"
#include "gamescript/runtime/Verifier.h"
#include "tests/gamescript/runtime/runtime_support.h"

using namespace GSRuntime;
using RuntimeTest::Folder;
using RuntimeTest::LogCapture;

namespace {

// A library compiled from a source, an instance of one of its classes, and
// the interpreter as the initialiser runner while it lives.
struct Fixture {
  Folder folder;
  GSMachine machine;
  GSContext context;
  GSObject* object = nullptr;
  GSClass* cls = nullptr;

  explicit Fixture(const std::string& source, const std::function<void(GSMachine&)>& natives = {}) {
    InstallInterpreter();
    folder.Compile("t", source);
    machine.RegisterBuiltins();
    if (natives) natives(machine);
    GSLibrary* lib = machine.AddLibrary(folder.Path(), "t.gsl") ? machine.GetLibraryByName("t.gsl") : nullptr;
    if (!lib) return;
    cls = lib->FindClass("T");
    object = new GSObject();
    if (!cls || !object->BindScriptClass(cls, &context)) {
      delete object;
      object = nullptr;
    }
  }
  ~Fixture() {
    delete object;
    GSClass::SetInitialiserRunner(nullptr);
  }
  GSFunction& Function(const char* method) { return *cls->FindMethod(method); }
  uint32_t Handle() const { return object->GetScriptHandle(); }
  int32_t Call(const char* method, uint32_t* result = nullptr, std::vector<uint32_t> args = {}) {
    return CallScriptFunction(Function(method), Handle(), args.data(), uint32_t(args.size()), result);
  }
  // Replaces the start of a function's checked code: the byte code that no
  // compiler writes (and no verifier passes) reaches the interpreter only so.
  void Patch(const char* method, const std::vector<uint8_t>& bytes) {
    const auto code = Function(method).record->code;
    ASSERT_LE(bytes.size(), code.size());
    std::memcpy(const_cast<uint8_t*>(code.data()), bytes.data(), bytes.size());
    Function(method).run = nullptr;  // the next call copies the new code
  }
};

// Room for hand-assembled code: a long body and a deep evaluation stack.
const char* const kScratch =
    "class T {\n"
    "  public int n;\n"
    "  public int F(void) { int a = 1, b = 2, c = 3; return a + (b * (c - (a * (b + (c - a))))) + n; }\n"
    "  public int G(void) { int a = 1, b = 2, c = 3; return a + (b * (c - (a * (b + (c - a))))) + n; }\n"
    "};\n";

std::vector<uint8_t> Word(uint8_t op, uint32_t w) {
  return {op, uint8_t(w), uint8_t(w >> 8), uint8_t(w >> 16), uint8_t(w >> 24)};
}
std::vector<uint8_t> Cat(std::initializer_list<std::vector<uint8_t>> parts) {
  std::vector<uint8_t> out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}
uint32_t FloatBits(float f) {
  uint32_t u;
  std::memcpy(&u, &f, 4);
  return u;
}

TEST(Interpreter, BinaryOperatorsOnHandAssembledCode) {
  struct Case {
    uint8_t op;
    uint32_t a, b;
    int32_t want;  // or the error, when `fails`
    bool fails;
  };
  const uint32_t nan = 0x7FC00000u;
  const Case cases[] = {
      {OP_DIVI, 7, uint32_t(-2), -3, false},
      {OP_MODI, 7, uint32_t(-2), 1, false},
      {OP_DIVI, 0x80000000u, uint32_t(-1), INT32_MIN, false},
      {OP_MODI, 0x80000000u, uint32_t(-1), 0, false},
      {OP_DIVI, 5, 0, ER_DivideByZero, true},
      {OP_MODI, 5, 0, ER_DivideByZero, true},
      {OP_SHL, 1, 33, 2, false},
      {OP_SHR, 0x80000000u, 31, 1, false},
      {OP_SHR, uint32_t(-8), 60, 15, false},
      {OP_CMPI, 2147483647, uint32_t(-2), 1, false},
      {OP_CMPI, 0x80000000u, 1, -1, false},
      {OP_CMPF, nan, FloatBits(1.0f), 0, false},
      {OP_CMPF, FloatBits(2.0f), FloatBits(1.0f), 1, false},
      {OP_DIVF, FloatBits(1.0f), 0x80000000u, int32_t(FloatBits(-INFINITY)), false},
      {OP_DIVF, FloatBits(1.0f), 0, ER_DivideByZero, true},
      {OP_MODF, FloatBits(7.5f), FloatBits(2.0f), int32_t(FloatBits(1.5f)), false},
      {OP_MODF, FloatBits(1.0f), 0, ER_DivideByZero, true},
  };
  Fixture t(kScratch);
  ASSERT_NE(t.object, nullptr);
  for (const Case& c : cases) {
    t.Patch("::F()", Cat({Word(OP_PUSHK, c.a), Word(OP_PUSHK, c.b), {c.op, OP_RETV}}));
    uint32_t result = 0;
    LogCapture log;
    const int32_t code = t.Call("::F()", &result);
    if (c.fails) {
      EXPECT_EQ(code, c.want) << kOpcodeTable[c.op].mnemonic;
    } else {
      EXPECT_EQ(code, ER_Done) << kOpcodeTable[c.op].mnemonic << log.All();
      EXPECT_EQ(int32_t(result), c.want) << kOpcodeTable[c.op].mnemonic << " " << c.a << " " << c.b;
    }
  }
}

TEST(Interpreter, UnaryOperatorsOnHandAssembledCode) {
  struct Case {
    uint8_t op;
    uint32_t a;
    uint32_t want;
  };
  const Case cases[] = {
      {OP_FTOI, FloatBits(2.9f), 2},
      {OP_FTOI, FloatBits(-2.9f), uint32_t(-2)},
      {OP_FTOI, 0x7FC00000u, 0},
      {OP_FTOI, FloatBits(3e9f), 0x7FFFFFFFu},
      {OP_FTOI, FloatBits(-3e9f), 0x80000000u},
      {OP_NEGI, 0x80000000u, 0x80000000u},
      {OP_EQ, 0, 1},
      {OP_NE, 5, 1},
      {OP_LT, uint32_t(-1), 1},
      {OP_GE, 0, 1},
      {OP_LNOT, 7, 0},
      {OP_COMPL, 0, 0xFFFFFFFFu},
      {OP_ITOF, uint32_t(-3), FloatBits(-3.0f)},
      {OP_NEGF, FloatBits(1.5f), FloatBits(-1.5f)},
  };
  Fixture t(kScratch);
  ASSERT_NE(t.object, nullptr);
  for (const Case& c : cases) {
    t.Patch("::F()", Cat({Word(OP_PUSHK, c.a), {c.op, OP_RETV}}));
    uint32_t result = 0;
    EXPECT_EQ(t.Call("::F()", &result), ER_Done);
    EXPECT_EQ(result, c.want) << kOpcodeTable[c.op].mnemonic;
  }
}

TEST(Interpreter, IllegalOpcodesStopTheThread) {
  Fixture t(kScratch);
  ASSERT_NE(t.object, nullptr);
  for (uint8_t op : {uint8_t(116), uint8_t(200), uint8_t(255)}) {
    t.Patch("::F()", {OP_PUSH1, op});
    LogCapture log;
    EXPECT_EQ(t.Call("::F()"), ER_IllegalInstruction);
    EXPECT_NE(log.All().find("Thread Exception: ER_IllegalInstruction, line "), std::string::npos)
        << log.All();
    EXPECT_EQ(SharedThread().Stack().Depth(), 0u);
  }
}

// The opcodes the compiler does not make, run from hand-assembled code: the
// conditional jumps on both sides of zero, the kept-value jump, the null test
// of an object cell, and the duplications with their reference (the
// receiver's count is where it was).
TEST(Interpreter, OpcodesNoSourceMakes) {
  Fixture t(kScratch);
  ASSERT_NE(t.object, nullptr);
  const int32_t before = t.object->Instance()->refCount;
  struct Case {
    const char* name;
    std::vector<uint8_t> code;
    uint32_t result;
  };
  const Case cases[] = {
      {"JNZK taken keeps the value",
       Cat({{OP_PUSH1}, Word(OP_JNZK, 12), {OP_POP}, Word(OP_PUSHK, 7), {OP_RETV}}), 1},
      {"JNZK not taken", Cat({{OP_PUSH0}, Word(OP_JNZK, 12), {OP_POP}, Word(OP_PUSHK, 7), {OP_RETV}}), 7},
      {"NOTNULL of the receiver", {OP_LDLO, 0, 0, OP_NOTNULL, OP_RETV}, 1},
      {"NOTNULL of null", {OP_PUSH0, OP_NOTNULL, OP_RETV}, 0},
      // [o, 1] -> [o, 1, o, 1] -> [o, 1, 1] -> [o, 2] -> [2, o] -> [2]
      {"DUP2O",
       {OP_LDLO, 0, 0, OP_PUSH1, OP_DUP2O, OP_POP, OP_NOTNULL, OP_ADDI, OP_SWAP, OP_POPO, OP_RETV},
       2},
      {"DUP", Cat({Word(OP_PUSHK, 5), {OP_DUP, OP_ADDI, OP_RETV}}), 10},
  };
  std::vector<Case> all(std::begin(cases), std::end(cases));
  // Taken (1) or not (0) for the values -1, 0, 1.
  const struct {
    uint8_t op;
    uint32_t taken[3];
  } jumps[] = {{OP_JNZ, {1, 0, 1}},
               {OP_JLT, {1, 0, 0}},
               {OP_JLE, {1, 1, 0}},
               {OP_JGT, {0, 0, 1}},
               {OP_JGE, {0, 1, 1}}};
  for (const auto& j : jumps)
    for (int v = -1; v <= 1; ++v)
      all.push_back({"conditional jump",
                     Cat({Word(OP_PUSHK, uint32_t(v)),
                          Word(j.op, 16),
                          Word(OP_PUSHK, 0),
                          {OP_RETV},
                          Word(OP_PUSHK, 1),
                          {OP_RETV}}),
                     j.taken[v + 1]});
  for (const Case& c : all) {
    t.Patch("::F()", c.code);
    uint32_t result = 99;
    EXPECT_EQ(t.Call("::F()", &result), ER_Done) << c.name << " " << int(c.code[5]);
    EXPECT_EQ(result, c.result) << c.name << " " << int(c.code[5]) << " " << int(c.code[1]);
    EXPECT_EQ(t.object->Instance()->refCount, before) << c.name;
  }
}

// Break and continue reach their own loop's ends however many loops a
// function has, and a function generated after a large one starts afresh.
TEST(Interpreter, JumpsReachTheirOwnLoopsInManyLoopsAndAfterThem) {
  std::string many = "  public int Many(void) {\n    int i, s = 0;\n";
  for (int loop = 0; loop < 40; ++loop) {
    if (loop % 2 == 0)
      many += "    for (i = 0; i < 10; i++) { if (i == 3) continue; if (i == 7) break; s = s + i; }\n";
    else
      many += "    i = 0;\n    while (i < 10) { i++; if (i == 3) continue; if (i == 7) break; s = s + i; }\n";
  }
  many += "    return s;\n  }\n";
  Fixture t("class T {\n  public bool ready = (1 < 2) and (2 < 3) or false;\n" + many +
            "  public int After(int k) {\n"
            "    while (k < 100) { k++; if (k == 5) break; }\n"
            "    switch (k) { case 5: k = k * 2; break; default: k = 0; break; }\n"
            "    return k;\n  }\n};\n");
  ASSERT_NE(t.object, nullptr);
  uint32_t result = 0;
  ASSERT_EQ(t.Call("::Many()", &result), ER_Done);
  // for: 0+1+2+4+5+6; while: 1+2+4+5+6 (i counts before the test).
  EXPECT_EQ(result, 20u * 18u + 20u * 18u);
  ASSERT_EQ(t.Call("::After(int)", &result, {0}), ER_Done);
  EXPECT_EQ(result, 10u);
  ASSERT_EQ(t.Call("::After(int)", &result, {200}), ER_Done);
  EXPECT_EQ(result, 0u);
  EXPECT_EQ(t.object->Instance()->cells[t.cls->VariableCell("ready")], 1u);
}

// A switch inside a case of another: each takes only its own cases, the
// inner one's included nowhere else.
TEST(Interpreter, NestedSwitchesTakeTheirOwnCases) {
  Fixture t(
      "class T {\n"
      "  public int Nested(int a, int b) {\n"
      "    int r = 0;\n"
      "    switch (a) {\n"
      "      case 1:\n"
      "        switch (b) { case 1: r = 11; break; case 2: r = 12; break; default: r = 10; break; }\n"
      "        r = r + 100;\n"
      "        break;\n"
      "      case 2: r = 2; break;\n"
      "      default: r = 0 - 1; break;\n"
      "    }\n"
      "    return r;\n"
      "  }\n"
      "};\n");
  ASSERT_NE(t.object, nullptr);
  const struct {
    uint32_t a, b, expected;
  } cases[] = {{1, 1, 111}, {1, 2, 112}, {1, 9, 110}, {2, 1, 2}, {5, 2, 0xFFFFFFFFu}};
  for (const auto& c : cases) {
    uint32_t result = 0;
    ASSERT_EQ(t.Call("::Nested(int,int)", &result, {c.a, c.b}), ER_Done) << c.a << "," << c.b;
    EXPECT_EQ(result, c.expected) << c.a << "," << c.b;
  }
}

TEST(Interpreter, TheRunBudgetCountsBytesBetweenTransfers) {
  Fixture t(kScratch);
  ASSERT_NE(t.object, nullptr);
  // A jump to itself: one byte per turn.
  t.Patch("::F()", Word(OP_JMP, 0));
  {
    LogCapture log;
    EXPECT_EQ(t.Call("::F()"), ER_Timeout);
    EXPECT_NE(log.All().find("Thread Exception: ER_Timeout"), std::string::npos);
  }
  // LDS 0, INCI, STS 0, JMP 0: eight bytes per turn, so the jump of turn
  // 2,097,153 passes 16,777,216 bytes; the member counts the turns begun.
  t.Patch("::F()", Cat({{OP_LDS, 0, 0, OP_INCI, OP_STS, 0, 0}, Word(OP_JMP, 0)}));
  LogCapture log;
  EXPECT_EQ(t.Call("::F()"), ER_Timeout);
  EXPECT_EQ(t.object->Instance()->cells[0], 2097153u);
}

// A run nested in another (here a class initialiser that NEW runs) pays into
// the same budget, and the enclosing run goes on counting from where it was.
TEST(Interpreter, ANestedRunPaysIntoTheSameBudget) {
  Fixture t(
      "class T {\n"
      "  public int n;\n"
      "  public int m = 3;\n"
      "  public int F(void) { int a = 1, b = 2, c = 3; return a + (b * (c - (a * (b + (c - a))))) + n; }\n"
      "  public int G(void) { return 1; }\n"
      "};\n");
  ASSERT_NE(t.object, nullptr);
  // G's code is made between the initialiser's and F's: F's does not begin where the initialiser's ends.
  ASSERT_EQ(t.Call("::G()"), ER_Done);
  const std::span<GSFunction> functions = t.cls->Functions();
  const GSFunction& initialiser = functions.back();
  ASSERT_FALSE(initialiser.record->code.empty());
  ASSERT_EQ(initialiser.record->code.back(), OP_RET);  // straight code: it pays its length
  // NEW T, POPO, LDS 0, INCI, STS 0, JMP 0: twelve bytes a turn, and the initialiser's.
  t.Patch("::F()", Cat({{OP_NEW, 0, 0, OP_POPO, OP_LDS, 0, 0, OP_INCI, OP_STS, 0, 0}, Word(OP_JMP, 0)}));
  const uint64_t turn = 12 + initialiser.record->code.size();
  LogCapture log;
  EXPECT_EQ(t.Call("::F()"), ER_Timeout);
  EXPECT_EQ(t.object->Instance()->cells[0], uint32_t(kRunBudget / turn + 1));
}

TEST(Interpreter, ErrorReportNamesTheLineFileAndFrames) {
  Fixture t(
      "class T {\n"
      "  public int D(int a, int b) {\n"
      "    return a / b;\n"
      "  }\n"
      "  public int F(void) {\n"
      "    return D(1, 0);\n"
      "  }\n"
      "};\n");
  ASSERT_NE(t.object, nullptr);
  LogCapture log;
  EXPECT_EQ(t.Call("::F()"), ER_DivideByZero);
  // The library keeps its source's path lower-cased.
  std::string source = t.folder.At("t.gs");
  for (char& c : source) c = char(std::tolower(static_cast<unsigned char>(c)));
  EXPECT_EQ(log.All(),
            "Thread Exception: ER_DivideByZero, line 3, file " + source +
                "\nStack Dump...\nfunction $int@T::D(int,int), line -1\nfunction $int@T::F(), line 6\n");
  // Every frame was released: the instance has only its owner's reference.
  EXPECT_EQ(t.object->Instance()->refCount, 1);
}

TEST(Interpreter, FramesFitExactlyOrAreRefused) {
  Fixture t(kScratch);
  ASSERT_NE(t.object, nullptr);
  GSFunction& f = t.Function("::F()");
  const uint32_t size = f.record->frameSize;
  GSStack stack;
  // The receiver's cell, then exactly the frame size left.
  stack.SetStackPointer(int32_t(kStackCells - size - 1));
  {
    LogCapture log;
    EXPECT_TRUE(stack.PushFrame(&f, 0));
    EXPECT_EQ(log.All(), "");
    // A native's result needs one more cell: refused, nothing written.
    const int32_t sp = stack.StackPointer();
    EXPECT_FALSE(stack.PushFrame(&f, 0, kStackCells));
    EXPECT_EQ(stack.StackPointer(), sp);
    EXPECT_EQ(log.All(), "GSStack overflow...\nfunction $int@T::F()\n");
    // Nothing pushed: no value to return.
    EXPECT_FALSE(stack.ReturnValue(false));
    EXPECT_NE(log.All().find("GSStack::ReturnValue> diff=3"), std::string::npos);
    EXPECT_TRUE(stack.ReturnValue(true));
    EXPECT_EQ(stack.Top(), 0u);
  }
  GSStack full;
  full.SetStackPointer(int32_t(kStackCells - size));
  LogCapture log;
  EXPECT_FALSE(full.PushFrame(&f, 0));
  EXPECT_EQ(log.All(), "GSStack overflow...\n");
}

// A native that puts its thread to sleep, and one that stops it.
void Sleep(GSContext*, GSStack&) {
  GSThread::Current()->SetState(GSThread::Waiting);
  GSThread::Current()->SetWaitTime(0.5f);
}
void Fail(GSContext*, GSStack&) { GSThread::Exception(GSThread::Current(), "bad input", false); }
int g_calls = 0;
void Count(GSContext*, GSStack& stack) { stack.Push(uint32_t(++g_calls)); }

TEST(Interpreter, NativesBlockResumeAndStopThreads) {
  const char* source =
      "class T {\n"
      "  public native void Sleep(void);\n"
      "  public native void Fail(void);\n"
      "  public native int Count(void);\n"
      "  public int F(void) { int a = Count(); Sleep(); return a + Count(); }\n"
      "  public int G(void) { Fail(); return 1; }\n"
      "};\n";
  Fixture fixture(source, [](GSMachine& m) {
    m.RegisterNative(std::make_unique<GSCNativeFunction>("T", "$void@T::Sleep()", &Sleep));
    m.RegisterNative(std::make_unique<GSCNativeFunction>("T", "$void@T::Fail()", &Fail));
    m.RegisterNative(std::make_unique<GSCNativeFunction>("T", "$int@T::Count()", &Count));
  });
  Fixture* t = &fixture;
  ASSERT_NE(t->object, nullptr);

  GSThread thread;
  GSStack& stack = thread.Stack();
  ASSERT_TRUE(stack.Push(t->Handle()));
  AddReference(t->Handle());
  ASSERT_TRUE(stack.PushFrame(&t->Function("::F()"), 0));
  g_calls = 0;
  EXPECT_EQ(thread.Run(0.0f), ER_Blocked);
  EXPECT_EQ(thread.Run(0.2f), ER_Blocked);
  EXPECT_EQ(thread.Run(0.2f), ER_Blocked);
  EXPECT_EQ(thread.Run(0.2f), ER_Done);
  EXPECT_EQ(thread.State(), GSThread::Stopped);
  EXPECT_EQ(stack.StackPointer(), 0);
  EXPECT_EQ(stack.Top(), 3u);  // 1 + 2
  ReleaseHandle(stack.Top());

  LogCapture log;
  EXPECT_EQ(t->Call("::G()"), ER_Exception);
  EXPECT_NE(log.All().find("bad input (file "), std::string::npos) << log.All();
  EXPECT_NE(log.All().find("Thread Exception: ER_Exception, line 6"), std::string::npos) << log.All();
}

// Numeric natives run without a frame where the script's record agrees with
// them; the receiver's reference is given back, the last one ending the
// object. A record of another shape takes the general path, which reads
// only the arguments the call passed.
uint32_t SumOfThree(const uint32_t* a) {
  return FloatBits(std::bit_cast<float>(a[0]) + std::bit_cast<float>(a[1]) + std::bit_cast<float>(a[2]));
}
uint32_t Halve(const uint32_t* a) { return uint32_t(int32_t(a[0]) / 2); }

TEST(Interpreter, NumericNativesGiveBackTheirReceiver) {
  Fixture t(
      "static class Math {\n"
      "  public native float Sqrt(float x);\n"
      "  public native int Rand(int a, int b);\n"
      "};\n"
      "class N {\n"
      "  public native int Halve(int x);\n"
      "  public native float Three(float x);\n"
      "};\n"
      "class T {\n"
      "  public float Roots(int n) {\n"
      "    int i;\n"
      "    float s = 0.0;\n"
      "    for (i = 0; i < n; i++) s = s + Math.Sqrt((float)(i * i));\n"
      "    return s + (float)Math.Rand(7, 7);\n"
      "  }\n"
      "  public int Fresh(int x) { return new N().Halve(x); }\n"
      "  public void Dirty(void) { float a = 7.0, b = 8.0, c = 9.0, d = 10.0; }\n"
      "  public float Short(float x) { Dirty(); return new N().Three(x); }\n"
      "};\n",
      [](GSMachine& m) {
        m.RegisterNative(std::make_unique<GSCNumericNativeFunction>("N", "$int@N::Halve(int)", &Halve, 1));
        // Three arguments where the script passes one.
        m.RegisterNative(
            std::make_unique<GSCNumericNativeFunction>("N", "$float@N::Three(float)", &SumOfThree, 3));
      });
  ASSERT_NE(t.object, nullptr);
  uint32_t result = 0;
  ASSERT_EQ(t.Call("::Roots(int)", &result, {10}), ER_Done);
  EXPECT_EQ(std::bit_cast<float>(result), 45.0f + 7.0f);
  GSObject* math = t.context.GetStaticInstance(t.cls->Library()->FindClass("Math"));
  ASSERT_NE(math, nullptr);
  const int32_t references = math->Instance()->refCount;
  ASSERT_EQ(t.Call("::Roots(int)", &result, {100}), ER_Done);
  EXPECT_EQ(math->Instance()->refCount, references);

  const std::size_t live = HandleTable::Instance().LiveCount();
  ASSERT_EQ(t.Call("::Fresh(int)", &result, {uint32_t(-9)}), ER_Done);
  EXPECT_EQ(int32_t(result), -4);
  EXPECT_EQ(HandleTable::Instance().LiveCount(), live);

  ASSERT_EQ(t.Call("::Short(float)", &result, {FloatBits(2.5f)}), ER_Done);
  EXPECT_EQ(std::bit_cast<float>(result), 2.5f);
  EXPECT_EQ(HandleTable::Instance().LiveCount(), live);
}

// Frames that calls from typed code pushed, left by a run that blocked, end
// as the general path ends them when the next run returns through them.
TEST(Interpreter, FramesOfABlockedRunReturnThroughTheNextRun) {
  Fixture t(
      "class T {\n"
      "  public int n = 100;\n"
      "  public native void Sleep(void);\n"
      "  public native int Count(void);\n"
      "  public int H(int x) { Sleep(); return x + Count(); }\n"
      "  public int G(int x) { return H(x) * 2; }\n"
      "  public int F(void) { return G(1) + G(2) + n; }\n"
      "};\n",
      [](GSMachine& m) {
        m.RegisterNative(std::make_unique<GSCNativeFunction>("T", "$void@T::Sleep()", &Sleep));
        m.RegisterNative(std::make_unique<GSCNativeFunction>("T", "$int@T::Count()", &Count));
      });
  ASSERT_NE(t.object, nullptr);
  ASSERT_TRUE(t.Function("::G(int)").depthChecked);
  GSScriptInstance* instance = t.object->Instance();
  const int32_t references = instance->refCount;
  GSThread thread;
  GSStack& stack = thread.Stack();
  ASSERT_TRUE(stack.Push(t.Handle()));
  AddReference(t.Handle());
  ASSERT_TRUE(stack.PushFrame(&t.Function("::F()"), 0));
  g_calls = 0;
  EXPECT_EQ(thread.Run(0.0f), ER_Blocked);
  EXPECT_EQ(stack.Depth(), 3u);  // F, G, H
  EXPECT_EQ(thread.Run(1.0f), ER_Blocked);
  EXPECT_EQ(thread.Run(1.0f), ER_Done);
  EXPECT_EQ(stack.Top(), (1u + 1u) * 2u + (2u + 2u) * 2u + 100u);
  EXPECT_EQ(instance->refCount, references);
}

// A context torn down while a thread waits ends the instances its frames
// ran for: returning into such a frame stops the thread before it runs on,
// even where the frame above it was pushed by a call from typed code.
TEST(Interpreter, ReturningIntoAFrameWhoseInstanceEndedStopsTheThread) {
  Folder folder;
  InstallInterpreter();
  folder.Compile("t",
                 "class U {\n"
                 "  public native void Sleep(void);\n"
                 "  public native int Count(void);\n"
                 "  public int H(int x) { Sleep(); return x + 1; }\n"
                 "};\n"
                 "class T {\n"
                 "  public U u;\n"
                 "  public int G(int x) { U v = u; int r = v.H(x); return r + v.Count(); }\n"
                 "  public int F(void) { return G(1) + 1; }\n"
                 "};\n");
  GSMachine machine;
  machine.RegisterBuiltins();
  machine.RegisterNative(std::make_unique<GSCNativeFunction>("U", "$void@U::Sleep()", &Sleep));
  machine.RegisterNative(std::make_unique<GSCNativeFunction>("U", "$int@U::Count()", &Count));
  ASSERT_TRUE(machine.AddLibrary(folder.Path(), "t.gsl"));
  GSLibrary* lib = machine.GetLibraryByName("t.gsl");
  ASSERT_TRUE(lib->FindClass("T")->FindMethod("::G(int)")->depthChecked);
  GSContext keep;
  keep.SetShared(true);
  auto* u = new GSObject();
  ASSERT_TRUE(u->BindScriptClass(lib->FindClass("U"), &keep));
  AddReference(u->GetScriptHandle());  // a holder besides H's frame: H's return needs no look-up
  GSThread thread;
  {
    auto context = std::make_unique<GSContext>();
    auto* t = new GSObject();
    ASSERT_TRUE(t->BindScriptClass(lib->FindClass("T"), context.get()));
    StoreMember(t->Instance(), uint32_t(lib->FindClass("T")->VariableCell("u")), u->GetScriptHandle());
    // The second thread calls G and H by the short path: their code has been made.
    auto start = [&](GSThread& on) {
      ASSERT_TRUE(on.Stack().Push(t->GetScriptHandle()));
      AddReference(t->GetScriptHandle());
      ASSERT_TRUE(on.Stack().PushFrame(lib->FindClass("T")->FindMethod("::F()"), 0));
      EXPECT_EQ(on.Run(0.0f), ER_Blocked);
      EXPECT_EQ(on.Stack().Depth(), 3u);  // F and G for t, H for u
    };
    {
      GSThread first;
      g_calls = 0;
      start(first);
      EXPECT_EQ(first.Run(1.0f), ER_Done);
      EXPECT_EQ(first.Stack().Top(), (1u + 1u) + 1u + 1u);  // H(1), Count() and 1
    }
    start(thread);
    EXPECT_TRUE(thread.Stack().FrameAt(2).plainReturn);
    delete t;
    context.reset();
  }
  LogCapture log;
  g_calls = 0;
  EXPECT_EQ(thread.Run(1.0f), ER_NullReference);
  EXPECT_EQ(g_calls, 0);  // G did not go on after H
  EXPECT_EQ(thread.Stack().Depth(), 0u);
  ReleaseHandle(u->GetScriptHandle());
  delete u;
}

TEST(Interpreter, ThreadWithoutFrameAndCallsWithArguments) {
  Fixture t(
      "class T {\n"
      "  public int n = 5;\n"
      "  public int Add(int a, int b) { n = n + a; return n * b; }\n"
      "  public void Wait(void) { wait() { on \"A\", \"B\": { } } }\n"
      "};\n");
  ASSERT_NE(t.object, nullptr);
  {
    GSThread thread;
    LogCapture log;
    EXPECT_EQ(thread.Run(0.0f), ER_NoStackFrame);
    EXPECT_NE(log.All().find("Thread Exception: ER_NoStackFrame, line -1, file "), std::string::npos);
  }
  uint32_t result = 0;
  EXPECT_EQ(t.Call("::Add(int,int)", &result, {2, 3}), ER_Done);
  EXPECT_EQ(result, 21u);
  EXPECT_EQ(t.Call("::Add(int,int)", &result, {1}), ER_LinkError);  // wrong argument count
  // The shared thread cannot wait for messages.
  LogCapture log;
  EXPECT_EQ(t.Call("::Wait()"), ER_ThreadError);
}

}  // namespace

namespace {

const char* const kDerived =
    "class B {\n"
    "  public int base = 10;\n"
    "  public int Add(int a, int b) { return a + b + base; }\n"
    "  public int Scale(int a) { return a * 2; }\n"
    "};\n"
    "class U { public int u; };\n"
    "class T isclass B {\n"
    "  public int n = 5;\n"
    "  public native void Probe(void);\n"
    "  public int Mul(int a, int b) { return a * b + n; }\n"
    "  public int Div(int a) { return a / n; }\n"
    "  public int Scale(int a) { return a * 3 + n; }\n"
    "  public void Ask(void) { Probe(); }\n"
    "};\n";

GSContext* g_probed = nullptr;
void Probe(GSContext*, GSStack& stack) { g_probed = stack.GetContext(); }

struct Derived : Fixture {
  Derived()
      : Fixture(kDerived, [](GSMachine& m) {
          m.RegisterNative(std::make_unique<GSCNativeFunction>("T", "$void@T::Probe()", &Probe));
        }) {}
  GSClass* Class(const char* name) { return cls->Library()->FindClass(name); }
  GSScriptInstance* Instance() { return object->Instance(); }
};

// A method called by its key from native code: the class's own, one an
// ancestor holds (run on that ancestor's block), and every refusal; the
// instance's references stay where they were.
TEST(Interpreter, CallFunctionByKey) {
  Derived t;
  ASSERT_NE(t.object, nullptr);
  const int32_t before = t.Instance()->refCount;
  uint32_t result = 0;
  const uint32_t args[] = {3, 4};
  EXPECT_TRUE(t.cls->CallFunction(t.Instance(), "$int@T::Mul(int,int)", args, 2, &result));
  EXPECT_EQ(result, 17u);
  EXPECT_TRUE(t.cls->CallFunction(t.Instance(), "$int@B::Add(int,int)", args, 2, &result));
  EXPECT_EQ(result, 17u);  // 3 + 4 + base through the ancestor's block
  // A key names the declaring class; the instance's override answers it.
  EXPECT_TRUE(t.cls->CallFunction(t.Instance(), "$int@B::Scale(int)", args, 1, &result));
  EXPECT_EQ(result, 14u);  // 3 * 3 + n
  t.Instance()->cells[t.cls->VariableCell("n")] = 0;
  const uint32_t one = 1;
  {
    LogCapture log;
    EXPECT_FALSE(t.cls->CallFunction(t.Instance(), "$int@T::Div(int)", &one, 1, &result));
    EXPECT_NE(log.All().find("ER_DivideByZero"), std::string::npos);
  }
  EXPECT_FALSE(t.cls->CallFunction(t.Instance(), "$int@T::Mul(int)", args, 1, &result));      // unknown key
  EXPECT_FALSE(t.cls->CallFunction(t.Instance(), "$int@T::Mul(int,int)", args, 1, &result));  // one short
  EXPECT_FALSE(t.cls->CallFunction(nullptr, "$int@T::Mul(int,int)", args, 2, &result));
  // An instance of another class has no block of the class holding the function.
  GSObject other;
  ASSERT_TRUE(other.BindScriptClass(t.Class("U"), &t.context));
  EXPECT_FALSE(t.cls->CallFunction(other.Instance(), "$int@B::Add(int,int)", args, 2, &result));
  EXPECT_EQ(t.Instance()->refCount, before);
  EXPECT_EQ(SharedThread().Stack().Depth(), 0u);
  EXPECT_EQ(SharedThread().Stack().StackPointer(), -1);
}

// The native-side pushes of objects and handles, with the views and the
// references they promise, and the context of the running frames.
TEST(Interpreter, StackPushesObjectsAsTheirClasses) {
  Derived t;
  ASSERT_NE(t.object, nullptr);
  GSScriptInstance* instance = t.Instance();
  const int32_t before = instance->refCount;
  GSThread thread;
  GSStack& stack = thread.Stack();
  const uint32_t own = t.Handle();
  const uint32_t* block = t.cls->GetClassData(instance, t.Class("B"));
  ASSERT_NE(block, nullptr);
  const uint32_t asBase = instance->HandleOfBlock(uint32_t(block - instance->cells));
  ASSERT_NE(asBase, 0u);
  ASSERT_NE(asBase, own);

  ASSERT_TRUE(stack.PushObject(t.object));
  EXPECT_EQ(stack.Top(), own);
  EXPECT_EQ(instance->refCount, before + 1);
  ASSERT_TRUE(stack.PushObject(t.object, t.Class("B")));
  EXPECT_EQ(stack.Top(), asBase);
  EXPECT_EQ(instance->refCount, before + 2);
  ASSERT_TRUE(stack.PushObject(t.object, t.Class("U")));  // not one of its classes
  EXPECT_EQ(stack.Top(), 0u);
  ASSERT_TRUE(stack.PushObject(nullptr, t.Class("B")));
  EXPECT_EQ(stack.Top(), 0u);
  EXPECT_EQ(instance->refCount, before + 2);
  ASSERT_TRUE(stack.PushObjectNoReference(t.object, t.Class("B")));
  EXPECT_EQ(stack.Top(), asBase);
  ASSERT_TRUE(stack.PushHandleAs(asBase, t.cls));
  EXPECT_EQ(stack.Top(), own);
  ASSERT_TRUE(stack.PushHandleAs(own, t.Class("U")));
  EXPECT_EQ(stack.Top(), 0u);
  EXPECT_EQ(instance->refCount, before + 2);
  ReleaseHandle(own);
  ReleaseHandle(asBase);
  EXPECT_EQ(instance->refCount, before);
  stack.SetStackPointer(-1);

  // A full stack takes no reference.
  while (stack.Push(0)) {}
  EXPECT_FALSE(stack.PushObject(t.object));
  EXPECT_EQ(instance->refCount, before);
  stack.SetStackPointer(-1);

  EXPECT_EQ(stack.GetContext(), nullptr);
  g_probed = nullptr;
  ASSERT_EQ(t.Call("::Ask()"), ER_Done);
  EXPECT_EQ(g_probed, &t.context);
}

}  // namespace

// ------------------------------------------------------------ run code

// Which run opcodes stand at the starts of the function's instructions.
void RunOpcodesSeen(const GSFunction& f, std::vector<bool>& seen) {
  seen.assign(kRunOpcodeEnd, false);
  const std::span<const uint8_t> code = f.record->code;
  for (std::size_t pc = 0, n; pc < code.size(); pc += n) {
    n = InstructionLength(code.data(), code.size(), pc);
    ASSERT_NE(n, 0u);
    seen[f.run[pc]] = true;
  }
}

// Every run opcode that stands for a sequence, made from compiled code and
// giving what the sequence gives; the same function in C++ is the reference.
TEST(RunCode, FusedSequencesGiveWhatTheirInstructionsGive) {
  Fixture t(
      "class T {\n"
      "  public int F(int n) {\n"
      "    int[] a = new int[n];\n"
      "    int i, s = 0, x;\n"
      "    for (i = 0; i < n; i++) a[i] = i;\n"
      "    for (i = n - 1; i >= 0; i--) s = s + a[i];\n"
      "    x = 5;\n"
      "    if (s <= x) s = s - x;\n"
      "    if (s >= 100) s = s + 1;\n"
      "    if (n == 7) x = x + 2;\n"
      "    if (n != 7) x = n - 1;\n"
      "    if (x < 3) x = 3;\n"
      "    if (s < x) x++;\n"
      "    if (s > x) x--;\n"
      "    if (i <= 0) s = s + i;\n"
      "    if (i >= s) s = s - i;\n"
      "    if (s == x) s = s * x;\n"
      "    if (s != x) s = s * n;\n"
      "    if (x > 3) s = s + 3;\n"
      "    return s + x;\n"
      "  }\n"
      "};\n");
  ASSERT_NE(t.object, nullptr);
  auto reference = [](int32_t n) {
    std::vector<int32_t> a(std::size_t(n > 0 ? n : 0));
    int32_t i, s = 0, x;
    for (i = 0; i < n; i++) a[std::size_t(i)] = i;
    for (i = n - 1; i >= 0; i--) s = s + a[std::size_t(i)];
    x = 5;
    if (s <= x) s = s - x;
    if (s >= 100) s = s + 1;
    if (n == 7) x = x + 2;
    if (n != 7) x = n - 1;
    if (x < 3) x = 3;
    if (s < x) x++;
    if (s > x) x--;
    if (i <= 0) s = s + i;
    if (i >= s) s = s - i;
    if (s == x) s = s * x;
    if (s != x) s = s * n;
    if (x > 3) s = s + 3;
    return s + x;
  };
  for (int32_t n : {0, 1, 2, 3, 4, 5, 6, 7, 8, 15, 16, 30}) {
    uint32_t result = 0;
    ASSERT_EQ(t.Call("::F(int)", &result, {uint32_t(n)}), ER_Done) << n;
    EXPECT_EQ(int32_t(result), reference(n)) << n;
  }
  // The run code holds each of them (else this test would not reach them).
  const GSFunction& f = t.Function("::F(int)");
  ASSERT_NE(f.run, nullptr);
  std::vector<bool> seen;
  ASSERT_NO_FATAL_FAILURE(RunOpcodesSeen(f, seen));
  for (unsigned op = kOpcodeCount + 1; op < kRunOpcodeEnd; ++op)
    if (op != RUN_CALL_OBSERVED && op != RUN_SELF && op != RUN_LO_STR_SCAT_STLO && op != RUN_L_RETV &&
        op != RUN_ADDI_RETV && op != RUN_L_ITOF && op != RUN_ADDF_STL) {
      EXPECT_TRUE(seen[op]) << op;
    }
}

// The float sequences give what their instructions give, and their run
// opcodes stand in the run code.
TEST(RunCode, FloatSequencesGiveWhatTheirInstructionsGive) {
  Fixture t(
      "class T {\n"
      "  public float F(int n) {\n"
      "    int i;\n"
      "    float s = 0.5, h = 0.25;\n"
      "    for (i = -n; i < n; i++) {\n"
      "      s = s + (float)i * h;\n"
      "      h = h + 0.125;\n"
      "    }\n"
      "    return s;\n"
      "  }\n"
      "};\n");
  ASSERT_NE(t.object, nullptr);
  auto reference = [](int32_t n) {
    float s = 0.5f, h = 0.25f;
    for (int32_t i = -n; i < n; i++) {
      s = s + float(i) * h;
      h = h + 0.125f;
    }
    return s;
  };
  for (int32_t n : {0, 1, 7, 1000, 70000}) {
    uint32_t result = 0;
    ASSERT_EQ(t.Call("::F(int)", &result, {uint32_t(n)}), ER_Done) << n;
    EXPECT_EQ(std::bit_cast<float>(result), reference(n)) << n;
  }
  const GSFunction& f = t.Function("::F(int)");
  ASSERT_NE(f.run, nullptr);
  std::vector<bool> seen;
  ASSERT_NO_FATAL_FAILURE(RunOpcodesSeen(f, seen));
  EXPECT_TRUE(seen[RUN_L_ITOF]);
  EXPECT_TRUE(seen[RUN_ADDF_STL]);
}

// s = s + "text" grows the local's string in place only when no one else
// holds it: the caller's local or member passed in keeps its text, a null local
// gets a new string, and growth past the memory limit fails as the
// concatenation would.
TEST(RunCode, AppendingInPlaceChangesNoOtherHolder) {
  Fixture t(
      "class T {\n"
      "  public string kept;\n"
      "  public int Grow(int n) {\n"
      "    string s = \"\";\n"
      "    int i;\n"
      "    for (i = 0; i < n; i++) s = s + \"ab\";\n"
      "    if (s[0] != 'a' or s[2 * n - 1] != 'b') return -1;\n"
      "    return s.size();\n"
      "  }\n"
      "  public int Add(string p) {\n"
      "    p = p + \"x\";\n"
      "    p = p + \"y\";\n"
      "    return p.size();\n"
      "  }\n"
      "  public int Shared(void) {\n"
      "    kept = \"abc\";\n"
      "    if (Add(kept) != 5) return 1;\n"
      "    if (kept != \"abc\") return 2;\n"
      "    string s = \"k\";\n"
      "    if (Add(s) != 3) return 3;\n"
      "    if (s != \"k\") return 4;\n"
      "    return 0;\n"
      "  }\n"
      "  public int FromNull(void) {\n"
      "    string s;\n"
      "    s = s + \"q\";\n"
      "    s = s + \"r\";\n"
      "    if (s != \"qr\") return 1;\n"
      "    return 0;\n"
      "  }\n"
      "};\n");
  ASSERT_NE(t.object, nullptr);
  uint32_t result = 99;
  ASSERT_EQ(t.Call("::Grow(int)", &result, {1000}), ER_Done);
  EXPECT_EQ(result, 2000u);
  ASSERT_EQ(t.Call("::Shared()", &result), ER_Done);
  EXPECT_EQ(result, 0u);
  ASSERT_EQ(t.Call("::FromNull()", &result), ER_Done);
  EXPECT_EQ(result, 0u);
  // Each of them ran the sequence as one run opcode.
  for (const char* method : {"::Grow(int)", "::Add(string)", "::FromNull()"}) {
    const GSFunction& f = t.Function(method);
    ASSERT_NE(f.run, nullptr);
    bool fused = false;
    const std::span<const uint8_t> code = f.record->code;
    for (std::size_t pc = 0, n; pc < code.size(); pc += n) {
      n = InstructionLength(code.data(), code.size(), pc);
      ASSERT_NE(n, 0u);
      fused |= f.run[pc] == RUN_LO_STR_SCAT_STLO;
    }
    EXPECT_TRUE(fused) << method;
  }
  const uint64_t limit = ScriptMemory::Limit();
  ScriptMemory::SetLimit(ScriptMemory::Used() + 4096);
  const int32_t code = t.Call("::Grow(int)", &result, {100000});
  ScriptMemory::SetLimit(limit);
  EXPECT_EQ(code, ER_ArrayOutOfBounds);
}

// A call through a view of an ancestor runs in the block of the class that
// implements it, in short and in long (more than eight classes) hierarchies.
TEST(RunCode, CallsThroughAncestorViewsRunInTheImplementingBlock) {
  Fixture t(
      "class L0 {\n  public int m0 = 100;\n  public int V(int x) { return x + m0; }\n  public int W(void) { "
      "return m0; }\n};\n"
      "class L1 isclass L0 {\n  public int m1 = 1;\n};\n"
      "class L2 isclass L1 {\n  public int m2 = 2;\n};\n"
      "class L3 isclass L2 {\n  public int m3 = 3;\n  public int V(int x) { return x * 3 + m3; }\n};\n"
      "class L4 isclass L3 {\n  public int m4 = 4;\n};\n"
      "class L5 isclass L4 {\n  public int m5 = 5;\n  public int W(void) { return m5 * 1000; }\n};\n"
      "class L6 isclass L5 {\n  public int m6 = 6;\n};\n"
      "class L7 isclass L6 {\n  public int m7 = 7;\n  public int V(int x) { return x * 7 + m7; }\n};\n"
      "class L8 isclass L7 {\n  public int m8 = 8;\n};\n"
      "class L9 isclass L8 {\n  public int m9 = 9;\n};\n"
      "class L10 isclass L9 {\n  public int m10 = 10;\n  public int V(int x) { return x * 10 + m10; }\n};\n"
      "class T {\n"
      "  public int F(void) {\n"
      "    L0 a = new L10();\n"
      "    L0 b = new L4();\n"
      "    L2 c = new L8();\n"
      "    L4 d = new L9();\n"
      "    return a.V(1) * 1000000 + b.V(2) * 10000 + c.V(3) * 100 + d.W() / 1000 + a.W() + c.W();\n"
      "  }\n"
      "};\n");
  ASSERT_NE(t.object, nullptr);
  uint32_t result = 0;
  ASSERT_EQ(t.Call("::F()", &result), ER_Done);
  // a.V: L10's (1 * 10 + 10); b.V: L3's (2 * 3 + 3); c.V: L7's (3 * 7 + 7);
  // d.W, a.W and c.W: L5's (5 * 1000) each.
  EXPECT_EQ(int32_t(result), 20 * 1000000 + 9 * 10000 + 28 * 100 + 5 + 5000 + 5000);
}

// Calls on the receiver take and give back its references through the
// frame's instance: the count is where it was after the run, whether it
// ends with a result or with an error deep in the recursion.
TEST(RunCode, CallsOnTheReceiverGiveBackEveryReference) {
  Fixture t(
      "class T {\n"
      "  public int Fib(int n) {\n"
      "    if (n < 2) return n;\n"
      "    return Fib(n - 1) + Fib(n - 2);\n"
      "  }\n"
      "  public int Down(int n) {\n"
      "    if (n == 0) return 1 / n;\n"
      "    return Down(n - 1) + 1;\n"
      "  }\n"
      "  public void Keep(void) { Fib(3); }\n"
      "};\n");
  ASSERT_NE(t.object, nullptr);
  GSScriptInstance* instance = t.object->Instance();
  const int32_t count = instance->refCount;
  uint32_t result = 0;
  ASSERT_EQ(t.Call("::Fib(int)", &result, {15}), ER_Done);
  EXPECT_EQ(result, 610u);
  EXPECT_EQ(instance->refCount, count);
  ASSERT_EQ(t.Call("::Keep()"), ER_Done);
  EXPECT_EQ(instance->refCount, count);
  EXPECT_EQ(t.Call("::Down(int)", &result, {40}), ER_DivideByZero);
  EXPECT_EQ(instance->refCount, count);
  // The receiver's loads ran as the run opcode that stands for them.
  const GSFunction& f = t.Function("::Fib(int)");
  ASSERT_NE(f.run, nullptr);
  const std::span<const uint8_t> code = f.record->code;
  int selfLoads = 0, returns = 0;
  for (std::size_t pc = 0, n; pc < code.size(); pc += n) {
    n = InstructionLength(code.data(), code.size(), pc);
    ASSERT_NE(n, 0u);
    selfLoads += f.run[pc] == RUN_SELF;
    returns += f.run[pc] == RUN_L_RETV || f.run[pc] == RUN_ADDI_RETV;
  }
  EXPECT_EQ(selfLoads, 2);
  EXPECT_EQ(returns, 2);  // both returns end sequences that run as one
}

// A jump into the middle of a sequence runs the sequence's own instructions
// from there; the code passes the verifier as it stands.
TEST(RunCode, AJumpIntoASequenceRunsItsOwnInstructions) {
  Fixture t(kScratch);
  ASSERT_NE(t.object, nullptr);
  GSFunction& f = t.Function("::F()");
  // PUSHK a, PUSHK b, JMP 21 | 15: LDL 1, LDL 2, 21: CMPI, LT, JZ 30, PUSH1, RETV | 30: PUSH0, RETV
  auto body = [](uint32_t a, uint32_t b) {
    return Cat({Word(OP_PUSHK, a),
                Word(OP_PUSHK, b),
                Word(OP_JMP, 21),
                {OP_LDL, 1, 0, OP_LDL, 2, 0, OP_CMPI, OP_LT},
                Word(OP_JZ, 30),
                {OP_PUSH1, OP_RETV, OP_PUSH0, OP_RETV}});
  };
  LibraryFunction record = *f.record;
  const std::vector<uint8_t> sound = body(7, 9);
  record.code = sound;
  bool typed = false;
  EXPECT_EQ(VerifyCode(record, 0, 0, nullptr, nullptr, typed), "");
  EXPECT_TRUE(typed);
  for (const auto& [a, b, want] : {std::tuple{7u, 9u, 1u}, {9u, 7u, 0u}, {uint32_t(-1), 0u, 1u}}) {
    t.Patch("::F()", body(a, b));
    uint32_t result = 5;
    EXPECT_EQ(t.Call("::F()", &result), ER_Done);
    EXPECT_EQ(result, want) << int32_t(a) << " < " << b;
    EXPECT_EQ(f.run[15], RUN_LL_LT_JZ);  // the sequence the jump lands in was fused
  }
}

// A failing instruction inside a sequence fails as it would alone: its
// error, its line, and every frame released.
TEST(RunCode, AFailureInsideASequenceNamesItsOwnLine) {
  Fixture t(
      "class T {\n"
      "  public int Get(int n) {\n"
      "    int[] a = new int[2];\n"
      "    int i = n;\n"
      "    return a[i];\n"
      "  }\n"
      "  public int Put(int n) {\n"
      "    int[] a = new int[2];\n"
      "    int i = n;\n"
      "    a[i] = n;\n"
      "    return 0;\n"
      "  }\n"
      "  public int Null(int n) {\n"
      "    int[] a;\n"
      "    int i = n;\n"
      "    return a[i];\n"
      "  }\n"
      "};\n");
  ASSERT_NE(t.object, nullptr);
  struct Case {
    const char* method;
    uint32_t n;
    int32_t error;
    int line;
  };
  for (const Case& c : {Case{"::Get(int)", 2, ER_ArrayOutOfBounds, 5},
                        Case{"::Get(int)", uint32_t(-1), ER_ArrayOutOfBounds, 5},
                        Case{"::Put(int)", uint32_t(-1), ER_ArrayOutOfBounds, 10},
                        Case{"::Null(int)", 0, ER_NullArrayReference, 16}}) {
    LogCapture log;
    EXPECT_EQ(t.Call(c.method, nullptr, {c.n}), c.error) << c.method;
    EXPECT_NE(log.All().find(std::string("Thread Exception: ") + ErrorName(c.error) + ", line " +
                             std::to_string(c.line) + ","),
              std::string::npos)
        << log.All();
    bool fused = false;
    const GSFunction& f = t.Function(c.method);
    for (std::size_t pc = 0, n; pc < f.record->code.size(); pc += n) {
      n = InstructionLength(f.record->code.data(), f.record->code.size(), pc);
      fused |= f.run[pc] == RUN_LO_L_LDA || f.run[pc] == RUN_LO_LL_STA;
    }
    EXPECT_TRUE(fused) << c.method;
  }
  uint32_t result = 0;
  EXPECT_EQ(t.Call("::Get(int)", &result, {1}), ER_Done);
  EXPECT_EQ(result, 0u);
  EXPECT_EQ(t.object->Instance()->refCount, 1);
}

// A call whose callee the load could not know (two classes differ at its
// slot) leaves its function checked; once every such call has run, the
// function's next frames run typed code proven with what they reached.
TEST(RunCode, CallsTheLoadCouldNotResolveRunTypedOnceReached) {
  Fixture t(
      "class A {\n"
      "  public int Get(int x) { return x + 5; }\n"
      "};\n"
      "class B {\n"
      "  public void Put(int x) { }\n"
      "};\n"
      "class T {\n"
      "  public A a = new A();\n"
      "  public B b = new B();\n"
      "  public int Main(int n) {\n"
      "    int i, s = 0;\n"
      "    for (i = 0; i < n; i++) { b.Put(i); s = s + a.Get(i); }\n"
      "    return s;\n"
      "  }\n"
      "  public int Rare(int n) {\n"
      "    if (n > 100) b.Put(n);\n"
      "    return a.Get(n);\n"
      "  }\n"
      "};\n");
  ASSERT_NE(t.object, nullptr);
  GSFunction& main = t.Function("::Main(int)");
  ASSERT_FALSE(main.depthChecked);
  const int32_t references = t.object->Instance()->refCount;
  for (int run = 0; run < 3; ++run) {
    uint32_t result = 0;
    ASSERT_EQ(t.Call("::Main(int)", &result, {10}), ER_Done) << run;
    EXPECT_EQ(result, 95u) << run;
    ASSERT_NE(main.observed, nullptr);
    EXPECT_EQ(main.observed->sites.size(), 2u);
    // The first run reached both calls; the next ones run the typed code.
    EXPECT_EQ(main.observed->state, run == 0 ? ObservedCalls::Observing : ObservedCalls::Typed) << run;
    EXPECT_EQ(t.object->Instance()->refCount, references);
  }
  // A call never reached keeps its function checked.
  for (int run = 0; run < 3; ++run) {
    uint32_t result = 0;
    ASSERT_EQ(t.Call("::Rare(int)", &result, {1}), ER_Done);
    EXPECT_EQ(result, 6u);
    EXPECT_EQ(t.Function("::Rare(int)").observed->state, ObservedCalls::Observing);
  }
}

// A call of typed code that reaches a callee of another shape than the one
// recorded (which no compiled library does: here a member is given an object
// of another class) stops the thread; later frames run checked again.
TEST(RunCode, AnObservedCallOfAnotherShapeStopsTheThread) {
  Fixture t(
      "class A {\n"
      "  public int Get(void) { return 5; }\n"
      "};\n"
      "class B {\n"
      "  public void Put(void) { }\n"
      "};\n"
      "class T {\n"
      "  public A a = new A();\n"
      "  public B b = new B();\n"
      "  public int Main(void) { b.Put(); return a.Get(); }\n"
      "};\n");
  ASSERT_NE(t.object, nullptr);
  GSFunction& main = t.Function("::Main()");
  ASSERT_FALSE(main.depthChecked);
  uint32_t result = 0;
  for (int run = 0; run < 2; ++run) {
    ASSERT_EQ(t.Call("::Main()", &result), ER_Done);
    EXPECT_EQ(result, 5u);
  }
  ASSERT_EQ(main.observed->state, ObservedCalls::Typed);
  // Member a now holds b's object.
  uint32_t* cells = t.object->Instance()->cells;
  const int32_t a = t.cls->VariableCell("a"), b = t.cls->VariableCell("b");
  ASSERT_GE(a, 0);
  ASSERT_GE(b, 0);
  const uint32_t old = cells[a];
  cells[a] = cells[b];
  AddReference(cells[a]);
  ReleaseHandle(old);
  {
    LogCapture log;
    EXPECT_EQ(t.Call("::Main()", &result), ER_LinkError);
  }
  EXPECT_EQ(main.observed->state, ObservedCalls::Checked);
  LogCapture log;
  EXPECT_EQ(t.Call("::Main()", &result), ER_IllegalInstruction);  // as checked code always did
}

// Calls of verified code from typed code push their frames by a short path
// and end them by another. Each keeps the general path's checks: frames fit
// the stack exactly, locals start as zero over cells an earlier frame used,
// and a return at another depth, of a frame that holds reference cells, or
// of a receiver that only the call holds, ends as the general path ends it.
TEST(RunCode, ShortCallsAndReturnsKeepTheGeneralChecks) {
  Fixture t(
      "class U {\n"
      "  public int V(int x) { return x + 1; }\n"
      "};\n"
      "class T {\n"
      "  public int n;\n"
      "  public int Down(int n) {\n"
      "    if (n == 0) return 0;\n"
      "    return Down(n - 1) + 1;\n"
      "  }\n"
      "  public void Dirty(void) { int a = 7, b = 8, c = 9; n = a + b + c; }\n"
      "  public int G(void) { int a = 1, b = 2, c = 3; return a + (b * (c - (a * (b + (c - a))))) + n; }\n"
      "  public int F(void) { Dirty(); return G(); }\n"
      "  public int Take(T other) { return other.n; }\n"
      "  public int Pass(void) { return Take(me) + Take(me); }\n"
      "  public int Fresh(int x) { return new U().V(x); }\n"
      "};\n");
  ASSERT_NE(t.object, nullptr);
  GSScriptInstance* instance = t.object->Instance();
  const int32_t count = instance->refCount;

  // G's locals, read before any store, are zero though Dirty's were not.
  t.Patch("::G()", {OP_LDL, 1, 0, OP_LDL, 2, 0, OP_ADDI, OP_LDL, 3, 0, OP_ADDI, OP_RETV});
  uint32_t result = 0;
  ASSERT_EQ(t.Call("::F()", &result), ER_Done);
  EXPECT_EQ(result, 0u);
  EXPECT_EQ(t.object->Instance()->cells[t.cls->VariableCell("n")], 24u);

  // A return with two values where the function returns one.
  t.Patch("::G()", {OP_PUSH1, OP_PUSH1, OP_RETV});
  {
    LogCapture log;
    EXPECT_EQ(t.Call("::F()", &result), ER_StackReturnError);
    EXPECT_NE(log.All().find("GSStack::ReturnValue> diff=5"), std::string::npos);
  }
  EXPECT_EQ(instance->refCount, count);

  // A reference parameter is given back; an object only the call holds ends with it.
  ASSERT_EQ(t.Call("::Pass()", &result), ER_Done);
  EXPECT_EQ(result, 48u);
  EXPECT_EQ(instance->refCount, count);
  const std::size_t live = HandleTable::Instance().LiveCount();
  ASSERT_EQ(t.Call("::Fresh(int)", &result, {41}), ER_Done);
  EXPECT_EQ(result, 42u);
  EXPECT_EQ(HandleTable::Instance().LiveCount(), live);

  // Down(n) holds n + 1 frames, each `step` cells above the last. (The
  // receiver's cell of the call that does not fit is an evaluation cell,
  // which an error leaves counted, as it leaves every one.)
  const LibraryFunction& down = *t.Function("::Down(int)").record;
  ASSERT_TRUE(t.Function("::Down(int)").depthChecked);
  const uint32_t step = down.parameters + down.stackAdvance;
  const uint32_t deepest = (kStackCells - 2 - down.frameSize) / step;
  ASSERT_EQ(t.Call("::Down(int)", &result, {deepest}), ER_Done);
  EXPECT_EQ(result, deepest);
  EXPECT_EQ(instance->refCount, count);
  LogCapture log;
  EXPECT_EQ(t.Call("::Down(int)", &result, {deepest + 1}), ER_StackOverflow);
  EXPECT_NE(log.All().find("GSStack overflow..."), std::string::npos);
}

// One function calls through one slot with two distances (two unrelated
// classes number their first method alike): each call reaches its own callee.
TEST(RunCode, OneSlotCalledAtTwoDistancesReachesEachCallee) {
  Fixture t(
      "class A {\n"
      "  public int One(int x) { return x + 1; }\n"
      "};\n"
      "class B {\n"
      "  public int Two(int x, int y) { return x * y; }\n"
      "};\n"
      "class T {\n"
      "  public int Main(int n) {\n"
      "    A a = new A();\n"
      "    B b = new B();\n"
      "    int i, s = 0;\n"
      "    for (i = 0; i < n; i++) s = a.One(s) + b.Two(i, 2);\n"
      "    return s;\n"
      "  }\n"
      "};\n");
  ASSERT_NE(t.object, nullptr);
  ASSERT_TRUE(t.Function("::Main(int)").depthChecked);
  EXPECT_EQ(t.cls->Library()->FindClass("A")->FindMethod("::One(int)")->record->slot,
            t.cls->Library()->FindClass("B")->FindMethod("::Two(int,int)")->record->slot);
  uint32_t result = 0;
  ASSERT_EQ(t.Call("::Main(int)", &result, {10}), ER_Done);
  EXPECT_EQ(result, 100u);  // each turn adds 1 + 2i
}
