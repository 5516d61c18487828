// gsrun: compiles one GameScript source (or takes a compiled ".gsl" library
// as it is), loads its library into a fresh script machine, makes an instance of a class and calls one of its functions
// on a script thread, printing what the script prints and the result. The
// native script classes are registered first, with the libraries of the
// "libraries" folder (see scriptlib/ScriptNatives.h).
//
//   gsrun [-i<include folder>]... [-m<MiB>] <source.gs | library.gsl> <class> <function>
//   gsrun --game [-i<include folder>]... [-m<MiB>] [-u<user data> [-r<installation>] [-o<host>:<port>]]
//         <source.gs | library.gsl> <class> [<count>]
//
// -m sets the memory limit of the script objects (1024 MiB by default).
// -u opens the asset database over that user-data folder (and installation
// root, whose "bin/plugins" holds native-interface plug-ins), so scripts
// reach assets, their libraries and plug-ins.
// -o names the online-access service the scripts' OnlineAccess objects log in
// to, with a stand-in session key (there is no daemon to give one). Before
// each step the packets sent are then answered: the step waits (10 s at
// most) until the service has acknowledged every one, which it does after
// its answers, so a run takes the same steps however loaded the machine is.
// With --game it makes <count> (default 1) game objects of <class> (derived
// from "GameObject"), named "<class>1", "<class>2"..., in one context, starts
// the thread function "Init" of each that has one, and steps the router, its
// clock advancing 0.1 s per step, until no thread is alive and no message is
// queued or delayed, or 10,000 steps; last it prints "=> steps <n>".
//
// A script's class may declare, beside Print, natives that look into an
// Image (so the corpus can check drawing): "string Pixel(Image, int x, int y)"
// gives the pixel as 8 hex digits AARRGGBB, "string Checksum(Image)" an FNV-1a
// hash of the pixel bytes, "int Ink(Image, int x1, int y1, int x2, int y2)"
// the number of pixels in the corner rectangle whose alpha is not 0.
// "GameObject NewObject(KUID asset, string source)" makes a script object of
// the asset whose class is compiled from the source text, and starts it (its
// Init runs); null when the source gives no class.
//
// With -r, or else the installation rovanautil would use (ROVANA_ROOT, or the
// one found from the program's folder), asset scripts include the
// installation's "scripts" and StringTable falls back to its "strings";
// relative -u and -r are taken from the current folder.
//
// Exit status 0 when the run ended well; 1 when it ended in an error ("=> error
// <name>", a game thread that died of an exception, or a game stopped at the
// step limit with work left, which it says); 255 when nothing could be run
// (the compile or the load failed: a refused library's reasons are among the
// log lines printed). "gsrun --help" prints the usage.
//
// Each included source is a library of its own, found when the source's
// library loads: gsrun first compiles every included source whose library,
// beside it, is missing, older than the source or made from another text of
// it or of a source it includes (directly or not).

#include <algorithm>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "cli/Folders.h"
#include "config/AssetSpec.h"
#include "foundation/InterfaceTextDB.h"
#include "gamescript/compiler/Driver.h"
#include "gamescript/compiler/Source.h"
#include "gamescript/runtime/Class.h"
#include "gamescript/runtime/GameObject.h"
#include "gamescript/runtime/Library.h"
#include "gamescript/runtime/Machine.h"
#include "gamescript/runtime/Objects.h"
#include "gamescript/runtime/Router.h"
#include "gamescript/runtime/ScriptLogHook.h"
#include "gamescript/runtime/StringPool.h"
#include "gamescript/runtime/Thread.h"
#include "kiv/File.h"
#include "kiv/String.h"
#include "online/OnlineAccessClientEndpoint.h"
#include "online/OnlineNatives.h"
#include "programs/gsrun/Arguments.h"
#include "scriptlib/GSOImage.h"
#include "scriptlib/GSOKUID.h"
#include "scriptlib/RovanaScriptContext.h"
#include "scriptlib/ScriptNatives.h"
#include "scriptlib/ScriptableObject.h"
#include "umbclient/AssetTypes.h"
#include "umbclient/ContentFolders.h"
#include "umbclient/OpenDatabase.h"

