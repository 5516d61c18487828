// A library is outside data: whatever its bytes, loading and running it ends
// in a refusal, a script error or a normal end, never in memory corruption;
// and what scripts allocate is bounded.
#include <algorithm>
#include <chrono>
#include <cstring>
#include <span>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "gamescript/runtime/Machine.h"
#include "gamescript/runtime/Thread.h"
#include "gamescript/runtime/Verifier.h"
#include "tests/gamescript/runtime/runtime_support.h"

using namespace GSRuntime;
using RuntimeTest::Folder;
using RuntimeTest::LogCapture;

namespace {

enum class Outcome { Refused, Ran, ScriptError };

// Loads the bytes as a library in a fresh machine and, when it loads, runs
// `T::Main()` on a new instance of T.
Outcome LoadAndRun(const Folder& folder, const std::vector<uint8_t>& bytes, int32_t* code = nullptr) {
  // A new name each time, removed after: a file truncated and written again
  // would be forced to the disk on close.
  static int serial = 0;
  std::string name = std::to_string(serial++);
  name += ".gsl";
  {
    Kiv::File file;
    EXPECT_TRUE(file.Open(folder.At(name), Kiv::File::Mode::Write));
    EXPECT_EQ(file.Write(bytes.data(), bytes.size()), int64_t(bytes.size()));
  }
  struct Remove {
    std::string path;
    ~Remove() { EXPECT_TRUE(Kiv::File::Unlink(path)); }
  } remove{folder.At(name)};
  GSMachine machine;
  machine.RegisterBuiltins();
  GSLibrary* library = machine.AddLibrary(folder.Path(), name) ? machine.GetLibraryByName(name) : nullptr;
  GSClass* cls = library ? library->FindClass("T") : nullptr;
  GSFunction* main = cls ? cls->FindMethod("::Main()") : nullptr;
  if (!main) return Outcome::Refused;
  GSContext context;
  GSObject* object = new GSObject();
  int32_t result = ER_ClassCreateError;
  if (object->BindScriptClass(cls, &context)) {
    uint32_t value = 0;
    result = CallScriptFunction(*main, object->GetScriptHandle(), nullptr, 0, &value);
    if (result == ER_Done && ResultKind(main->record->returnType) == kKindReference) ReleaseHandle(value);
  }
  delete object;
  if (code) *code = result;
  return result == ER_Done ? Outcome::Ran : Outcome::ScriptError;
}

std::vector<uint8_t> Compiled(const Folder& folder, const std::string& name, const std::string& source) {
  folder.Compile(name, source);
  return folder.Read(name + ".gsl");
}

// The code of function `key` (a method part such as "::Run()") within the image.
struct CodeAt {
  std::size_t offset = 0, size = 0, references = 0;
};
CodeAt FindCode(const std::vector<uint8_t>& image, std::string_view method) {
  LibraryFile file;
  EXPECT_EQ(ReadLibraryFile(image, file, false), "");
  for (const LibraryClass& c : file.classes)
    for (const LibraryFunction& f : c.functions)
      if (MethodPart(f.key) == method)
        return {std::size_t(f.code.data() - image.data()), f.code.size(), f.referenceCells.size()};
  ADD_FAILURE() << "no function " << method;
  return {};
}

// The offsets of the instructions of `op` in the code.
std::vector<std::size_t> Find(const std::vector<uint8_t>& image, CodeAt code, uint8_t op) {
  std::vector<std::size_t> at;
  InstructionView in;
  for (std::size_t pc = 0; pc < code.size; pc += in.length) {
    if (!DecodeInstruction(image.data() + code.offset, code.size, pc, in)) break;
    if (in.op == op) at.push_back(code.offset + pc);
  }
  return at;
}

// The instruction after the one at `at`.
uint8_t Next(const std::vector<uint8_t>& image, std::size_t at) {
  return image[at + InstructionLength(image.data(), image.size(), at)];
}

const char* const kSelfReferences = R"(class T {
  public int n;
  public int Main(void) {
    T x;
    T y = null;
    x = me;
    x = null;
    x = me;
    x = null;
    x = me;
    if (x == y) n = 1;
    x = null;
    n = n + 5;
    return n;
  }
};
)";

