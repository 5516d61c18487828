#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "gamescript/compiler/Driver.h"
#include "gamescript/runtime/Class.h"
#include "gamescript/runtime/GameObject.h"
#include "gamescript/runtime/Machine.h"
#include "gamescript/runtime/Thread.h"
#include "tests/gamescript/runtime/runtime_support.h"

using namespace GSRuntime;
using RuntimeTest::Folder;
using RuntimeTest::LogCapture;

namespace {

std::vector<std::string>& Printed() {
  static std::vector<std::string> lines;
  return lines;
}

void Print(GSContext*, GSStack& stack) {
  GSObjectReference* o = GetObject(stack.Argument(1));
  Printed().push_back(o && o->Type() == ObjectString ? static_cast<GSString*>(o)->Text() : "");
}

// A library of game object classes, compiled against "gs.gs", in a context
// with a router whose clock the test advances by 0.1 s per step.
struct Game {
  Folder folder;
  uint64_t now = 0;
  GSContext context;
  GSRouter* router = nullptr;
  GSLibrary* library = nullptr;
  std::vector<int32_t> made;

  explicit Game(const std::string& source) {
    Printed().clear();
    GSMachine& machine = GSMachine::Instance();
    static bool once = [&] {
      machine.RegisterNative(
          std::make_unique<GSCNativeFunction>("Test", "$void@Test::Print(string)", &Print));
      return machine.AddLibraryFolder(ROVANA_SCRIPTS_DIR);
    }();
    EXPECT_TRUE(once);
    folder.Write("g.gs",
                 "include \"gs.gs\"\nstatic class Test { public native void Print(string s); };\n" + source);
    GSCompiler::CompileLog log;
    const int errors = GSCompiler::CompileFile(folder.At("g.gs").c_str(), (folder.Path() + "/").c_str(),
                                               {{Kiv::File::Path(ROVANA_SCRIPTS_DIR), Kiv::PString()}}, &log);
    std::string lines;
    for (std::size_t i = 0; i < log.Count(); ++i) lines += std::string(log.At(i)) + "\n";
    EXPECT_EQ(errors, 0) << lines;
    uint64_t id = 0;
    if (machine.AddLibrary(folder.Path(), "g.gsl", &id))
      library = machine.GetLibrary(uint32_t(id >> 32), uint32_t(id));
    EXPECT_NE(library, nullptr);
    router = context.CreateRouter([this] { return now; });
  }
  ~Game() {
    for (int32_t id : made) delete router->FindNode(id);
  }