using namespace GSRuntime;

namespace {

void PrintLog(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::fputs("ScriptLog> ", stdout);
  std::vfprintf(stdout, format, args);
  va_end(args);
  std::fputc('\n', stdout);
}

void Print(GSContext*, GSStack& stack) {
  GSObjectReference* o = GetObject(stack.Argument(1));
  const std::string text = o && o->Type() == ObjectString ? static_cast<GSString*>(o)->Text() : "";
  std::printf("%s\n", text.c_str());
}

const Kiv::Bitmap* ImageArgument(GSStack& stack, uint32_t index) {
  const auto* image = dynamic_cast<const GSOImage*>(GetObject(stack.Argument(index)));
  return image ? image->Bitmap() : nullptr;
}

void PushText(GSContext* context, GSStack& stack, const char* text) {
  if (!stack.PushString(context, text)) stack.Push(0);
}

void Pixel(GSContext* context, GSStack& stack) {
  const Kiv::Bitmap* bitmap = ImageArgument(stack, 1);
  char text[16];
  std::snprintf(text, sizeof text, "%08x",
                bitmap ? bitmap->GetPixel(int32_t(stack.Argument(2)), int32_t(stack.Argument(3))) : 0u);
  PushText(context, stack, text);
}

void Checksum(GSContext* context, GSStack& stack) {
  const Kiv::Bitmap* bitmap = ImageArgument(stack, 1);
  uint32_t hash = 2166136261u;
  for (size_t i = 0; bitmap && i < bitmap->DataSize(); ++i) hash = (hash ^ bitmap->Data()[i]) * 16777619u;
  char text[16];
  std::snprintf(text, sizeof text, "%08x", hash);
  PushText(context, stack, text);
}

void Ink(GSContext*, GSStack& stack) {
  const Kiv::Bitmap* bitmap = ImageArgument(stack, 1);
  uint32_t count = 0;
  const int x1 = std::max(int32_t(stack.Argument(2)), 0), y1 = std::max(int32_t(stack.Argument(3)), 0);
  const int x2 = bitmap ? std::min(int32_t(stack.Argument(4)), bitmap->Width()) : 0;
  const int y2 = bitmap ? std::min(int32_t(stack.Argument(5)), bitmap->Height()) : 0;
  for (int y = y1; y < y2; ++y)
    for (int x = x1; x < x2; ++x) count += (bitmap->GetPixel(x, y) >> 24) != 0;
  stack.Push(count);
}

// The objects NewObject made; deleted before their context ends.
std::vector<std::unique_ptr<AssetScriptObject>> g_sourceObjects;

void NewObject(GSContext* context, GSStack& stack) {
  auto* rovana = dynamic_cast<RovanaScriptContext*>(context);
  const auto* kuid = dynamic_cast<const GSOKUID*>(GetObject(stack.Argument(1)));
  const GSObjectReference* text = GetObject(stack.Argument(2));
  SpecRef spec =
      kuid && SpecRegistry::Instance() ? SpecRegistry::Instance()->GetSpec(kuid->Kuid()) : SpecRef();
  if (!rovana || !spec || !text || text->Type() != ObjectString) return stack.Push(0), void();
  auto object = std::make_unique<AssetScriptObject>(rovana, spec);
  object->SetSource(static_cast<const GSString*>(text)->Text());
  rovana->Complete(*object);
  if (object->Failed()) return stack.Push(0), void();
  // The frame has room for the result.
  (void)stack.PushObject(object.get(), ScriptClasses().gameObject);
  g_sourceObjects.push_back(std::move(object));
}

// The function of the class (or an ancestor) named `name` that takes no arguments.
GSFunction* FindCallable(GSClass* cls, std::string_view name, uint32_t& block) {
  auto match = [&](GSClass* c) -> GSFunction* {
    for (GSFunction& f : c->Functions()) {
      const std::string_view method = MethodPart(f.key);  // "::Name(...)"
      if (method.size() > 2 && method.substr(2) == std::string(name) + "()") return &f;
    }
    return nullptr;
  };
  block = 0;
  if (GSFunction* f = match(cls)) return f;
  for (auto a = cls->Ancestors().rbegin(); a != cls->Ancestors().rend(); ++a)
    if (a->cls)
      if (GSFunction* f = match(a->cls)) {
        block = uint32_t(a->offset);
        return f;
      }
  return nullptr;
}

std::string ValueText(const GSFunction& f, uint32_t cell) {
  char text[64];
  switch (f.record->returnType) {
    case TypeVoid: return "void";
    case TypeBool: return cell ? "true" : "false";
    case TypeInt: std::snprintf(text, sizeof text, "%d", int32_t(cell)); return text;
    case TypeFloat: {
      float v;
      std::memcpy(&v, &cell, 4);
      std::snprintf(text, sizeof text, "%g", double(v));
      return text;
    }
    case TypeString: {
      GSObjectReference* o = GetObject(cell);
      return o && o->Type() == ObjectString ? static_cast<GSString*>(o)->Text() : "null";
    }
    default: return cell ? "object" : "null";
  }
}

// The usage on `out`; asked for (--help) it goes to standard output.
void PrintUsage(std::FILE* out) {
  std::fprintf(out,
               "usage: gsrun [-i<include folder>]... [-m<MiB>] <source.gs | library.gsl> <class> <function>\n"
               "       gsrun --game [-i<include folder>]... [-m<MiB>]\n"
               "             [-u<user data> [-r<installation>] [-o<host>:<port>]]\n"
               "             <source.gs | library.gsl> <class> [<count>]\n");
}

// An included source and the library that holds it, beside it.
struct Included {
  std::string name;  // as the include directive gives it
  std::string source, folder, library;
};

// Makes sure every source that `source` includes (directly or through another
// include) has a current library beside it, compiling those that do not.
// `expected` holds the ids the source's library depends on; a library is
// current when it exists, is not older than its source, has one of them and
// was made from the texts its source and includes have now.
// Each include is compiled as the source's compile found it (same name, with
// the include-path list that compile had), so its library has the id the
// source expects. False, with a message that names the source, when a
// library is still missing.
bool CompileIncludes(const std::string& source, const std::set<std::pair<uint32_t, uint32_t>>& expected,
                     std::vector<Included>& found) {
  // The source itself is no include, however the includes name it.
  std::set<std::string> seen = {Kiv::ToLowerAscii(Utils::FileNamePart(source))};
  std::vector<std::string> work = Gsrun::IncludesOf(source);
  bool ok = true;
  while (!work.empty()) {
    Included next;
    next.name = work.back();
    work.pop_back();
    if (!seen.insert(std::string(Utils::FileNamePart(next.name))).second) continue;
    next.source = GSCompiler::FindSource(next.name.c_str());
    if (next.source.empty()) continue;  // the source's compile said so already
    Kiv::File::Path library(next.source);
    library.SetExt("gsl");
    next.library = library.Str();
    library.RemoveFileName();
    next.folder = library.Str();
    for (std::string& name : Gsrun::IncludesOf(next.source)) work.push_back(std::move(name));

    if (!Gsrun::LibraryIsCurrent(next.library, next.source, next.name, expected)) {
      GSCompiler::CompileLog log;
      GSCompiler::LibraryDependencies written;
      Kiv::Status stored;  // its reason is among the log lines
      const int errors =
          GSCompiler::CompileToFile(next.name.c_str(), next.library.c_str(), &log, stored, &written);
      for (std::size_t i = 0; i < log.Count(); ++i) std::printf("%s\n", log.At(i));
      // The library's own id leads its dependencies.
      const bool current = errors == 0 && !written.empty() && expected.count(written.front()) != 0 &&
                           Gsrun::LibraryIsNotOlder(next.library, next.source);
      if (!current) {
        std::printf("gsrun: the included source %s has no current library %s\n", next.source.c_str(),
                    next.library.c_str());
        ok = false;
      }
    }
    found.push_back(std::move(next));
  }
  return ok;
}

constexpr int kMaxSteps = 10000;
// The exit status of a run that ended in an error (a thread exception, or a
// game the step limit stopped): a caller must tell it from a run that ended
// well (0) and from 255, where nothing ran.
constexpr int kRunFailed = 1;
constexpr uint64_t kStepMilliseconds = 100;

// Handles what the online service sends until it has acknowledged every
// packet of ours, or 10 s have passed.
void AwaitOnlineAnswers() {
  OnlineAccessClientEndpoint& endpoint = OnlineAccessClientEndpoint::Instance();
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  endpoint.Update();
  while ((endpoint.InFlightCount() || endpoint.QueuedCount()) && std::chrono::steady_clock::now() < until) {
    // Only paces the loop.
    (void)endpoint.Socket().WaitReadable(10);
    endpoint.Update();
  }
}

// Runs `count` game objects of `cls` until nothing is left to do; false when
// an object could not be made, a thread died of an exception or the step limit
// stopped the run with work left, each of which is said.
bool RunGame(GSClass* cls, int count, bool online) {
  const uint64_t failedBefore = GSMachine::State().failedRuns;
  bool made = true;
  uint64_t now = 0;
  RovanaScriptContext context;
  GSRouter* router = context.CreateRouter([&now] { return now; });
  uint32_t block = 0;
  GSFunction* init = FindCallable(cls, "Init", block);
  if (init && !(init->record->flags & kFunctionThread)) init = nullptr;
  std::vector<int32_t> ids;
  for (int i = 1; i <= count; ++i) {
    auto* object = new GSGameObject();
    object->SetName(std::string(cls->Name()) + std::to_string(i));
    if (!object->BindScriptClass(cls, &context) || !router->AddNode(object)) {
      std::printf("=> error %s\n", ErrorName(ER_ClassCreateError));
      delete object;
      made = false;
      break;
    }
    ids.push_back(object->NodeId());
  }
  for (int32_t id : ids) {
    GSNode* node = router->FindNode(id);
    GSGameObject* object = node ? node->AsGameObject() : nullptr;
    GSThread* thread = object && init ? object->StartThread() : nullptr;
    if (!thread) continue;
    const uint32_t self = object->Instance()->HandleOfBlock(block);
    AddReference(self);
    if (!thread->Stack().Push(self) || !thread->Stack().PushFrame(init, 0)) {
      thread->Stack().SetStackPointer(-1);
      ReleaseHandle(self);
      object->StopThread(thread);
    }
  }
  auto busy = [&] {
    if (router->PostedCount() || router->DelayedCount()) return true;
    for (GSNode* node : router->Nodes())
      if (GSGameObject* object = node->AsGameObject(); object && object->ThreadCount()) return true;
    return false;
  };
  int steps = 0;
  while (steps < kMaxSteps && busy()) {
    now += kStepMilliseconds;
    router->Step();
    ++steps;
    if (online) AwaitOnlineAnswers();
  }
  const bool finished = !busy();
  if (!finished)
    std::printf("gsrun: stopped at the limit of %d steps with threads or messages left\n", kMaxSteps);
  // What the router did not delete is ours.
  g_sourceObjects.clear();
  for (int32_t id : ids) delete router->FindNode(id);
  std::printf("=> steps %d\n", steps);
  return made && finished && GSMachine::State().failedRuns == failedBefore;
}

struct TemporaryFolder {
  std::string path;
  TemporaryFolder() {
    std::random_device random;
    char name[64];
    std::snprintf(name, sizeof name, "/tmp/gsrun-%08x%08x", random(), random());
    path = name;
    // A folder not made fails the compile into it, which says why.
    (void)Kiv::File::CreateDirectories(path);
  }
  // What cannot be removed stays in the system's temporary folder.
  ~TemporaryFolder() { (void)Kiv::File::Prune(path); }
};

}  // namespace