TEST(RuntimeSafety, ReferencesDroppedThatWereNeverTakenAreRefused) {
  Folder folder;
  InstallInterpreter();
  const std::vector<uint8_t> image = Compiled(folder, "t", kSelfReferences);
  int32_t code = -1;
  ASSERT_EQ(LoadAndRun(folder, image, &code), Outcome::Ran) << ErrorName(code);
  const CodeAt main = FindCode(image, "::Main()");

  // `me` loaded without its reference, then dropped by each store of null.
  std::vector<uint8_t> patched = image;
  const std::vector<std::size_t> loads = Find(image, main, OP_LDLO);
  ASSERT_FALSE(loads.empty());
  patched[loads[0]] = OP_LDL;
  {
    LogCapture log;
    EXPECT_EQ(LoadAndRun(folder, patched), Outcome::Refused);
    EXPECT_NE(log.All().find("malformed library"), std::string::npos) << log.All();
  }

  // The integer 1 taken for a handle: stored over a reference, and compared.
  int stores = 0, compares = 0;
  for (std::size_t at : Find(image, main, OP_PUSH0)) {
    const uint8_t next = Next(image, at);
    if (next != OP_STLO && next != OP_CMPO) continue;
    (next == OP_STLO ? stores : compares) += 1;
    patched = image;
    patched[at] = OP_PUSH1;
    EXPECT_EQ(LoadAndRun(folder, patched), Outcome::Refused)
        << "PUSH1 before " << kOpcodeTable[next].mnemonic;
  }
  EXPECT_GT(stores, 0);
  EXPECT_GT(compares + stores, 1);
}

// Calls whose callee the load cannot know (two classes differ at one slot)
// leave the function's kinds to the interpreter, which checks them as it runs.
TEST(RuntimeSafety, KindsUnprovenAtLoadAreCheckedAsTheCodeRuns) {
  Folder folder;
  InstallInterpreter();
  const std::vector<uint8_t> image = Compiled(folder, "t", R"(class A {
  public int Get(void) { return 5; }
};
class B {
  public void Put(void) { }
};
class T {
  public string s;
  public int Main(void) {
    A a = new A();
    B b = new B();
    b.Put();
    T x;
    x = me;
    s = "text";
    x = null;
    return a.Get() + s.size();
  }
};
)");
  {
    folder.Write("u.gsl", image);
    GSMachine machine;
    machine.RegisterBuiltins();
    ASSERT_TRUE(machine.AddLibrary(folder.Path(), "u.gsl"));
    GSFunction* main = machine.GetLibraryByName("u.gsl")->FindClass("T")->FindMethod("::Main()");
    ASSERT_NE(main, nullptr);
    EXPECT_FALSE(main->depthChecked);
  }
  int32_t code = -1;
  ASSERT_EQ(LoadAndRun(folder, image, &code), Outcome::Ran) << ErrorName(code);
  const CodeAt main = FindCode(image, "::Main()");
  const std::vector<std::size_t> calls = Find(image, main, OP_CALL);
  ASSERT_FALSE(calls.empty());
  int patched = 0;
  for (std::size_t at : Find(image, main, OP_PUSH0)) {
    if (at < calls[0] || Next(image, at) != OP_STLO) continue;
    std::vector<uint8_t> changed = image;
    changed[at] = OP_PUSH1;
    EXPECT_EQ(LoadAndRun(folder, changed, &code), Outcome::ScriptError);
    EXPECT_EQ(code, ER_IllegalInstruction);
    ++patched;
  }
  EXPECT_EQ(patched, 1);
  // A member that holds a reference takes no number, even from proven code.
  for (std::size_t at : Find(image, main, OP_STSO)) {
    std::vector<uint8_t> changed = image;
    changed[at] = OP_STS;
    EXPECT_NE(LoadAndRun(folder, changed, &code), Outcome::Ran);
  }
}

TEST(RuntimeSafety, CallsPassingAnotherKindThanTheCalleeTakesAreRefused) {
  Folder folder;
  InstallInterpreter();
  const std::vector<uint8_t> image = Compiled(folder, "t", R"(class T {
  public int F(int a) { return a + 1; }
  public int G(string s) { return s.size(); }
  public int Main(void) { return F(1) + G("xyz"); }
};
)");
  ASSERT_EQ(LoadAndRun(folder, image), Outcome::Ran);
  const std::vector<std::size_t> calls = Find(image, FindCode(image, "::Main()"), OP_CALL);
  ASSERT_EQ(calls.size(), 2u);
  // Each call site reaches the other function: a number released as a
  // handle, a string's reference never released.
  std::vector<uint8_t> patched = image;
  for (int i = 0; i < 2; ++i) std::memcpy(&patched[calls[i] + 3], &image[calls[1 - i] + 3], 2);
  EXPECT_EQ(LoadAndRun(folder, patched), Outcome::Refused);
}

