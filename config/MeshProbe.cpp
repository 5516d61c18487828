#include "config/MeshProbe.h"

#include <algorithm>

namespace OBLLib {

namespace {
std::shared_ptr<MeshProbe>& Probe() {
  static std::shared_ptr<MeshProbe> probe;
  return probe;
}
}  // namespace

void SetMeshProbe(std::shared_ptr<MeshProbe> probe) { Probe() = std::move(probe); }

MeshProbe* GetMeshProbe() { return Probe().get(); }

bool HasAttachmentPoint(const MeshInfo& mesh, const Kiv::PString& name) {
  return std::find(mesh.attachmentPoints.begin(), mesh.attachmentPoints.end(), name) !=
         mesh.attachmentPoints.end();
}

bool LoadedMesh::ListsAttachment(const Kiv::PString& name) const { return HasAttachmentPoint(m_info, name); }

}  // namespace OBLLib