  GSGameObject* Make(const char* cls, const std::string& name) {
    GSClass* c = library ? library->FindClass(cls) : nullptr;
    auto* object = new GSGameObject();
    object->SetName(name);
    if (!c || !object->BindScriptClass(c, &context) || !router->AddNode(object)) {
      ADD_FAILURE() << "cannot make " << cls;
      delete object;
      return nullptr;
    }
    made.push_back(object->NodeId());
    return object;
  }
  // Starts a thread method without arguments, as the first step will run it.
  GSThread* Start(GSGameObject* object, const char* method) {
    GSFunction* f = object->Instance()->cls->FindMethod(std::string("::") + method + "()");
    GSThread* thread = f ? object->StartThread() : nullptr;
    if (!thread) return nullptr;
    const uint32_t self = object->GetScriptHandle();
    AddReference(self);
    EXPECT_TRUE(thread->Stack().Push(self) && thread->Stack().PushFrame(f, 0));
    return thread;
  }
  // Calls a method on the shared thread.
  int32_t Call(GSGameObject* object, const char* method) {
    GSFunction* f = object->Instance()->cls->FindMethod(std::string("::") + method + "()");
    return f ? CallScriptFunction(*f, object->GetScriptHandle(), nullptr, 0, nullptr) : ER_LinkError;
  }
  void Step(int n = 1) {
    for (int i = 0; i < n; ++i) {
      now += 100;
      router->Step();
    }
  }
  void Send(GSGameObject* from, GSGameObject* to, const char* major, const char* minor) {
    MessageRef m(GSMessage::Create(from, major, minor, to ? uint32_t(to->NodeId()) : 0, 0));
    ASSERT_TRUE(m);
    router->SendMessage(m.Get());
  }
  std::string Lines() const {
    std::string out;
    for (const std::string& l : Printed()) out += l + "\n";
    return out;
  }
};

TEST(GameObjects, ThreadsSleepAndWaitForMessages) {
  Game g(
      "class A isclass GameObject {\n"
      "  thread void Sleeper(void) { Sleep(0.0); Sleep(1.0); Test.Print(\"awake\"); }\n"
      "  thread void Waiter(void) {\n"
      "    Message m;\n"
      "    wait() {\n"
      "      on \"Tock\", \"x\": Test.Print(\"wrong minor\");\n"
      "      on \"Tick\", \"\", m: {\n"
      "        Test.Print(m.major + \"/\" + m.minor + \" \" + m.src.GetName() + \">\" + m.dst.GetName());\n"
      "        if (m.paramSoup == null) Test.Print(\"no payload\");\n"
      "      }\n"
      "    }\n"
      "  }\n"
      "};\n");
  GSGameObject* a = g.Make("A", "a");
  GSGameObject* b = g.Make("A", "b");
  ASSERT_TRUE(a && b);
  GSThread* waiter = g.Start(a, "Waiter");
  g.Start(b, "Sleeper");
  g.Step();  // both run up to their wait and sleep
  ASSERT_EQ(a->ThreadCount(), 1u);
  EXPECT_EQ(waiter->State(), GSThread::Waiting);
  EXPECT_TRUE(g.router->IsSubscribed(a, g.router->GetMessageId("Tick")));
  {
    // The stack-dump pair is consumed by the router: it dumps, nobody receives it.
    g.router->SetStackDumpPair(g.router->GetMessageId("Dump"), g.router->GetMessageId("Now"));
    LogCapture log;
    g.Send(b, nullptr, "Dump", "Now");
    const std::string all = log.All();
    EXPECT_NE(all.find("*** DUMPING ALL THREAD STACKS ***"), std::string::npos) << all;
    EXPECT_NE(all.find("*** STACK DUMP OF THREAD 0 ON GAME OBJECT a, id " + std::to_string(a->NodeId())),
              std::string::npos)
        << all;
    EXPECT_NE(all.find("function $void@A::Waiter(), line -1"), std::string::npos) << all;
    LogCapture::Lines().clear();
    g.Send(b, b, "Dump", "Now");
    EXPECT_EQ(log.All().find("ON GAME OBJECT a,"), std::string::npos) << log.All();
    EXPECT_NE(log.All().find("ON GAME OBJECT b,"), std::string::npos) << log.All();
    EXPECT_EQ(waiter->State(), GSThread::Waiting);
  }
  g.Send(b, a, "Tock", "y");  // a handler with another minor does not match
  g.Send(b, a, "Tick", "any");
  EXPECT_EQ(waiter->State(), GSThread::Ready);
  g.Step(9);
  EXPECT_EQ(g.Lines(), "Tick/any b>a\nno payload\n");
  EXPECT_EQ(a->ThreadCount(), 0u);
  EXPECT_FALSE(g.router->IsSubscribed(a, g.router->GetMessageId("Tick")));
  EXPECT_EQ(b->ThreadCount(), 1u);  // ten steps after the sleep began
  g.Step();
  EXPECT_EQ(g.Lines(), "Tick/any b>a\nno payload\nawake\n");
  EXPECT_EQ(b->ThreadCount(), 0u);
}

TEST(GameObjects, HandlersRunInOrderAndSniffedCopiesAreNotSniffedAgain) {
  Game g(
      "class A isclass GameObject {\n"
      "  void Got(Message m) { Test.Print(GetName() + \" got \" + m.minor); AddHandler(me, \"Tick\", \"\", "
      "\"Late\"); }\n"
      "  void Also(Message m) { Test.Print(GetName() + \" also \" + m.minor); }\n"
      "  void Late(Message m) { Test.Print(GetName() + \" late \" + m.minor); }\n"
      "  void SetUpB() { Sniff(Router.GetGameObject(\"a\"), \"Tick\", \"\", true);\n"
      "                  AddHandler(me, \"Tick\", \"\", \"Got\"); AddHandler(me, \"Tick\", \"\", \"Also\"); "
      "}\n"
      "  void SetUpA() { Sniff(Router.GetGameObject(\"c\"), \"Tick\", \"\", true); "
      "Sniff(Router.GetGameObject(\"c\"), \"Tick\", \"\", true);\n"
      "                  AddHandler(me, \"Tick\", \"\", \"Also\"); }\n"
      "  void SetUpC() { AddHandler(me, \"Tick\", \"\", \"Also\"); AddHandler(me, \"Tick\", \"\", \"\"); }\n"
      "};\n");
  GSGameObject* a = g.Make("A", "a");
  GSGameObject* b = g.Make("A", "b");
  GSGameObject* c = g.Make("A", "c");
  ASSERT_TRUE(a && b && c);
  EXPECT_EQ(g.Call(b, "SetUpB"), ER_Done);
  EXPECT_EQ(g.Call(a, "SetUpA"), ER_Done);
  EXPECT_EQ(g.Call(c, "SetUpC"), ER_Done);
  EXPECT_EQ(a->Handlers().size(), 2u);  // the same sniffer once
  EXPECT_EQ(c->Handlers().size(), 0u);  // an empty handler name removes
  g.Send(c, b, "Tick", "1");
  // In list order: b sniffs for a before its own handlers.
  EXPECT_EQ(g.Lines(), "a also 1\nb got 1\nb also 1\n");
  Printed().clear();
  g.Send(c, b, "Tick", "2");
  EXPECT_EQ(g.Lines(), "a also 2\nb got 2\nb also 2\nb late 2\n");
  Printed().clear();
  g.Send(c, a, "Tick", "3");  // a's own message reaches its sniffer c; c has no handler
  EXPECT_EQ(g.Lines(), "a also 3\n");
}

TEST(GameObjects, ThreadLimitQueueOverflowAndQueuedMessagesAtAWait) {
  Game g(
      "class A isclass GameObject {\n"
      "  thread void Idle(void) { wait() { on \"Never\", \"\": ; } }\n"
      "  void Spawn() { int i; for (i = 0; i < 64; i++) Idle(); }\n"
      "  thread void Queue(void) {\n"
      "    Message m;\n"
      "    wait() { on \"Go\", \"\": Test.Print(\"go\"); on \"Tick\", \"\": Test.Print(\"early tick\"); }\n"
      "    wait() { on \"Tick\", \"\", m: Test.Print(\"first \" + m.minor); }\n"
      "    wait() { on \"Tick\", \"\", m: Test.Print(\"second \" + m.minor); }\n"
      "    wait() { on \"Go\", \"\", m: Test.Print(\"go again \" + m.minor); }\n"
      "  }\n"
      "};\n");
  GSGameObject* a = g.Make("A", "a");
  GSGameObject* b = g.Make("A", "b");
  ASSERT_TRUE(a && b);
  {
    LogCapture log;
    EXPECT_EQ(g.Call(a, "Spawn"), ER_Done);
    EXPECT_EQ(a->ThreadCount(), 64u);
    EXPECT_EQ(g.Call(a, "Spawn"), ER_ThreadError);  // the 65th thread is refused
    EXPECT_EQ(a->ThreadCount(), 64u);
    EXPECT_EQ(a->StartThread(), nullptr);
  }

  GSThread* t = g.Start(b, "Queue");
  g.Step();
  g.Send(a, b, "Go", "0");  // resumes it; its handlers stay until it runs
  g.Send(a, b, "Tick", "a");
  g.Send(a, b, "Go", "b");
  g.Send(a, b, "Tick", "c");
  EXPECT_EQ(t->QueuedCount(), 3u);
  g.Step(3);
  // Of the three queued, the first Tick resumes the next wait, the second
  // stays for the one after, and the Go that matched neither is gone.
  EXPECT_EQ(g.Lines(), "go\nfirst a\nsecond c\n");
  EXPECT_EQ(t->State(), GSThread::Waiting);
  EXPECT_EQ(t->QueuedCount(), 0u);

  // Resumed but not yet run, the thread queues what matches its handlers.
  g.Send(a, b, "Go", "x");
  for (int i = 0; i < 1024; ++i) g.Send(a, b, "Go", "q");
  EXPECT_EQ(t->QueuedCount(), 1024u);
  LogCapture log;
  g.Send(a, b, "Go", "overflow");
  EXPECT_EQ(t->QueuedCount(), 0u);
  const std::string report = log.All();
  EXPECT_NE(report.find("Message Queue Overflow for node " + std::to_string(b->NodeId()) +
                        " (discarded message follows)"),
            std::string::npos)
      << report.substr(0, 400);
  EXPECT_NE(report.find("message Go, overflow"), std::string::npos);
  EXPECT_NE(report.find(" thread state is 0"), std::string::npos);
  g.Step();
  EXPECT_EQ(Printed().back(), "go again x");
  EXPECT_EQ(b->ThreadCount(), 0u);  // an overflow does not stop the thread
}

TEST(GameObjects, DeletionLookupsAndRefusedMessages) {
  Game g(
      "class A isclass GameObject {\n"
      "  thread void Ids(void) {\n"
      "    Message m;\n"
      "    wait() { on \"Id\", \"\", m: {\n"
      "      int id = Str.ToInt(m.minor);\n"
      "      if (Router.GetGameObject(id) == null) Test.Print(\"hidden here\");\n"
      "      if (Router.GetGameObject(\"s\") != null) Test.Print(\"found by name\");\n"
      "      GameObject f = Router.GetForeignGameObject(id + 1);\n"
      "      if (f != null) Test.Print(\"foreign \" + f.GetName());\n"
      "    } }\n"
      "  }\n"
      "  void StaticSend() { SendMessage(me, \"Id\", \"\"); }\n"
      "  thread void SendNew(void) { SendMessage(me, \"brand new\", \"\"); Test.Print(\"unreached\"); }\n"
      "  thread void WaitNew(void) { wait() { on \"never seen\", \"\": ; } }\n"
      "};\n"
      "secured class S isclass A { };\n");
  GSGameObject* a = g.Make("A", "a");
  GSGameObject* s = g.Make("S", "s");
  ASSERT_TRUE(a && s);

  // A second context with its own router, whose object is found from the first.
  GSContext other;
  GSRouter* otherRouter = other.CreateRouter([] { return uint64_t(0); });
  auto* foreign = new GSGameObject();
  foreign->SetName("far");
  ASSERT_TRUE(foreign->BindScriptClass(g.library->FindClass("A"), &other));
  ASSERT_TRUE(otherRouter->AddNode(foreign));
  ASSERT_EQ(foreign->NodeId(), s->NodeId() + 1);

  g.Start(a, "Ids");
  g.Step();
  g.Send(s, a, "Id", std::to_string(s->NodeId()).c_str());
  g.Step();
  EXPECT_EQ(g.Lines(), "hidden here\nfound by name\nforeign far\n");
  delete foreign;

  // An unhandled delete message marks the object; the next step deletes it,
  // and what was queued or delayed for it is dropped.
  const int32_t id = s->NodeId();
  MessageRef del = GSMessage::Make(kMessageDelete, kMessageAnyMinor, 0, uint32_t(id), kMessageCreated);
  g.router->SendMessage(del.Get());
  EXPECT_TRUE(s->NodeFlags() & GSNode::kDeletionPending);
  MessageRef later(GSMessage::Create(a, "Later", "", uint32_t(id), 300));
  EXPECT_TRUE(g.router->PostMessage(later.Get()));
  EXPECT_TRUE(g.router->PostMessage(del.Get()));
  g.Step();
  EXPECT_EQ(g.router->FindNode(id), nullptr);
  g.Step(5);
  EXPECT_EQ(g.router->DelayedCount(), 0u);

  // With the router's message ids used up, a new string is an illegal one.
  for (int i = 0; g.router->MessageIdCounter() != 0xFFFF; ++i) g.router->GetMessageId(std::to_string(i));
  LogCapture log;
  EXPECT_EQ(g.Call(a, "StaticSend"), ER_Exception);
  EXPECT_NE(log.All().find("Static Thread cannot call SendMessage"), std::string::npos) << log.All();
  Printed().clear();
  g.Start(a, "SendNew");
  g.Step();
  EXPECT_NE(log.All().find("GameObject::SendMessage() illegal major or minor string"), std::string::npos)
      << log.All();
  EXPECT_EQ(g.Lines(), "");
  EXPECT_EQ(a->ThreadCount(), 0u);
  LogCapture::Lines().clear();
  g.Start(a, "WaitNew");
  g.Step();
  EXPECT_NE(log.All().find("Thread Exception: ER_ThreadError"), std::string::npos) << log.All();
  EXPECT_EQ(a->ThreadCount(), 0u);
}

TEST(GameObjects, NativesRunOnlyOnGameObjectsAndInContexts) {
  GSMachine& machine = GSMachine::Instance();
  GSNativeFunction* id =
      machine.FindNativeFunction(Kiv::PString("GameObject"), Kiv::PString("$int@GameObject::GetId()"));
  GSNativeFunction* info =
      machine.FindNativeFunction(Kiv::PString("Router"), Kiv::PString("$void@Router::Info()"));
  ASSERT_TRUE(id && info);
  auto stack = std::make_unique<GSStack>();
  GSObject plain;
  GSGameObject lone;
  EXPECT_FALSE(id->Call(&plain, *stack));
  EXPECT_EQ(stack->StackPointer(), -1);
  EXPECT_TRUE(id->Call(&lone, *stack));
  EXPECT_EQ(int32_t(stack->Top()), -1);     // not registered
  EXPECT_FALSE(info->Call(&lone, *stack));  // no context
}

TEST(GameObjects, HandlersThatUnsubscribeDuringABroadcast) {
  // Each receiver drops its own handler and the next object's, and starts
  // sniffing for the one after: the subscriptions change under the broadcast.
  Game g(
      "class A isclass GameObject {\n"
      "  public void Drop() { AddHandler(me, \"Storm\", \"\", \"\"); }\n"
      "  public void Listen() { AddHandler(me, \"Storm\", \"\", \"Storm\"); }\n"
      "  void Storm(Message m) {\n"
      "    Test.Print(GetName());\n"
      "    AddHandler(me, \"Storm\", \"\", \"\");\n"
      "    A next = cast<A> Router.GetGameObject(GetId() + 1);\n"
      "    if (next != null) { next.Drop(); Sniff(Router.GetGameObject(GetId() + 2), \"Storm\", \"\", true); "
      "}\n"
      "  }\n"
      "};\n");
  std::vector<GSGameObject*> objects;
  for (int i = 0; i < 10; ++i) {
    std::string name = "x";
    name += char('0' + i);
    objects.push_back(g.Make("A", name));
    ASSERT_TRUE(objects.back());
    EXPECT_EQ(g.Call(objects.back(), "Listen"), ER_Done);
  }
  g.Send(objects[0], nullptr, "Storm", "1");
  EXPECT_EQ(g.Lines(), "x0\nx2\nx4\nx6\nx8\n");
  Printed().clear();
  g.Send(objects[0], nullptr, "Storm", "2");  // only sniffers are left: nobody handles
  EXPECT_EQ(g.Lines(), "");
}

}  // namespace