TEST(RuntimeSafety, AFunctionWithoutCodeIsRefusedWhereItCanBeCalled) {
  Folder folder;
  InstallInterpreter();
  const std::vector<uint8_t> image = Compiled(folder, "t", R"(class T {
  public int n;
  public int Main(void) { n = 7; return n; }
};
)");
  ASSERT_EQ(LoadAndRun(folder, image), Outcome::Ran);
  LibraryFile file;
  ASSERT_EQ(ReadLibraryFile(image, file, false), "");
  ASSERT_EQ(file.classes.size(), 1u);
  const auto& functions = file.classes[0].functions;
  ASSERT_EQ(functions.size(), 2u);
  ASSERT_TRUE(functions[1].code.empty());  // the initialiser
  // Swap the key words (and give the initialiser Main's result type): calls
  // of Main reach the empty function.
  auto keyWord = [&](const LibraryFunction& f) {
    return std::size_t(f.code.data() - image.data()) - 4 - 4 * f.referenceCells.size() - 4 - 48;
  };
  std::vector<uint8_t> patched = image;
  const std::size_t a = keyWord(functions[0]), b = keyWord(functions[1]);
  std::memcpy(&patched[a], &image[b], 4);
  std::memcpy(&patched[b], &image[a], 8);
  {
    LogCapture log;
    EXPECT_EQ(LoadAndRun(folder, patched), Outcome::Refused);
    EXPECT_NE(log.All().find("function without code"), std::string::npos) << log.All();
  }

  // A host that calls an empty function directly gets a link error.
  GSMachine machine;
  machine.RegisterBuiltins();
  ASSERT_TRUE(machine.AddLibrary(folder.Path(), "t.gsl"));
  GSClass* cls = machine.GetLibraryByName("t.gsl")->FindClass("T");
  GSContext context;
  GSObject object;
  ASSERT_TRUE(object.BindScriptClass(cls, &context));
  EXPECT_EQ(CallScriptFunction(cls->Functions().back(), object.GetScriptHandle(), nullptr, 0, nullptr),
            ER_LinkError);
}

// Code that drops its receiver's references (as no verified code can)
// still cannot end the instance while its function runs: the frame holds one
// of its own. The sanitizer build reports the member store otherwise.
TEST(RuntimeSafety, AFrameKeepsItsReceiverAliveWhileItRuns) {
  Folder folder;
  InstallInterpreter();
  folder.Compile("t", R"(class T {
  public int n;
  public int F(void) { int a = 1, b = 2, c = 3; n = a + b + c; return a + (b * (c - (a * (b + (c - a))))) + n; }
};
)");
  GSMachine machine;
  machine.RegisterBuiltins();
  ASSERT_TRUE(machine.AddLibrary(folder.Path(), "t.gsl"));
  GSClass* cls = machine.GetLibraryByName("t.gsl")->FindClass("T");
  GSFunction& f = *cls->FindMethod("::F()");
  ASSERT_TRUE(f.depthChecked);  // runs without the interpreter's checks
  const auto code = f.record->code;
  uint16_t member = 0;
  InstructionView in;
  for (std::size_t pc = 0; pc < code.size() && DecodeInstruction(code.data(), code.size(), pc, in);
       pc += in.length)
    if (in.op == OP_STS) member = in.Index();
  ASSERT_NE(member, 0);
  const std::vector<uint8_t> body = {
      OP_LDL,   0,       0,        OP_POPO, OP_LDL,          0,
      0,        OP_POPO, OP_PUSH1, OP_STS,  uint8_t(member), uint8_t(member >> 8),
      OP_PUSH1, OP_RETV};
  ASSERT_LE(body.size(), code.size());
  std::memcpy(const_cast<uint8_t*>(code.data()), body.data(), body.size());

  GSContext context;
  GSObject* object = new GSObject();  // its instance's last release deletes it
  ASSERT_TRUE(object->BindScriptClass(cls, &context));
  const uint32_t handle = object->GetScriptHandle();
  uint32_t result = 0;
  EXPECT_EQ(CallScriptFunction(f, handle, nullptr, 0, &result), ER_Done);
  EXPECT_EQ(result, 1u);
  // The two references dropped were the object's and the call's: it ended with the frame.
  EXPECT_EQ(HandleTable::Instance().Get(handle), nullptr);
}

// A member listed twice among an instance's references would be released
// twice: the class makes no instance.
TEST(RuntimeSafety, AMemberReferenceListedTwiceMakesNoInstance) {
  Folder folder;
  InstallInterpreter();
  const std::vector<uint8_t> image = Compiled(folder, "t", R"(class T {
  public T a;
  public T b;
  public int Main(void) { a = me; b = a; a = null; b = null; return 1; }
};
)");
  ASSERT_EQ(LoadAndRun(folder, image), Outcome::Ran);
  // The member reference list: its count, then cells 2 and 3.
  const uint8_t list[] = {2, 0, 0, 0, 2, 0, 0, 0, 3, 0, 0, 0};
  const auto at = std::search(image.begin(), image.end(), std::begin(list), std::end(list));
  ASSERT_NE(at, image.end());
  std::vector<uint8_t> patched = image;
  patched[std::size_t(at - image.begin()) + 8] = 2;
  LogCapture log;
  int32_t code = -1;
  EXPECT_EQ(LoadAndRun(folder, patched, &code), Outcome::ScriptError);
  EXPECT_EQ(code, ER_ClassCreateError);
  EXPECT_NE(log.All().find("member references of T overlap"), std::string::npos) << log.All();
}

