#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "gamescript/compiler/Driver.h"
#include "gamescript/runtime/Class.h"
#include "gamescript/runtime/GameObject.h"
#include "gamescript/runtime/Machine.h"
#include "gamescript/runtime/MachineState.h"
#include "gamescript/runtime/Thread.h"
#include "tests/gamescript/runtime/runtime_support.h"

using namespace GSRuntime;
using RuntimeTest::Folder;

namespace {

std::string& Printed() {
  static std::string lines;
  return lines;
}

void Print(GSContext*, GSStack& stack) {
  GSObjectReference* o = GetObject(stack.Argument(1));
  Printed() += (o && o->Type() == ObjectString ? static_cast<GSString*>(o)->Text() : "") + "\n";
}

// Game objects that take node ids, draw random numbers, post and receive
// messages and count in a static class of their context.
const char* const kSource =
    "include \"gs.gs\"\n"
    "static class Test { public native void Print(string s); };\n"
    "static class Tally { int n; public int Next(void) { n++; return n; } };\n"
    "class A isclass GameObject {\n"
    "  thread void Init(void) {\n"
    "    Message m;\n"
    "    if (GetName() != \"a\") {\n"
    "      wait() {\n"
    "        on \"Ping\", \"\", m: Test.Print(GetName() + \" \" + (string)GetId() + \" got \" + m.minor +\n"
    "            \" from \" + (string)m.src.GetId() + \", tally \" + (string)Tally.Next());\n"
    "      }\n"
    "      return;\n"
    "    }\n"
    "    Test.Print(\"a is \" + (string)GetId() + \", draws \" + (string)Math.Rand(0, 1000000) + \" \" +\n"
    "               (string)Math.Rand(0.0, 1.0));\n"
    "    PostMessage(null, \"Ping\", (string)Tally.Next(), 0.2);\n"
    "  }\n"
    "};\n";

// Everything a run shows: what the scripts printed, the handles the objects
// got, what the machine holds afterwards. An empty text when a step failed.
std::string RunOnFreshMachine() {
  if (!GSMachine::Reset()) return "";
  Printed().clear();
  GSMachine& machine = GSMachine::Instance();
  machine.RegisterNative(std::make_unique<GSCNativeFunction>("Test", "$void@Test::Print(string)", &Print));
  if (!machine.AddLibraryFolder(ROVANA_SCRIPTS_DIR)) return "";
  SeedRandom(4242);

  Folder folder;
  folder.Write("m.gs", kSource);
  GSCompiler::CompileLog log;
  if (GSCompiler::CompileFile(folder.At("m.gs").c_str(), (folder.Path() + "/").c_str(),
                              {{Kiv::File::Path(ROVANA_SCRIPTS_DIR), Kiv::PString()}}, &log) != 0)
    return "";
  uint64_t id = 0;
  if (!machine.AddLibrary(folder.Path(), "m.gsl", &id)) return "";
  GSLibrary* library = machine.GetLibrary(uint32_t(id >> 32), uint32_t(id));
  GSClass* cls = library ? library->FindClass("A") : nullptr;
  GSFunction* init = cls ? cls->FindMethod("::Init()") : nullptr;
  if (!init) return "";

  std::string shown;
  {
    uint64_t now = 0;
    GSContext context;
    GSRouter* router = context.CreateRouter([&now] { return now; });
    std::vector<std::unique_ptr<GSGameObject>> objects;
    for (const char* name : {"a", "b", "c"}) {
      auto object = std::make_unique<GSGameObject>();
      object->SetName(name);
      if (!object->BindScriptClass(cls, &context) || !router->AddNode(object.get())) return "";
      GSThread* thread = object->StartThread();
      const uint32_t self = object->GetScriptHandle();
      AddReference(self);
      if (!thread || !thread->Stack().Push(self) || !thread->Stack().PushFrame(init, 0)) return "";
      shown += std::string(name) + " handle " + std::to_string(self) + "\n";
      objects.push_back(std::move(object));
    }
    for (int step = 0; step < 5; ++step) {
      now += 100;
      router->Step();
    }
    for (auto& object : objects) EXPECT_TRUE(router->RemoveNode(object.get()));
  }
  shown += Printed();
  shown += "live handles " + std::to_string(HandleTable::Instance().LiveCount()) + ", script bytes " +
           std::to_string(ScriptMemory::Used()) + ", contexts " +
           std::to_string(GSContext::LiveContexts().size()) + "\n";
  return shown;
}

// Runs in a process of its own: the fresh machines replace what the other
// tests of this program registered.
void TwoFreshMachinesAgree() {
  {
    GSContext alive;
    if (GSMachine::Reset()) {
      std::fputs("a machine with a live context was reset\n", stderr);
      std::exit(1);
    }
  }
  const std::string first = RunOnFreshMachine();
  const std::string second = RunOnFreshMachine();
  std::fprintf(stderr, "first run:\n%ssecond run:\n%s", first.c_str(), second.c_str());
  // Both saw the message go round, counted in their own static class.
  const bool ok = !first.empty() && first == second && first.find("got 1 from") != std::string::npos &&
                  first.find("tally 3") != std::string::npos;
  std::exit(ok ? 0 : 1);
}

TEST(MachineState, TwoFreshMachinesInOneProcessGiveTheSameResults) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(TwoFreshMachinesAgree(), testing::ExitedWithCode(0), "");
}

}  // namespace