int main(int argc, char** argv) {
  Gsrun::Arguments arguments;
  arguments.memoryLimit = ScriptMemory::kDefaultLimit;
  if (!Gsrun::ParseArguments(argc, argv, arguments)) {
    if (!arguments.unknownOption.empty())
      std::fprintf(stderr, "gsrun: unknown option '%s'\n", arguments.unknownOption.c_str());
    PrintUsage(stderr);
    return 255;
  }
  if (arguments.help) {
    PrintUsage(stdout);
    return 0;
  }
  const std::vector<GSCompiler::IncludePath>& includes = arguments.includes;
  const std::vector<const char*>& rest = arguments.rest;
  const bool game = arguments.game;
  const std::string &userData = arguments.userData, &installation = arguments.installation,
                    &service = arguments.service;
  const uint64_t memoryLimit = arguments.memoryLimit;
  const int count = arguments.count;
  OnlineAccessSettings online;
  if (!service.empty()) {
    online.host = arguments.host;
    online.port = arguments.port;
  }
  const std::string source = rest[0];
  std::string name = source.substr(source.find_last_of('/') + 1);
  const bool compiled = name.size() > 4 && name.compare(name.size() - 4, 4, ".gsl") == 0;

  TemporaryFolder folder;
  // A compiled library is loaded from where it is, its dependencies from
  // beside it and the include folders; a source is compiled into the scratch
  // folder.
  std::string libraryFolder = folder.path;
  std::vector<Included> included;
  if (compiled) {
    const std::size_t slash = source.find_last_of('/');
    libraryFolder = slash == std::string::npos ? "." : source.substr(0, slash + (slash == 0 ? 1 : 0));
  } else {
    // The source and then its includes are compiled with one search list,
    // which is left as it was found.
    const GSCompiler::IncludePathScope includePaths(GSCompiler::SourceIncludePaths(source.c_str(), includes));
    GSCompiler::CompileLog log;
    GSCompiler::LibraryDependencies dependencies;
    const int errors = GSCompiler::CompileFile(source.c_str(), (folder.path + "/").c_str(), includes, &log,
                                               false, &dependencies);
    for (std::size_t i = 0; i < log.Count(); ++i) std::printf("%s\n", log.At(i));
    if (errors != 0) return 255;
    name = name.substr(0, name.find_last_of('.')) + ".gsl";
    const std::set<std::pair<uint32_t, uint32_t>> expected(dependencies.begin(), dependencies.end());
    if (!CompileIncludes(source, expected, included)) return 255;
  }

  ScriptLogHook = &PrintLog;
  GSMachine& machine = GSMachine::Instance();
  machine.SetMemoryLimit(memoryLimit);
  machine.RegisterNative(std::make_unique<GSCNativeFunction>("Test", "$void@Test::Print(string)", &Print));
  machine.RegisterNative(
      std::make_unique<GSCNativeFunction>("Test", "$string@Test::Pixel(Image,int,int)", &Pixel));
  machine.RegisterNative(
      std::make_unique<GSCNativeFunction>("Test", "$string@Test::Checksum(Image)", &Checksum));
  machine.RegisterNative(
      std::make_unique<GSCNativeFunction>("Test", "$int@Test::Ink(Image,int,int,int,int)", &Ink));
  machine.RegisterNative(
      std::make_unique<GSCNativeFunction>("Test", "$GameObject@Test::NewObject(KUID,string)", &NewObject));
  // The user data first: the online classes' registration reads its offline boxes.
  if (!userData.empty()) {
    SetUserDataFolder(userData);
    SetInstallationRoot(installation);
    if (!service.empty()) OnlineAccessClientEndpoint::Restart(online);
  }
  // The script sources that asset scripts include and the interface texts come
  // from the installation given, else from the one rovanautil would use: never
  // from the current folder.
  const std::string root = !installation.empty() ? installation
                                                 : Cli::FindInstallationRoot(Cli::ProgramPath(argv[0]),
                                                                             std::getenv("ROVANA_ROOT"));
  if (!root.empty()) {
    SetScriptsFolder(Kiv::File::Path(root).Join("scripts").Str());
    InterfaceTextDB::SetFolder(Kiv::File::Path(root).Join("strings").Str());
  }
  // The native classes and their libraries (Soup, KUID...), as the tool has them.
  InstallOnlineNatives();
  // Scripts that use none of those classes still run; the others fail to link, and
  // this says why.
  if (!RegisterScriptNatives()) std::printf("gsrun: the script library classes did not register\n");
  // The library given is entered before its folder: another file there with
  // the same id becomes only another name for it.
  const bool added = !compiled || machine.AddLibrary(libraryFolder, name);
  // A folder named on the command line that is not there is the user's mistake,
  // not a run without its libraries.
  Kiv::Status folders = machine.RegisterLibraryFolder(libraryFolder);
  // The installation's scripts, named so that sources find the standard
  // classes, hold copies of the class libraries registered above.
  const std::optional<std::string> installed =
      root.empty() ? std::nullopt : Kiv::File::RealPath(Kiv::File::Path(root).Join("scripts").Str());
  for (const GSCompiler::IncludePath& include : includes)
    folders.Update(machine.RegisterLibraryFolder(
        include.path.Str(), installed && Kiv::File::RealPath(include.path.Str()) == installed));
  if (!folders.ok()) {
    std::printf("gsrun: %s\n", folders.message().c_str());
    return 255;
  }
  // A library not entered fails the link of the one that includes it, which is reported.
  for (const Included& include : included)
    (void)machine.AddLibrary(include.folder, std::string(Utils::FileNamePart(include.library)));
  GSLibrary* library = added && (compiled || machine.AddLibrary(libraryFolder, name))
                           ? machine.GetLibraryByName(name)
                           : nullptr;
  if (!library) {
    std::printf("gsrun: %s did not load\n", name.c_str());
    return 255;
  }
  GSClass* cls = library->FindClass(rest[1]);
  if (game) {
    if (!cls || !cls->IsDerivedFrom("GameObject")) {
      std::printf("gsrun: no game object class %s\n", rest[1]);
      return 255;
    }
    std::unique_ptr<SpecRegistry> registry;
    if (!userData.empty()) {
      AssetTables::Reload();
      UMBSetDatabaseHooks([&registry] { registry = std::make_unique<SpecRegistry>(); },
                          [&registry] { registry.reset(); });
      UMBStandIns standIns;
      if (!service.empty()) standIns.onlineSessionKey = "gsrun";
      if (!UMBOpenDatabase(standIns)) {
        std::printf("gsrun: no asset database over %s\n", userData.c_str());
        return 255;
      }
    }
    const bool succeeded = RunGame(cls, count, !service.empty());
    // The endpoint's last words (stored messages, the close) go before the database does.
    OnlineAccessClientEndpoint::Shutdown();
    UMBCloseDatabase();
    std::fflush(stdout);
    ScriptLogHook = nullptr;
    return succeeded ? 0 : kRunFailed;
  }
  if (!cls) {
    std::printf("gsrun: no class %s in %s\n", rest[1], name.c_str());
    return 255;
  }
  uint32_t block = 0;
  GSFunction* function = FindCallable(cls, rest[2], block);
  if (!function) {
    std::printf("gsrun: no function %s() in class %s\n", rest[2], rest[1]);
    return 255;
  }
  int status = 0;
  {
    RovanaScriptContext context;
    auto* object = new GSObject();
    if (!object->BindScriptClass(cls, &context)) {
      std::printf("=> error %s\n", ErrorName(ER_ClassCreateError));
      delete object;
      status = kRunFailed;
    } else {
      uint32_t result = 0;
      const int32_t code =
          CallScriptFunction(*function, object->Instance()->HandleOfBlock(block), nullptr, 0, &result);
      if (code == ER_Done)
        std::printf("=> %s\n", ValueText(*function, result).c_str());
      else
        std::printf("=> error %s\n", ErrorName(code));
      if (code != ER_Done) status = kRunFailed;
      if (code == ER_Done && IsReferenceType(function->record->returnType)) ReleaseHandle(result);
      delete object;
    }
  }
  std::fflush(stdout);
  ScriptLogHook = nullptr;
  return status;
}
