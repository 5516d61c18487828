#pragma once
// Test scripts of the native script classes: a script compiled against
// scripts/ and run on an instance of its class "Test" in a context of the
// program's kind, with the script log captured.
#include <gtest/gtest.h>

#include <cstdarg>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "gamescript/compiler/Driver.h"
#include "gamescript/runtime/Class.h"
#include "gamescript/runtime/Library.h"
#include "gamescript/runtime/ScriptLogHook.h"
#include "gamescript/runtime/Thread.h"
#include "kiv/File.h"
#include "kiv/TempFolder.h"
#include "scriptlib/RovanaScriptContext.h"
#include "scriptlib/ScriptNatives.h"

// One count for the whole test program: the machine knows a library name once.
inline int NextTestScriptSerial() {
  static int serial = 0;
  return ++serial;
}

namespace {

using namespace GSRuntime;

std::vector<std::string> g_log;

void CaptureLog(const char* format, ...) {
  char text[1024];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  g_log.push_back(text);
}

bool LogHas(std::string_view text) {
  for (const std::string& line : g_log)
    if (line.find(text) != std::string::npos) return true;
  return false;
}

// Compiles a test script against scripts/ and runs its functions on an
// instance of its class "Test" in a context of its own.
class ScriptHarness {
public:
  explicit ScriptHarness(const std::string& source) {
    ScriptLogHook = &CaptureLog;
    g_log.clear();
    ok = RegisterScriptNatives();
    // Each script its own name: the machine knows a library name once.
    const std::string name = "native_test" + std::to_string(NextTestScriptSerial());
    const std::string path = m_folder.Write(name + ".gs", source);
    GSCompiler::CompileLog log;
    std::vector<GSCompiler::IncludePath> includes{{Kiv::File::Path(ROVANA_SOURCE_DIR "/scripts"), {}}};
    if (GSCompiler::CompileFile(path.c_str(), (m_folder.Root() + "/").c_str(), includes, &log) != 0) {
      for (std::size_t i = 0; i < log.Count(); ++i) ADD_FAILURE() << log.At(i);
      ok = false;
      return;
    }
    GSMachine& machine = GSMachine::Instance();
    GSLibrary* library = machine.AddLibrary(m_folder.Root(), name + ".gsl")
                             ? machine.GetLibraryByName(name + ".gsl")
                             : nullptr;
    m_library = library;
    m_class = library ? library->FindClass("Test") : nullptr;
    m_test = new GSObject();
    ok = ok && m_class && m_test->BindScriptClass(m_class, &context);
  }
  ~ScriptHarness() {
    delete m_test;
    ScriptLogHook = nullptr;
  }

  // Runs the Test method of that method part ("::Name(Soup)") with object
  // arguments; the result cell goes to `result`.
  int32_t Call(const char* method, std::vector<const GSObjectReference*> arguments = {},
               uint32_t* result = nullptr) {
    GSFunction* function = m_class ? m_class->FindMethod(method) : nullptr;
    if (!function) return -1;
    std::vector<uint32_t> cells;
    for (const GSObjectReference* a : arguments) {
      cells.push_back(a ? a->GetScriptHandle() : 0);
      AddReference(cells.back());  // the call's frame releases its arguments
    }
    uint32_t cell = 0;
    const int32_t code =
        CallScriptFunction(*function, m_test->GetScriptHandle(), cells.data(), uint32_t(cells.size()), &cell);
    if (result) *result = cell;
    return code;
  }
  std::string CallText(const char* method, std::vector<const GSObjectReference*> arguments = {}) {
    uint32_t cell = 0;
    if (Call(method, arguments, &cell) != ER_Done) return "<error>";
    GSObjectReference* s = GetObject(cell);
    std::string text = s && s->Type() == ObjectString ? static_cast<GSString*>(s)->Text() : "<null>";
    ReleaseHandle(cell);
    return text;
  }

  // A class of the compiled script; null when there is none.
  GSClass* FindClass(std::string_view name) const { return m_library ? m_library->FindClass(name) : nullptr; }

  bool ok = false;
  RovanaScriptContext context;

private:
  Kiv::TempFolder m_folder{"scriptlib-test"};
  GSLibrary* m_library = nullptr;
  GSClass* m_class = nullptr;
  GSObject* m_test = nullptr;
};

}  // namespace
