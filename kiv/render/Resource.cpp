#include "kiv/render/Resource.h"

#include <sys/stat.h>

#include "kiv/File.h"
#include "kiv/String.h"
#include "kiv/render/Plugin.h"

namespace Kiv {

std::string Resource::ConvertResourceName(std::string_view name) {
  std::string converted = ToLowerAscii(name);
  for (char& c : converted) {
    if (c == '\\') c = '/';
  }
  return converted;
}

int Resource::Load(std::string_view fileName) {
  (void)fileName;
  return 1;
}

int Resource::LoadTxt(std::string_view fileName) {
  (void)fileName;
  return 1;
}

int Resource::Lock() {
  if (m_status < 0) {
    const int read = m_textForm ? LoadTxt(m_path.View()) : Load(m_path.View());
    m_status = read == 0 && LoadAll() ? 0 : 1;
    if (m_status == 0) LoadComplete(0);
  }
  if (m_status != 0) return 1;
  ++m_locks;
  return 0;
}

void Resource::Unlock() {
  if (m_locks > 0) --m_locks;
}

ResourceDatabase::ResourceDatabase(std::string folder, PString ownerName)
    : m_folder(std::move(folder)), m_ownerName(std::move(ownerName)) {}

ResourceDatabase::~ResourceDatabase() = default;

std::optional<std::string> ResourceDatabase::ResolveName(std::string_view name) const {
  if (m_remember) {
    std::lock_guard lock(m_foundMutex);
    if (auto found = m_found.find(name); found != m_found.end()) return found->second;
  }
  std::optional<std::string> resolved;
  if (IsNameInsideFolder(name)) {
    File::Path relative(name);
    relative.Normalise();
    KnownPath known = m_lookup ? m_lookup(relative.View()) : std::nullopt;
    resolved = known ? std::move(*known) : ResolveOnDisk(relative.View());
  }
  if (m_remember) {
    std::lock_guard lock(m_foundMutex);
    m_found.emplace(std::string(name), resolved);
  }
  return resolved;
}

std::optional<std::string> ResourceDatabase::ResolveOnDisk(std::string_view relative) const {
  std::optional<std::string> folder;
  {
    std::lock_guard lock(m_foundMutex);
    if (!m_folderOnDisk) m_folderOnDisk = ResolvePath(m_folder);
    folder = m_folderOnDisk;
  }
  // Only the name's own components are matched without regard to case;
  // the folder's spelling is known.
  std::optional<std::string> resolved = folder ? ResolvePathBelow(*folder, relative) : std::nullopt;
  // The resolved path is the one on disk: one look says whether it is a folder.
  struct stat info;
  if (resolved && (::stat(resolved->c_str(), &info) != 0 || S_ISDIR(info.st_mode))) resolved.reset();
  return resolved;
}

Resource* ResourceDatabase::GetResource(std::string_view name) {
  File::Path normal(Resource::ConvertResourceName(name));
  normal.Normalise();
  const std::string key = normal.Str();
  std::lock_guard lock(m_mutex);
  if (auto found = m_resources.find(key); found != m_resources.end()) return found->second.get();
  if (!ResolveName(name)) return nullptr;
  ResourceTypeBase* type = PluginSystem::Instance().FindResourceType(key);
  std::unique_ptr<Resource> made = type ? type->CreateResource(m_ownerName, PString(key), this) : nullptr;
  if (!made) return nullptr;
  made->SetTextForm(File::Path(key).IsExt("txt"));
  return m_resources.emplace(key, std::move(made)).first->second.get();
}

}  // namespace Kiv
