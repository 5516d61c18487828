#include "graphics/mesh/RovanaProgressiveMeshDefinition.h"

#include "kiv/File.h"

int RovanaProgressiveMeshDefinition::Load(Kiv::Display* display, Kiv::MaterialManager* manager,
                                          Kiv::Resource* resource, std::string_view meshName,
                                          uint32_t defaultColour) {
  (void)display;  // the skinning capability is not asked here
  if (!manager) return Kiv::kMeshNoManager;
  BeginLoad(nullptr, manager, resource, defaultColour);
  if (m_file.IsEmpty()) {
    std::optional<std::string> path =
        m_database ? m_database->ResolveName(meshName) : std::optional<std::string>(std::string(meshName));
    if (!path || !m_file.Open(*path) || m_file.IsEmpty()) return Kiv::kMeshNoData;
    SetPath(Kiv::PString(meshName));
  }

  Kiv::ByteReader reader = m_file.Reader();
  uint32_t form = 0;
  Kiv::ByteReader body;
  if (!Kiv::ReadMeshContainer(reader, form, body) || form != Kiv::MeshTag("IDXM")) return Kiv::kMeshMalformed;
  const int result = ReadForm(body, true);
  if (result != Kiv::kMeshOk) return result;
  BuildSkeletonFromInfluences();
  SetupHardwareSkinning();
  SetPath(Kiv::PString(Kiv::File::Path(GetPath().View()).GetFileName()));
  ComputeBoundingBox();
  ComputeOrientedBox();
  m_file.Close();
  return Kiv::kMeshOk;
}

int RovanaProgressiveMeshDefinition::ReadProgressiveInfoChunk(Kiv::MeshChunk& chunk) {
  if (chunk.tag != Kiv::MeshTag("PMIN")) return Kiv::kMeshMalformed;
  if (chunk.version != 101) return Kiv::kMeshBadVersion;
  Kiv::ByteReader& r = chunk.body;
  const uint64_t words = r.U32(), records = r.U32(), runs = r.U32(), groups = r.U32();
  // All four blocks must be inside the chunk before any is taken.
  if (r.Failed() || words * 4 + records * 16 + runs * 8 + groups * 4 > r.Remaining())
    return Kiv::kMeshMalformed;
  Kiv::ByteReader pool = r.Sub(words * 4);
  Kiv::ByteReader recordBlock = r.Sub(records * 16);
  Kiv::ByteReader runBlock = r.Sub(runs * 8);
  Kiv::ByteReader groupBlock = r.Sub(groups * 4);
  (void)pool;
  // Each level owns consecutive runs of the level below; the runs must lie
  // inside the blocks they name. Nothing is kept afterwards.
  uint64_t runsUsed = 0, recordsUsed = 0, wordsUsed = 0;
  for (uint64_t g = 0; g < groups; ++g) runsUsed += groupBlock.U32();
  for (uint64_t c = 0; c < runs; ++c) {
    runBlock.U32();
    recordsUsed += runBlock.U32();
  }
  for (uint64_t b = 0; b < records; ++b) {
    recordBlock.Skip(12);
    wordsUsed += recordBlock.U32();
  }
  if (runsUsed > runs || recordsUsed > records || wordsUsed > words) return Kiv::kMeshMalformed;
  // Bytes after the blocks would be left unread in the container.
  return r.Failed() || !r.AtEnd() ? Kiv::kMeshMalformed : Kiv::kMeshOk;
}
