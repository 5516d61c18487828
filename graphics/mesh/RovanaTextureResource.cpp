#include "graphics/mesh/RovanaTextureResource.h"

#include "kiv/TextureResource.h"
#include "umbclient/ContentFolders.h"

RovanaTextureResource::RovanaTextureResource(LinkedListHead<AutoReleasingResource>& head) {
  head.PushBack(&Node());
}

RovanaTextureResource::~RovanaTextureResource() {
  ReleaseTexture();
  ReleaseFolder();
  m_folderName = Kiv::PString();
  m_textureName = Kiv::PString();
  // The node unlinks itself from its head, if it still has one.
}

bool RovanaTextureResource::HoldFolder(const std::string& setName, const std::string& path) {
  ReleaseFolder();
  ContentFolder* folder = OpenContentFolder(setName, path);
  if (!folder) return false;
  m_folder = folder;
  m_folderOpen = true;
  m_folderHeld = true;
  m_folderName = Kiv::PString(path);
  return true;
}

bool RovanaTextureResource::HoldTexture(Kiv::TextureResource* texture) {
  if (!texture || !m_folderHeld) return false;
  Kiv::Ref<Kiv::TextureResource> hold(texture);  // before letting go, in case it is the texture held now
  ReleaseTexture();
  m_texture = std::move(hold);
  m_textureName = Kiv::PString(texture->Name());
  m_textureHeld = true;
  return true;
}

void RovanaTextureResource::Release() { ReleaseTexture(); }

void RovanaTextureResource::ReleaseTexture() {
  if (!m_textureHeld) return;
  if (m_texture) {
    m_texture->SetPriority(0.0f);
    m_texture.Reset();
  }
  m_textureHeld = false;
  m_textureName = Kiv::PString::Empty();
}

void RovanaTextureResource::ReleaseFolder() {
  if (!m_folderHeld) return;
  ReleaseTexture();
  m_folderOpen = false;
  FolderCache::Release(m_folder);
  m_folder = nullptr;
  m_folderHeld = false;
  m_folderName = Kiv::PString::Empty();
}

DisplayInterface& DisplayInterface::Instance() {
  static DisplayInterface instance;
  return instance;
}

DisplayInterface::Record& DisplayInterface::GetRecord() {
  static Record record;
  return record;
}
