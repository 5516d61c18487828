// Soups carried by messages between game objects: the sender's soup is copied
// without its "__" tags, and the receiver gets it as a Soup object.
#include <gtest/gtest.h>

#include <string>

#include "gamescript/compiler/Driver.h"
#include "gamescript/runtime/Class.h"
#include "gamescript/runtime/GameObject.h"
#include "gamescript/runtime/Library.h"
#include "gamescript/runtime/Machine.h"
#include "gamescript/runtime/Thread.h"
#include "kiv/File.h"
#include "kiv/TempFolder.h"
#include "scriptlib/ScriptNatives.h"

using namespace GSRuntime;

namespace {

const char* const kSource = R"(include "gs.gs"
include "Constructors.gs"
class Sender isclass GameObject {
  thread void Go(void) {
    Soup s = Constructors.NewSoup();
    s.SetNamedTag("colour", "red");
    s.SetNamedTag("__private", "x");
    GameObject r = Router.GetGameObject("r");
    SendMessage(r, "Paint", "now", s);
    PostMessage(r, "Paint", "later", s, 0.2);
    s.SetNamedTag("colour", "blue");
    SendMessage(r, "Paint", "bare");
  }
};
class Receiver isclass GameObject {
  string seen = "";
  void Got(Message m) {
    Soup p = cast<Soup> m.paramSoup;
    if (p == null) seen = seen + m.minor + ":none;";
    else seen = seen + m.minor + ":" + p.GetNamedTag("colour") + "," + p.GetNamedTag("__private") + ";";
  }
  public void Listen(void) { AddHandler(me, "Paint", "", "Got"); }
  public string Seen(void) { return seen; }
};
)";

TEST(MessagePayload, SoupsTravelAsCopiesWithoutPrivateTags) {
  ASSERT_TRUE(RegisterScriptNatives()) << ScriptLibrariesFolder();
  Kiv::TempFolder folder("payload-test");
  const std::string path = folder.Write("payload.gs", kSource);
  GSCompiler::CompileLog log;
  std::vector<GSCompiler::IncludePath> includes{{Kiv::File::Path(ROVANA_SOURCE_DIR "/scripts"), {}}};
  ASSERT_EQ(GSCompiler::CompileFile(path.c_str(), (folder.Root() + "/").c_str(), includes, &log), 0)
      << (log.Count() ? log.At(0) : "");
  GSMachine& machine = GSMachine::Instance();
  GSLibrary* library =
      machine.AddLibrary(folder.Root(), "payload.gsl") ? machine.GetLibraryByName("payload.gsl") : nullptr;
  ASSERT_NE(library, nullptr);

  uint64_t now = 0;
  GSContext context;
  GSRouter* router = context.CreateRouter([&now] { return now; });
  auto make = [&](const char* cls, const char* name) {
    auto* object = new GSGameObject();
    object->SetName(name);
    EXPECT_TRUE(object->BindScriptClass(library->FindClass(cls), &context) && router->AddNode(object));
    return object;
  };
  GSGameObject* sender = make("Sender", "s");
  GSGameObject* receiver = make("Receiver", "r");
  GSClass* receiverClass = library->FindClass("Receiver");
  ASSERT_EQ(CallScriptFunction(*receiverClass->FindMethod("::Listen()"), receiver->GetScriptHandle(), nullptr,
                               0, nullptr),
            ER_Done);
  GSThread* thread = sender->StartThread();
  ASSERT_NE(thread, nullptr);
  AddReference(sender->GetScriptHandle());
  ASSERT_TRUE(thread->Stack().Push(sender->GetScriptHandle()) &&
              thread->Stack().PushFrame(library->FindClass("Sender")->FindMethod("::Go()"), 0));
  for (int i = 0; i < 4; ++i) {
    now += 100;
    router->Step();
  }
  uint32_t seen = 0;
  ASSERT_EQ(CallScriptFunction(*receiverClass->FindMethod("::Seen()"), receiver->GetScriptHandle(), nullptr,
                               0, &seen),
            ER_Done);
  GSObjectReference* text = GetObject(seen);
  ASSERT_TRUE(text && text->Type() == ObjectString);
  EXPECT_EQ(static_cast<GSString*>(text)->Text(), "now:red,;bare:none;later:red,;");
  ReleaseHandle(seen);
  delete sender;
  delete receiver;
}

}  // namespace
