#pragma once
// What the config checks need of a mesh file: its attachment points and named
// entries. The legacy mesh tables and the "mustbeownparent" rule ask through
// this interface, so the config library does not depend on the mesh readers;
// the mesh code installs its loader at start-up. With no probe installed no
// mesh loads, and the checks take the documented "mesh did not load" branch.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "config/DataManager.h"
#include "kiv/PString.h"

namespace OBLLib {

struct MeshInfo {
  std::string filePath;                        // the path the mesh was loaded from
  std::vector<Kiv::PString> attachmentPoints;  // names of the attachment points
  std::vector<Kiv::PString> namedEntries;      // names of the mesh's named entries
};

class MeshProbe {
public:
  virtual ~MeshProbe() = default;
  // Loads the mesh at an on-disk path; false when it does not load.
  [[nodiscard]] virtual bool Load(const std::string& path, MeshInfo& out) = 0;
  // Loads an animation file into a loaded mesh; false when it does not load.
  [[nodiscard]] virtual bool LoadAnimation(const std::string& path, MeshInfo& mesh) = 0;
};

// Installs the probe (null removes it). Not thread-safe: set at start-up.
void SetMeshProbe(std::shared_ptr<MeshProbe> probe);
MeshProbe* GetMeshProbe();

// A loaded mesh filed in the schema manager's live-object map for a container.
class LoadedMesh : public LiveObject {
public:
  explicit LoadedMesh(MeshInfo info) : m_info(std::move(info)) {}
  const MeshInfo& Info() const { return m_info; }
  [[nodiscard]] bool ListsFile(const Kiv::PString& path) const override {
    return path.View() == m_info.filePath;
  }
  [[nodiscard]] bool ListsAttachment(const Kiv::PString& name) const override;

protected:
  MeshInfo& MutableInfo() { return m_info; }

private:
  MeshInfo m_info;
};

// A mesh loaded for real by the mesh code: what the LOD checks and the
// animation files ask of it.
class CheckedMesh : public LoadedMesh {
public:
  using LoadedMesh::LoadedMesh;
  // Levels of detail; 0 for a mesh without levels.
  virtual uint32_t LevelCount() const = 0;
  // Attachment records the mesh keeps.
  virtual size_t AttachmentCount() const = 0;
  // Makes a level the selected one; a level out of range changes nothing.
  virtual void SelectLevel(uint32_t level) = 0;
  // Polygons of the selected level (of the mesh for a mesh without levels).
  virtual uint32_t PolygonCount() const = 0;
  // Binds an animation file (a name inside the content folder); false with
  // the reason reported.
  [[nodiscard]] virtual bool LoadAnimation(const Kiv::PString& name) = 0;

  bool isCurrent = false;       // the schema manager's current mesh
  bool allowsAnimation = true;  // an animation may be loaded into it
};

// Loads the meshes of the asset under check. Findings go to the error
// handler with the context (the container whose tag names the file; null
// for none).
class MeshLoader {
public:
  virtual ~MeshLoader() = default;
  enum class Form { kPlain, kLevels };
  // The mesh at a path inside the content folder of the asset under check,
  // or null when it does not load.
  virtual std::unique_ptr<CheckedMesh> Load(Form form, const Kiv::PString& path, Container* context) = 0;
};

// Installs the loader (null removes it). Not thread-safe: set at start-up.
void SetMeshLoader(std::shared_ptr<MeshLoader> loader);
MeshLoader* GetMeshLoader();

// True when the mesh lists an attachment point of that name (interned identity).
[[nodiscard]] bool HasAttachmentPoint(const MeshInfo& mesh, const Kiv::PString& name);

}  // namespace OBLLib