// Hand-assembled bodies against a frame of the receiver, one reference
// parameter (cell 1), one number local (cell 2), one temporary (cell 3) and
// three evaluation cells.
TEST(RuntimeSafety, VerifierFollowsTheKindOfEveryCell) {
  struct Case {
    const char* name;
    std::vector<uint8_t> code;
    const char* expected;  // empty: sound
    uint32_t returnType = 0;
  };
  const uint8_t R = OP_RET;
  const Case cases[] = {
      {"reference parameter dropped", {OP_LDLO, 1, 0, OP_POPO, R}, ""},
      {"reference read as a number", {OP_LDL, 1, 0, OP_POP, R}, "wrong kind"},
      {"number stored over a reference", {OP_PUSH1, OP_STLO, 1, 0, R}, "number used as a handle"},
      {"null stored over a reference", {OP_PUSH0, OP_STLO, 1, 0, R}, ""},
      {"reference stored in a number local", {OP_LDLO, 1, 0, OP_STL, 2, 0, R}, "handle used as a number"},
      {"store into the receiver", {OP_LDLO, 1, 0, OP_STLO, 0, 0, R}, "receiver"},
      {"reference popped as a number", {OP_LDLO, 1, 0, OP_POP, R}, "handle used as a number"},
      {"number released", {OP_PUSH1, OP_POPO, R}, "number used as a handle"},
      {"number compared as handles", {OP_PUSH1, OP_PUSH0, OP_CMPO, OP_POP, R}, "number used as a handle"},
      {"reference copied as a number",
       {OP_LDLO, 1, 0, OP_DUP, OP_POP, OP_POPO, R},
       "handle used as a number"},
      {"kept store shares a reference",
       {OP_LDLO, 1, 0, OP_STLK, 3, 0, OP_POPO, R},
       "handle used as a number"},
      {"temporary holds a number, then is released",
       {OP_PUSH1, OP_STL, 3, 0, OP_PUSH0, OP_STLO, 3, 0, R},
       "number used as a handle"},
      {"temporary holds a reference for a while",
       {OP_LDLO, 1, 0, OP_STL, 3, 0, OP_LDLO, 3, 0, OP_POPO, OP_PUSH0, OP_STLO, 3, 0, R},
       ""},
      {"null and a reference join",
       {OP_PUSH1, OP_JZ, 14, 0, 0, 0, OP_LDLO, 1, 0, OP_JMP, 15, 0, 0, 0, OP_PUSH0, OP_POPO, R},
       ""},
      {"a number and a reference join",
       {OP_PUSH1, OP_JZ, 14, 0, 0, 0, OP_LDLO, 1, 0, OP_JMP, 15, 0, 0, 0, OP_PUSH1, OP_POPO, R},
       "number used as a handle"},
      // The loop's second pass finds a number in the temporary it releases.
      {"loop changes a temporary's kind",
       {OP_LDLO, 3, 0, OP_POPO, OP_PUSH1, OP_STL, 3, 0, OP_PUSH1, OP_JNZ, 0, 0, 0, 0, R},
       "number used as a handle"},
      // Entered again with another kind in the temporary, which the loop then keeps.
      {"loop sets a temporary it found null", {OP_PUSH1, OP_STL, 3, 0, OP_PUSH1, OP_JNZ, 0, 0, 0, 0, R}, ""},
      {"loop puts a reference where it found a number",
       {OP_PUSH1, OP_POP, OP_LDL, 3, 0, OP_POP, OP_LDLO, 1, 0, OP_STL, 3, 0, OP_PUSH1, OP_JNZ, 2, 0, 0, 0, R},
       "handle used as a number"},
      {"returns a reference as a number", {OP_LDLO, 1, 0, OP_RETV}, "handle used as a number", 2},
      {"returns a reference from a function of numbers",
       {OP_LDLO, 1, 0, OP_RETVO},
       "return of another kind",
       2},
      {"returns nothing from a function with a result", {R}, "return of another kind", 2},
      {"returns a number", {OP_PUSH1, OP_RETV}, "", 2},
      {"returns a string", {OP_LDLO, 1, 0, OP_RETVO}, "", 4},
  };
  const uint8_t refs[] = {1, 0, 0, 0, 1, 0, 0, 0};
  // The frame above; `listed` reference cells (a second is cell 1 again).
  auto verify = [&](const std::vector<uint8_t>& code, uint32_t returnType, uint32_t listed) {
    LibraryFunction f;
    f.parameters = 2;
    f.locals = 1;
    f.temporaries = 1;
    f.stackAdvance = 6;
    f.frameHeader = 3;
    f.frameSize = 9;
    f.returnType = returnType;
    f.referenceCells = {refs, listed};
    f.code = code;
    bool typed;
    return VerifyCode(f, 1, 1, nullptr, nullptr, typed);
  };
  for (const Case& c : cases) {
    const std::string problem = verify(c.code, c.returnType, 1);
    if (*c.expected == 0)
      EXPECT_EQ(problem, "") << c.name;
    else
      EXPECT_NE(problem.find(c.expected), std::string::npos) << c.name << ": " << problem;
  }
  // A reference cell listed twice would be released twice.
  EXPECT_NE(verify({R}, 0, 2).find("listed twice"), std::string::npos);
}

