#include "kiv/OnDemandLibrary.h"

#include <dlfcn.h>

#include <filesystem>

#include "kiv/File.h"

namespace Kiv {

OnDemandLibrary::OnDemandLibrary(std::string file, std::initializer_list<const char*> functions)
    : m_file(std::move(file)), m_names(functions) {}

bool OnDemandLibrary::Load() {
  std::call_once(m_once, [this] {
    void* handle = dlopen(m_file.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
      // The loader's reason names the file as a rule.
      const char* reason = dlerror();
      const std::string why = reason ? reason : "cannot be loaded";
      m_error = why.find(m_file) != std::string::npos ? why : m_file + ": " + why;
      return;
    }
    std::vector<void*> addresses;
    for (const char* name : m_names) {
      void* address = dlsym(handle, name);
      if (!address) {
        m_error = m_file + " has no function " + name;
        dlclose(handle);
        return;
      }
      addresses.push_back(address);
    }
    m_addresses = std::move(addresses);
    m_loaded = true;
  });
  return m_loaded;
}

std::string BesideProgram(const std::string& name) {
  const std::string self = RunningProgramPath();
  if (self.empty()) return name;
  return (std::filesystem::path(self).parent_path() / name).string();
}

}  // namespace Kiv