namespace {

// A thread method called by key starts a thread of the game object that runs
// on the next update with its arguments; the 65th is refused, as is a call
// with other arguments.
TEST(GameObjects, CallFunctionStartsThreadMethods) {
  Game g(
      "class A isclass GameObject {\n"
      "  thread void Count(int k) { Test.Print(\"count \" + k); }\n"
      "};\n");
  GSGameObject* a = g.Make("A", "a");
  ASSERT_TRUE(a);
  GSScriptInstance* instance = a->Instance();
  GSClass* cls = instance->cls;
  const uint32_t seven = 7;
  ASSERT_TRUE(cls->CallFunction(instance, "$void@A::Count(int)", &seven, 1));
  EXPECT_EQ(a->ThreadCount(), 1u);
  EXPECT_TRUE(Printed().empty());
  g.Step();
  EXPECT_EQ(g.Lines(), "count 7\n");
  EXPECT_EQ(a->ThreadCount(), 0u);
  EXPECT_FALSE(cls->CallFunction(instance, "$void@A::Count(int)", nullptr, 0));
  for (std::size_t i = 0; i < GSGameObject::kMaxThreads; ++i)
    ASSERT_TRUE(cls->CallFunction(instance, "$void@A::Count(int)", &seven, 1));
  EXPECT_FALSE(cls->CallFunction(instance, "$void@A::Count(int)", &seven, 1));
  EXPECT_EQ(a->ThreadCount(), GSGameObject::kMaxThreads);
}

}  // namespace