// Small libraries that use objects, strings, arrays and calls.
const char* const kSweepSources[] = {
    R"(class Node {
  public int v;
  public Node next;
  public int Sum(void) { if (next == null) return v; return v + next.Sum(); }
};
class T {
  public Node head;
  public Node Push(Node n, int v) { Node m = new Node(); m.v = v; m.next = n; return m; }
  public int Main(void) {
    Node n = Push(Push(null, 3), 4);
    head = Push(n, 5);
    Node k = n.next;
    n = null;
    if (k == head) return 0;
    return head.Sum() * 10 + k.v;
  }
};
)",
    R"(class T {
  public string last;
  public string Join(string a, string b) { return a + "-" + b; }
  public int Main(void) {
    string s = Join("ab", "cd");
    s[7] = 'x';
    string t = s[1, 4];
    t[0, 1] = "QQ";
    last = t + (string)s.size();
    if (last < "R") return 1;
    return last.size();
  }
};
)",
    R"(class Box {
  public int v;
  public Box other;
};
class T {
  public int Main(void) {
    int[] a = new int[3];
    a[5] = 9;
    Box[] boxes = new Box[2];
    boxes[1] = new Box();
    boxes[1].other = boxes[1];
    boxes[1].v = a[5] + a.size();
    Box[] more = new Box[0];
    more.copy(boxes);
    more[1].v++;
    int[] r = a[1, 3];
    a[0, 2] = r;
    boxes[1].other = null;
    return boxes[1].v + a.size();
  }
};
)",
};

// Every single-byte change (xor 0x01 and xor 0xFF) and every truncation of
// each library: each ends in a refusal, a script error or a normal end (the
// sanitizer build reports any memory fault).
TEST(RuntimeSafety, EveryByteChangeAndTruncationIsRefusedOrRunsSafely) {
  Folder folder;
  InstallInterpreter();
  std::size_t counts[3] = {};
  const auto start = std::chrono::steady_clock::now();
  for (std::size_t s = 0; s < std::size(kSweepSources); ++s) {
    const char name[] = {'s', char('0' + s), 0};
    const std::vector<uint8_t> image = Compiled(folder, name, kSweepSources[s]);
    int32_t code = -1;
    ASSERT_EQ(LoadAndRun(folder, image, &code), Outcome::Ran) << s << ": " << ErrorName(code);
    std::vector<uint8_t> changed = image;
    for (std::size_t i = 0; i < image.size(); ++i)
      for (uint8_t mask : {uint8_t(0x01), uint8_t(0xFF)}) {
        changed[i] ^= mask;
        ++counts[int(LoadAndRun(folder, changed))];
        changed[i] = image[i];
      }
    for (std::size_t n = 0; n < image.size(); ++n)
      ++counts[int(LoadAndRun(folder, std::vector<uint8_t>(image.begin(), image.begin() + long(n))))];
  }
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf("sweep: %zu refused, %zu ran, %zu script errors in %.1f s\n", counts[0], counts[1], counts[2],
              seconds);
  EXPECT_GT(counts[0], 0u);
  EXPECT_GT(counts[1], 0u);
  EXPECT_GT(counts[2], 0u);
  EXPECT_EQ(HandleTable::Instance().LiveCount(), 0u);
}

