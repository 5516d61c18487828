#pragma once
// A holder of one texture of a content folder on behalf of its owner. It sits
// in a list of auto-releasing resources: when the list's head goes, the holder
// is detached, and Release drops its texture. The folder is held first and let
// go last: empty -> folder held -> texture held.
#include <string>

#include "kiv/RefCount.h"
#include "foundation/Identifiable.h"
#include "kiv/PString.h"
#include "kiv/render/Display.h"

class ContentFolder;
namespace Kiv {
class TextureResource;
}

class RovanaTextureResource : public AutoReleasingResource, public IdentifiableType {
public:
  // Linked at the end of head (the process's list unless another is given).
  explicit RovanaTextureResource(LinkedListHead<AutoReleasingResource>& head = AutoReleasingResources());
  // Lets go of the texture, then the folder, then leaves its list.
  ~RovanaTextureResource() override;

  // Opens and holds the content folder at path (a folder already held is let
  // go first). False when the folder cannot be opened.
  [[nodiscard]] bool HoldFolder(const std::string& setName, const std::string& path);
  // Holds texture (one more reference) under its name; the folder must be
  // held. A texture already held is let go first.
  [[nodiscard]] bool HoldTexture(Kiv::TextureResource* texture);

  // Drops the texture (as ReleaseTexture), keeping the folder.
  void Release() override;
  // Sets the texture's priority to 0, drops the reference and forgets its name.
  void ReleaseTexture();
  // Lets go of the texture first, then gives the folder back to the folder cache.
  void ReleaseFolder();

  ContentFolder* Folder() const { return m_folder; }
  [[nodiscard]] bool IsFolderOpen() const { return m_folderOpen; }
  const Kiv::PString& FolderName() const { return m_folderName; }
  Kiv::TextureResource* Texture() const { return m_texture.Get(); }
  const Kiv::PString& TextureName() const { return m_textureName; }

private:
  ContentFolder* m_folder = nullptr;
  bool m_folderOpen = false;
  Kiv::PString m_folderName;
  bool m_folderHeld = false;
  Kiv::Ref<Kiv::TextureResource> m_texture;
  Kiv::PString m_textureName;
  bool m_textureHeld = false;
};

// The program's display interface: one process-wide instance, and beside it
// the record of the display the program draws on (the headless display).
class DisplayInterface {
public:
  struct Record {
    Kiv::Display* display = &Kiv::HeadlessDisplay();
  };

  virtual ~DisplayInterface() = default;
  static DisplayInterface& Instance();
  static Record& GetRecord();
};
