#pragma once
// What the config checks need of a mesh file: its attachment points and named
// entries. The legacy mesh tables and the "mustbeownparent" rule ask through
// this interface, so the config library does not depend on the mesh readers;
// the mesh code installs its loader at start-up. With no probe installed no
// mesh loads, and the checks take the documented "mesh did not load" branch.
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
  virtual bool Load(const std::string& path, MeshInfo& out) = 0;
  // Loads an animation file into a loaded mesh; false when it does not load.
  virtual bool LoadAnimation(const std::string& path, MeshInfo& mesh) = 0;
};

// Installs the probe (null removes it). Not thread-safe: set at start-up.
void SetMeshProbe(std::shared_ptr<MeshProbe> probe);
MeshProbe* GetMeshProbe();

// A loaded mesh filed in the schema manager's live-object map for a container.
class LoadedMesh final : public LiveObject {
public:
  explicit LoadedMesh(MeshInfo info) : m_info(std::move(info)) {}
  const MeshInfo& Info() const { return m_info; }
  bool ListsFile(const Kiv::PString& path) const override { return path.View() == m_info.filePath; }

private:
  MeshInfo m_info;
};

// True when the mesh lists an attachment point of that name (interned identity).
bool HasAttachmentPoint(const MeshInfo& mesh, const Kiv::PString& name);

}  // namespace OBLLib