// The verifier's short path takes most instructions with the state in a
// register; the general path takes each one cell by cell and is the one
// that says what is wrong. On every function of the sweep libraries and of
// one with loops, a switch and temporaries, with every byte changed, every
// truncation, a frame one cell short and calls known, unknown or stopping,
// both give the same answer.
TEST(RuntimeSafety, VerifierShortPathAgreesWithTheGeneralPath) {
  Folder folder;
  std::vector<std::string> sources(std::begin(kSweepSources), std::end(kSweepSources));
  sources.push_back(R"(class T {
  public int count = 3;
  float ratio = 1.5;
  public void Reset(void) { count = 0; ratio = 0.0; }
  public int Step(int a, float b) {
    int i;
    for (i = 0; i < a; i++) {
      if (i % 2 == 0 and b > 0.5) count = count + i * 2;
      else count = count - 1;
    }
    switch (a) { case 1: count = 5; break; case 7: count = 2; break; default: break; }
    string s = "value " + (string)count;
    while (ratio > 10.0) ratio = ratio / 2.0;
    Reset();
    return count + s.size();
  }
};
class Item {
  public int weight;
  public string label;
};
class U {
  public int[] counts;
  public Item[] items;
  public void Arrays(int n) {
    counts = new int[n];
    counts[1]++;
    --counts[2];
    int total = counts[0]++ + ++counts[1];
    items = new Item[n];
    items[0] = new Item();
    items[0].weight++;
    if (total > 0) items[0].label = "big";
  }
};
)");
  struct Shapes {
    const LibraryClass* cls;
    int mode;
    static CallKnowledge Of(void* self, const InstructionView& call, const LibraryFunction*& callee) {
      const auto* s = static_cast<const Shapes*>(self);
      switch ((call.Slot() + s->mode) % 3) {
        case 0: return CallKnowledge::Unknown;
        case 1: return CallKnowledge::None;
        default:
          callee = &s->cls->functions[call.Slot() % s->cls->functions.size()];
          return CallKnowledge::Known;
      }
    }
  };
  std::size_t checked = 0, refused = 0;
  // Both paths on `f` with `code`; false (and a failure) when they differ.
  // VerifyCode keeps its walk from call to call and the general path starts
  // afresh, so this also finds what one function would leave to the next.
  const auto agree = [&](const LibraryFunction& f, std::span<const uint8_t> code, const LibraryClass& c,
                         const LibraryFile& file) {
    LibraryFunction h = f;
    h.code = code;
    for (int mode = 0; mode < 4; ++mode) {
      Shapes shapes{&c, mode};
      const CallShapeFunction shape = mode == 3 ? nullptr : &Shapes::Of;
      bool typed = false, generally = false;
      const std::string a =
          VerifyCode(h, file.strings.size(), file.classImports.size(), shape, &shapes, typed);
      const std::string b = VerifierDetail::VerifyCodeGenerally(
          h, file.strings.size(), file.classImports.size(), shape, &shapes, generally);
      ++checked;
      refused += !a.empty();
      if (a != b || typed != generally) {
        ADD_FAILURE() << f.key << " mode " << mode << ": short path '" << a << "' (" << typed
                      << "), general path '" << b << "' (" << generally << ")";
        return false;
      }
    }
    return true;
  };
  // Bytes flipped, each byte replaced by an instruction that moves cells
  // between the frame and the stack or ends the function, the code cut
  // short, the frame a cell short.
  const auto sweep = [&](const LibraryFunction& f, const LibraryClass& c, const LibraryFile& file) {
    std::vector<uint8_t> code(f.code.begin(), f.code.end());
    LibraryFunction narrow = f;
    if (narrow.frameSize > narrow.stackAdvance) --narrow.frameSize;
    bool ok = agree(f, code, c, file) && agree(narrow, code, c, file);
    const uint8_t swaps[] = {OP_LDL, OP_LDLO, OP_STL,  OP_STLK,  OP_STLO, OP_STLOK, OP_POP,  OP_POPO,
                             OP_DUP, OP_DUPO, OP_SWAP, OP_PUSH0, OP_RET,  OP_RETV,  OP_RETVO};
    for (std::size_t i = 0; ok && i < code.size(); ++i) {
      const uint8_t was = code[i];
      for (uint8_t mask : {uint8_t(0x01), uint8_t(0xFF), uint8_t(0x10)}) {
        code[i] = was ^ mask;
        ok = ok && agree(f, code, c, file);
      }
      for (uint8_t op : swaps) {
        code[i] = op;
        ok = ok && agree(f, code, c, file);
      }
      code[i] = was;
    }
    for (std::size_t n = 0; ok && n < code.size(); ++n)
      ok = agree(f, std::span<const uint8_t>(code.data(), n), c, file);
  };
  std::vector<std::vector<uint8_t>> images;
  std::vector<LibraryFile> files(sources.size());
  for (std::size_t k = 0; k < sources.size(); ++k) {
    const char name[] = {'v', char('0' + k), 0};
    images.push_back(Compiled(folder, name, sources[k]));
    ASSERT_EQ(ReadLibraryFile(images.back(), files[k], false), "");
    for (const LibraryClass& c : files[k].classes)
      for (const LibraryFunction& f : c.functions) sweep(f, c, files[k]);
  }
  // The compiler rarely parks a reference in a temporary: a hand-assembled
  // body does, in a frame of the receiver, a reference parameter (cell 1), a
  // number local and a temporary (cell 3).
  const uint8_t refs[] = {1, 0, 0, 0};
  const uint8_t body[] = {OP_LDLO, 1,       0, OP_STL,  3,       0,       OP_LDLO, 3,        0,       OP_POPO,
                          OP_LDL,  2,       0, OP_STLK, 3,       0,       OP_POP,  OP_PUSH0, OP_STLO, 3,
                          0,       OP_LDLO, 1, 0,       OP_DUPO, OP_POPO, OP_POPO, OP_RET};
  LibraryFunction parked;
  parked.key = "parked";
  parked.parameters = 2;
  parked.locals = 1;
  parked.temporaries = 1;
  parked.stackAdvance = 6;
  parked.frameHeader = 3;
  parked.frameSize = 9;
  parked.referenceCells = {refs, 1};
  parked.code = body;
  sweep(parked, files[0].classes[0], files[0]);
  EXPECT_GT(refused, 0u);
  EXPECT_LT(refused, checked);
}

