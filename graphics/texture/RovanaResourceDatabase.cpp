#include "graphics/texture/RovanaResourceDatabase.h"

#include "kiv/File.h"
#include "kiv/TextureResource.h"
#include "graphics/texture/ResourceTypes.h"
#include "umbclient/ContentFolders.h"

std::unique_ptr<RovanaResourceDatabase> RovanaResourceDatabase::Open(const std::string& setName,
                                                                     const std::string& folder) {
  if (folder.empty()) return nullptr;
  Kiv::File::Path archive(folder);
  archive.AddToLast(".ja");
  bool isArchive = false;
  if (Kiv::File::Exists(archive.View()) && !Kiv::File::IsDirectory(archive.View()))
    isArchive = true;
  else if (!Kiv::File::IsDirectory(folder))
    return nullptr;
  ContentFolder* cached = OpenContentFolder(setName, folder);
  if (!cached) return nullptr;
  return std::unique_ptr<RovanaResourceDatabase>(
      new RovanaResourceDatabase(cached, setName, isArchive ? std::string() : folder, isArchive));
}

RovanaResourceDatabase::RovanaResourceDatabase(ContentFolder* folder, std::string setName, std::string path,
                                               bool archive)
    : m_contentFolder(folder), m_setName(std::move(setName)), m_folder(std::move(path)), m_archive(archive) {}

RovanaResourceDatabase::~RovanaResourceDatabase() { FolderCache::Release(m_contentFolder); }

Kiv::Ref<Kiv::TextureResource> RovanaResourceDatabase::GetTextureResource(const std::string& name) {
  return GetTextureResource(name, name);
}

Kiv::Ref<Kiv::TextureResource> RovanaResourceDatabase::GetTextureResource(const std::string& name,
                                                                          const std::string& asName) {
  if (m_archive) return nullptr;
  const TextureResourceType* type = FindTextureResourceType(asName);
  if (!type) return nullptr;
  return type->create(name, m_folder);
}
