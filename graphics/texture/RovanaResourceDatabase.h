#pragma once
// The resource database of one content set: a content folder taken from the
// folder cache, through which texture resources are created by file name.
#include <memory>
#include <string>

#include "kiv/RefCount.h"

class ContentFolder;

namespace Kiv {
class TextureResource;
}

class RovanaResourceDatabase {
public:
  // Opens the content set (setName may be empty) whose folder is folder,
  // taking a reference from the folder cache. Null when the cache refuses it
  // or the folder does not exist as a folder or as a folder + ".ja" archive.
  static std::unique_ptr<RovanaResourceDatabase> Open(const std::string& setName, const std::string& folder);
  // Gives the folder cache its reference back.
  ~RovanaResourceDatabase();
  RovanaResourceDatabase(const RovanaResourceDatabase&) = delete;
  RovanaResourceDatabase& operator=(const RovanaResourceDatabase&) = delete;

  const std::string& SetName() const { return m_setName; }
  // The set's folder ("" for an archive set).
  const std::string& Folder() const { return m_folder; }
  // True when the set is an archive file (folder + ".ja").
  [[nodiscard]] bool IsArchive() const { return m_archive; }

  // A new resource for a file of the set, of the class its
  // suffix names; null for an unknown suffix or an archive set, whose format
  // this program does not read. The texture loads when it is locked.
  Kiv::Ref<Kiv::TextureResource> GetTextureResource(const std::string& name);
  // A new resource for the file `name` of the set, of the class the suffix of
  // `asName` names: a file is loaded by the class another name chooses while
  // it keeps its own name.
  Kiv::Ref<Kiv::TextureResource> GetTextureResource(const std::string& name, const std::string& asName);

private:
  RovanaResourceDatabase(ContentFolder* folder, std::string setName, std::string path, bool archive);
  ContentFolder* m_contentFolder;
  std::string m_setName;
  std::string m_folder;
  bool m_archive;
};