// Where branches join, the short path keeps the kinds in a word when the
// frame has no temporaries: a target's kept kinds narrow to what every path
// into it allows, whether the path into it falls through, jumps to it first
// or jumps to it again, and the general path gives the same answers.
TEST(RuntimeSafety, VerifierJoinsKindsAtBranchTargetsAsTheGeneralPathDoes) {
  // Receiver and one number parameter (cell 1); room for four cells.
  const auto verify = [](std::vector<uint8_t> code, uint32_t temporaries = 0) {
    LibraryFunction f;
    f.key = "joins";
    f.parameters = 2;
    f.temporaries = temporaries;
    f.stackAdvance = temporaries + 4;
    f.frameHeader = temporaries + 1;
    f.frameSize = f.stackAdvance + 4;
    f.code = code;
    bool typed = false, generally = false;
    const std::string shortPath = VerifyCode(f, 0, 0, nullptr, nullptr, typed);
    const std::string general = VerifierDetail::VerifyCodeGenerally(f, 0, 0, nullptr, nullptr, generally);
    EXPECT_EQ(shortPath, general);
    EXPECT_EQ(typed, generally);
    return shortPath;
  };
  const auto at = [](uint32_t target) {
    return std::vector<uint8_t>{uint8_t(target), uint8_t(target >> 8), 0, 0};
  };
  const auto join = [](std::initializer_list<std::vector<uint8_t>> parts) {
    std::vector<uint8_t> code;
    for (const auto& p : parts) code.insert(code.end(), p.begin(), p.end());
    return code;
  };
  const std::vector<uint8_t> pushNumber = {OP_PUSHK, 7, 0, 0, 0}, condition = {OP_LDL, 1, 0};
  // PUSHK of a zero word pushes the null handle (any use), of any other a
  // number, whichever of its bytes is not zero.
  EXPECT_EQ(verify({OP_PUSHK, 0, 0, 0, 0, OP_POPO, OP_RET}), "");
  EXPECT_EQ(verify({OP_PUSHK, 0, 0, 0, 1, OP_POPO, OP_RET}), "number used as a handle at code offset 5");
  for (const uint32_t temporaries : {0u, 1u}) {
    // The null handle, then on one path a number in its place: the target
    // (offset 15) allows a number only, whether control falls or jumps into it.
    const std::vector<uint8_t> fallsIn = join({{OP_PUSH0}, condition, {OP_JZ}, at(15), {OP_POP}, pushNumber});
    ASSERT_EQ(fallsIn.size(), 15u);
    EXPECT_EQ(verify(join({fallsIn, {OP_POPO, OP_RET}}), temporaries),
              "number used as a handle at code offset 15");
    EXPECT_EQ(verify(join({fallsIn, {OP_POP, OP_RET}}), temporaries), "");
    // Both paths the null handle: a handle use passes.
    EXPECT_EQ(verify(join({{OP_PUSH0}, condition, {OP_JZ}, at(11), {OP_POP, OP_PUSH0, OP_POPO, OP_RET}}),
                     temporaries),
              "");
    // A second jump into a target narrows what the first left, and the
    // path falling in last cannot widen it again (target at offset 25).
    const std::vector<uint8_t> twice = join({{OP_PUSH0},
                                             condition,
                                             {OP_JZ},
                                             at(25),
                                             {OP_POP},
                                             pushNumber,
                                             condition,
                                             {OP_JZ},
                                             at(25),
                                             {OP_POP, OP_PUSH0}});
    ASSERT_EQ(twice.size(), 25u);
    EXPECT_EQ(verify(join({twice, {OP_POPO, OP_RET}}), temporaries),
              "number used as a handle at code offset 25");
    // A jump over code to a target the fall-through never reaches: the
    // target's kinds are the jump's (a number).
    EXPECT_EQ(verify(join({pushNumber, {OP_JMP}, at(11), {OP_PUSH0}, {OP_POPO, OP_RET}}), temporaries),
              "number used as a handle at code offset 11");
    EXPECT_EQ(verify(join({pushNumber, {OP_JMP}, at(11), {OP_PUSH0}, {OP_POP, OP_RET}}), temporaries), "");
    // Paths of different depths into one target, first by the jump, then
    // by a second jump, then by falling in.
    EXPECT_EQ(verify(join({condition, {OP_JZ}, at(13), pushNumber, {OP_POP, OP_RET}}), temporaries),
              "stack depth differs between paths at code offset 13");
    EXPECT_EQ(
        verify(join({pushNumber, condition, {OP_JZ}, at(22), {OP_POP}, condition, {OP_JZ}, at(22), {OP_RET}}),
               temporaries),
        "stack depth differs between paths at code offset 22");
    // The instruction at a target is checked before the join: a frame
    // cell outside the frame there is refused as such.
    EXPECT_EQ(verify(join({condition, {OP_JZ}, at(8), {OP_LDL, 9, 0, OP_POP, OP_RET}}), temporaries),
              "local cell outside the frame at code offset 8");
    // A switch (at offset 4, 23 bytes with two cases) joins its state into
    // every case's target and the default's, here 27 and 29.
    const auto cases = [&](int32_t first, int32_t second, uint32_t a, uint32_t b, uint32_t otherwise) {
      return join(
          {{OP_SWITCH, 2, 0}, at(uint32_t(first)), at(uint32_t(second)), at(a), at(b), at(otherwise)});
    };
    const std::vector<uint8_t> ends = {OP_POPO, OP_RET, OP_POP, OP_RET};
    EXPECT_EQ(verify(join({{OP_PUSH0}, condition, cases(1, 2, 27, 29, 29), ends}), temporaries), "");
    EXPECT_EQ(verify(join({pushNumber, condition, cases(1, 2, 31, 33, 33), ends}), temporaries),
              "number used as a handle at code offset 31");
    EXPECT_EQ(verify(join({{OP_PUSH0}, condition, cases(2, 1, 27, 29, 29), ends}), temporaries),
              "switch keys not ascending at code offset 4");
    EXPECT_EQ(verify(join({{OP_PUSH0}, condition, cases(1, 2, 27, 29, 31), ends}), temporaries),
              "jump target outside the code at code offset 4");
    EXPECT_EQ(verify(join({{OP_PUSH0}, condition, cases(1, 2, 27, 2, 29), ends}), temporaries),
              "jump target not on an instruction at code offset 4");
    EXPECT_EQ(verify(join({{OP_PUSH0, OP_LDLO, 0, 0}, cases(1, 2, 27, 29, 29), ends}), temporaries),
              "handle used as a number at code offset 4");
  }
}

