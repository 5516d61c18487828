// gsrun: compiles one GameScript source, loads its library into a fresh
// script machine, makes an instance of a class and calls one of its functions
// on a script thread, printing what the script prints and the result.
//
//   gsrun [-i<include folder>]... <source.gs> <class> <function>
//
// Exit status 0 when the source compiled and loaded (whatever the script then
// did), 255 when the compile or the load failed.

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "gamescript/compiler/Driver.h"
#include "gamescript/runtime/Class.h"
#include "gamescript/runtime/Library.h"
#include "gamescript/runtime/Machine.h"
#include "gamescript/runtime/Objects.h"
#include "gamescript/runtime/ScriptLogHook.h"
#include "gamescript/runtime/Thread.h"
#include "kiv/File.h"

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
    case 0: return "void";
    case 1: return cell ? "true" : "false";
    case 2: std::snprintf(text, sizeof text, "%d", int32_t(cell)); return text;
    case 3: {
      float v;
      std::memcpy(&v, &cell, 4);
      std::snprintf(text, sizeof text, "%g", double(v));
      return text;
    }
    case 4: {
      GSObjectReference* o = GetObject(cell);
      return o && o->Type() == ObjectString ? static_cast<GSString*>(o)->Text() : "null";
    }
    default: return cell ? "object" : "null";
  }
}

int Usage() {
  std::fprintf(stderr, "usage: gsrun [-i<include folder>]... <source.gs> <class> <function>\n");
  return 255;
}

struct TemporaryFolder {
  std::string path;
  TemporaryFolder() {
    std::random_device random;
    char name[64];
    std::snprintf(name, sizeof name, "/tmp/gsrun-%08x%08x", random(), random());
    path = name;
    Kiv::File::CreateDirectories(path);
  }
  ~TemporaryFolder() { Kiv::File::Prune(path); }
};

}  // namespace

int main(int argc, char** argv) {
  std::vector<GSCompiler::IncludePath> includes;
  std::vector<const char*> rest;
  for (int i = 1; i < argc; ++i) {
    if (std::strncmp(argv[i], "-i", 2) == 0 && argv[i][2])
      includes.push_back({Kiv::File::Path(argv[i] + 2), Kiv::PString()});
    else
      rest.push_back(argv[i]);
  }
  if (rest.size() != 3) return Usage();
  const std::string source = rest[0];

  TemporaryFolder folder;
  {
    GSCompiler::CompileLog log;
    const int errors = GSCompiler::CompileFile(source.c_str(), (folder.path + "/").c_str(), includes, &log);
    for (std::size_t i = 0; i < log.Count(); ++i) std::printf("%s\n", log.At(i));
    if (errors != 0) return 255;
  }
  std::string name = source.substr(source.find_last_of('/') + 1);
  name = name.substr(0, name.find_last_of('.')) + ".gsl";

  ScriptLogHook = &PrintLog;
  GSMachine& machine = GSMachine::Instance();
  machine.RegisterNative(std::make_unique<GSCNativeFunction>("Test", "$void@Test::Print(string)", &Print));
  machine.AddLibraryFolder(folder.path);
  for (const GSCompiler::IncludePath& include : includes) machine.AddLibraryFolder(include.path.c_str());
  GSLibrary* library = machine.AddLibrary(folder.path, name) ? machine.GetLibraryByName(name) : nullptr;
  if (!library) {
    std::printf("gsrun: %s did not load\n", name.c_str());
    return 255;
  }
  GSClass* cls = library->FindClass(rest[1]);
  uint32_t block = 0;
  GSFunction* function = cls ? FindCallable(cls, rest[2], block) : nullptr;
  if (!function) {
    std::printf("gsrun: no function %s() in class %s\n", rest[2], rest[1]);
    return 255;
  }
  int status = 0;
  {
    GSContext context;
    auto* object = new GSObject();
    if (!object->BindScriptClass(cls, &context)) {
      std::printf("=> error %s\n", ErrorName(ER_ClassCreateError));
      delete object;
    } else {
      uint32_t result = 0;
      const int32_t code =
          CallScriptFunction(*function, object->Instance()->HandleOfBlock(block), nullptr, 0, &result);
      if (code == ER_Done)
        std::printf("=> %s\n", ValueText(*function, result).c_str());
      else
        std::printf("=> error %s\n", ErrorName(code));
      if (code == ER_Done && function->record->returnType >= 4) ReleaseHandle(result);
      delete object;
    }
  }
  std::fflush(stdout);
  ScriptLogHook = nullptr;
  return status;
}
