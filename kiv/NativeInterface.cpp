#include "kiv/NativeInterface.h"

#include <dlfcn.h>

#include <atomic>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "kiv/Log.h"

struct EXOObject {
  std::atomic<int32_t> references{1};
  int32_t cls = 0;
  std::optional<std::string> text;  // strings; empty optional = null text
  std::vector<EXOHandle> elements;  // arrays
  EXOPluginLibrary library{};       // libraries
};

namespace Kiv {

namespace {

std::mutex& PluginLock() {
  static std::mutex lock;
  return lock;
}

int32_t HostSetArrayElement(EXOHandle array, int32_t index, EXOHandle element) {
  return EXOSetArrayElement(array, index, element) ? 1 : 0;
}

int32_t HostGetArrayCount(EXOHandle array) {
  return array && array->cls == kEXOClassArray ? int32_t(array->elements.size()) : 0;
}

EXOHandle HostGetArrayElement(EXOHandle array, int32_t index) {
  if (!array || array->cls != kEXOClassArray || index < 0 || size_t(index) >= array->elements.size())
    return nullptr;
  return array->elements[size_t(index)];
}

}  // namespace

EXOHandle EXOAllocString(const char* text) {
  auto* object = new EXOObject;
  object->cls = kEXOClassString;
  if (text) object->text = text;
  return object;
}

EXOHandle EXOAllocArray(int32_t count) {
  auto* object = new EXOObject;
  object->cls = kEXOClassArray;
  object->elements.assign(count > 0 ? size_t(count) : 0, nullptr);
  return object;
}

bool EXOSetArrayElement(EXOHandle array, int32_t index, EXOHandle element) {
  if (!array || array->cls != kEXOClassArray || index < 0 || size_t(index) >= array->elements.size())
    return false;
  if (element) element->references.fetch_add(1);
  EXOHandle old = array->elements[size_t(index)];
  array->elements[size_t(index)] = element;
  EXORelease(old);
  return true;
}

int32_t EXOGetObjectClass(EXOHandle handle) { return handle ? handle->cls : 0; }

const char* EXOGetStringText(EXOHandle handle) {
  return handle && handle->cls == kEXOClassString && handle->text ? handle->text->c_str() : nullptr;
}

EXOHandle EXOCallLibraryFunction(EXOHandle library, EXOHandle name, EXOHandle arguments) {
  if (!library || library->cls != kEXOClassLibrary || !library->library.call) return nullptr;
  return library->library.call(library->library.state, name, arguments);
}

void EXORelease(EXOHandle handle) {
  if (!handle || handle->references.fetch_sub(1) != 1) return;
  for (EXOHandle element : handle->elements) EXORelease(element);
  if (handle->cls == kEXOClassLibrary && handle->library.destroy)
    handle->library.destroy(handle->library.state);
  delete handle;
}

const EXOHostTable& EXOHost() {
  static const EXOHostTable host{sizeof(EXOHostTable), &EXOAllocString,      &EXOAllocArray,
                                 &HostSetArrayElement, &EXOGetObjectClass,   &EXOGetStringText,
                                 &HostGetArrayCount,   &HostGetArrayElement, &EXORelease};
  return host;
}

bool IsPluginName(std::string_view name) {
  return !name.empty() && name != "." && name != ".." &&
         name.find_first_of(std::string_view("/\\\0", 3)) == std::string_view::npos;
}

EXOHandle LoadNativeInterfaceLibrary(std::string_view folder, std::string_view name) {
  if (!IsPluginName(name)) {
    Log::Instance().Printf(LogLevel::Warning, "NativeInterface> refused plug-in name '%.*s'",
                           int(name.size()), name.data());
    return nullptr;
  }
  if (folder.empty()) return nullptr;
  const std::string path = std::string(folder) + "/" + std::string(name) + ".so";
  std::lock_guard<std::mutex> guard(PluginLock());
  void* module = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!module) return nullptr;
  auto entry = reinterpret_cast<EXOEntryPointFunction>(dlsym(module, "EXOEntryPoint"));
  EXOPluginLibrary plugin{};
  if (!entry || !entry(&EXOHost(), &plugin) || !plugin.call) {
    Log::Instance().Printf(LogLevel::Warning, "NativeInterface> '%s' has no usable entry point",
                           path.c_str());
    if (plugin.destroy) plugin.destroy(plugin.state);
    dlclose(module);
    return nullptr;
  }
  // The module stays loaded: handles the plug-in made may outlive its library.
  auto* library = new EXOObject;
  library->cls = kEXOClassLibrary;
  library->library = plugin;
  EXOHandle init = EXOAllocString("Init");
  // A plug-in may hand back the name it was lent: that is released once.
  if (EXOHandle result = EXOCallLibraryFunction(library, init, nullptr); result != init) EXORelease(result);
  EXORelease(init);
  return library;
}

}  // namespace Kiv