TEST(RuntimeSafety, MemoryLimitEndsAHoardingScriptAndTheMachineRunsOn) {
  Folder folder;
  InstallInterpreter();
  folder.Compile("t", R"(class Hold {
  public int[] data;
  public Hold next;
};
class T {
  public Hold head;
  public int Hoard(void) {
    int i;
    for (i = 0; i < 1000; i++) {
      Hold h = new Hold();
      h.next = head;
      head = h;
      h.data = new int[1000000];
    }
    return 0;
  }
  public int Objects(void) {
    int i;
    for (i = 0; i < 100000; i++) {
      Hold h = new Hold();
      h.next = head;
      head = h;
    }
    return 0;
  }
  public int Text(void) {
    string s = "x";
    while (s.size() < 100000000) s = s + s;
    return s.size();
  }
  public int Small(void) {
    head = null;
    int[] a = new int[1000];
    a[999] = 4;
    return a[999] + a.size();
  }
};
)");
  const uint64_t limit = ScriptMemory::Limit();
  EXPECT_EQ(limit, ScriptMemory::kDefaultLimit);
  GSMachine machine;
  machine.RegisterBuiltins();
  machine.SetMemoryLimit(uint64_t(32) << 20);
  ASSERT_TRUE(machine.AddLibrary(folder.Path(), "t.gsl"));
  GSClass* cls = machine.GetLibraryByName("t.gsl")->FindClass("T");
  const uint64_t before = ScriptMemory::Used();
  // Each run in a context of its own, as a host runs scripts: what a failed
  // run still held goes with its context.
  auto run = [&](const char* method) {
    GSContext context;
    GSObject object;
    if (!object.BindScriptClass(cls, &context)) return -1;
    uint32_t result = 0;
    const int32_t code =
        CallScriptFunction(*cls->FindMethod(method), object.GetScriptHandle(), nullptr, 0, &result);
    EXPECT_LE(ScriptMemory::Used(), machine.MemoryLimit()) << method;
    return code == ER_Done ? int32_t(result) : -1000 - code;
  };
  EXPECT_EQ(run("::Hoard()"), -1000 - ER_ArrayOutOfBounds);
  EXPECT_EQ(ScriptMemory::Used(), before);
  EXPECT_EQ(run("::Small()"), 1004);
  EXPECT_EQ(run("::Text()"), -1000 - ER_ArrayOutOfBounds);
  EXPECT_EQ(run("::Small()"), 1004);
  // Instances count too.
  machine.SetMemoryLimit(before + 4096);
  EXPECT_EQ(run("::Objects()"), -1000 - ER_ClassCreateError);
  machine.SetMemoryLimit(limit);
  EXPECT_EQ(run("::Small()"), 1004);
  EXPECT_EQ(ScriptMemory::Used(), before);
}

}  // namespace
