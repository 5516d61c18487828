#pragma once
// Compiles GameScript sources into a temporary folder for the runtime tests,
// and captures what the runtime writes to its diagnostics hook.

#include <unistd.h>

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "gamescript/compiler/Driver.h"
#include "gamescript/runtime/ScriptLogHook.h"
#include "kiv/File.h"
#include "kiv/TempFolder.h"

namespace RuntimeTest {

class Folder {
public:
  Folder() = default;
  Folder(const Folder&) = delete;
  Folder& operator=(const Folder&) = delete;
  const std::string& Path() const { return m_path; }
  std::string At(const std::string& name) const { return m_path + "/" + name; }
  void Write(const std::string& name, const std::string& text) const {
    EXPECT_TRUE(Kiv::File::WriteWholeFile(At(name), text));
  }
  void Write(const std::string& name, const std::vector<uint8_t>& bytes) const {
    // Set-up; the checks below show a failure.
    (void)Kiv::File::WriteWholeFile(
        At(name), std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
  }
  std::vector<uint8_t> Read(const std::string& name) const {
    std::vector<uint8_t> out;
    EXPECT_TRUE(Kiv::File::ReadWholeFile(At(name), out));
    return out;
  }
  // Writes the source and compiles it into "<name>.gsl" beside it.
  void Compile(const std::string& name, const std::string& text) const {
    Write(name + ".gs", text);
    GSCompiler::CompileLog log;
    const int errors = GSCompiler::CompileFile(At(name + ".gs").c_str(), (m_path + "/").c_str(), {}, &log);
    std::string lines;
    for (std::size_t i = 0; i < log.Count(); ++i) lines += std::string(log.At(i)) + "\n";
    ASSERT_EQ(errors, 0) << lines;
  }

private:
  Kiv::TempFolder m_temp{"gsruntime"};
  const std::string& m_path = m_temp.Root();
};

// Collects the diagnostics lines while it lives.
class LogCapture {
public:
  LogCapture() {
    Lines().clear();
    GSRuntime::ScriptLogHook = &Hook;
  }
  ~LogCapture() { GSRuntime::ScriptLogHook = nullptr; }
  static std::vector<std::string>& Lines() {
    static std::vector<std::string> lines;
    return lines;
  }
  std::string All() const {
    std::string out;
    for (const std::string& l : Lines()) out += l + "\n";
    return out;
  }

private:
  static void Hook(const char* format, ...) {
    char buffer[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    Lines().emplace_back(buffer);
  }
};

}  // namespace RuntimeTest
