#pragma once
// The loaded form of a mesh with levels of detail: the levels with their
// geometry chunks and materials, the switching distances, named levels, the
// bone table with per-level influences, and the settings that instances copy.
// It reads the binary ".lm" form and the ".lm.txt" text form (which lists
// level meshes by file) and writes the binary form back.
//
// The ".lm" file is a "KVXB" container of form "LODM" (docs/formats.md):
//   "INFO" 100   7 f32 position and orientation, u32 levelCount, u32
//                calcPoint, f32 offset, f32 multiplier, f32 animation,
//                render and attachment cut-offs, u32 namedCount, then per
//                named level u32 level, padded name, u8 animated
//   "MATT" 100   u32 count, then that many "MATL" 103 (as in ".im")
//   "BONT" 100   optional: u32 count, per bone padded name, padded parent
//                name, 3 f32 position, 9 f32 rotation rows
//   "RBOT" 100   optional, instead of "BONT": the same records, depth first
//                from the root (whose parent name is empty)
//   "ATCH" 100   optional: as in ".im"; culled points carry ":Cull"
//   "MESH" 100   one per level: u32 chunkCount, u32 maxInfluences, u32
//                maxBones, f32 distance (-1: used only by name), then "LODB"
//                (required when there are bones) and chunkCount "LCHK"
//   "LODB" 100   per bone: u32 groups, per group u32 chunk, u32 count, then
//                count x (u32 vertex, 4 f32 values, weight first)
//   "LCHK" 100   u32 chunk index, u32 material index, "GEOM" (101 to 201),
//                optional "NINF"
// After a load the base's chunks and materials are those of the last level
// with a distance, so code written for indexed meshes works on it unchanged.
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "graphics/mesh/RovanaIndexedMeshDefinition.h"
#include "kiv/File.h"
#include "kiv/render/ConfigParser.h"

struct LODLevel {
  uint32_t vertexTotal = 0;
  uint32_t faceTotal = 0;
  bool hardwareAnimated = false;
  std::vector<std::shared_ptr<Kiv::GeometryChunk>> chunks;
  std::vector<std::shared_ptr<Kiv::Material>> materials;  // one per chunk
  std::vector<Kiv::PString> chunkNames;                   // one per chunk, may be empty
  uint32_t ChunkCount() const { return uint32_t(chunks.size()); }
};

struct LODNamedLevel {
  Kiv::PString name;  // lower case
  uint32_t level = 0;
  bool animated = false;
};

// One level's influences of a bone: groups of (chunk, vertices).
using LODInfluenceSet = std::vector<Kiv::InfluenceChunkReference>;

struct LODBone {
  Kiv::PString name, parentName;
  float position[3] = {0, 0, 0};
  float rotation[9] = {1, 0, 0, 0, 1, 0, 0, 0, 1};
  std::vector<LODInfluenceSet> levels;  // one set per level, in level order
};

class RovanaIndexedMeshLODDefinition : public RovanaIndexedMeshDefinition {
public:
  static constexpr uint32_t kMatrixLimit = 25;
  static constexpr std::string_view kCullSuffix = ":Cull";

  explicit RovanaIndexedMeshLODDefinition(const MeshLoadOptions& options = {});
  ~RovanaIndexedMeshLODDefinition() override;

  // Reads an ".lm" file, resolved through the resource's folder when it has
  // one. Result codes as the indexed reader's: 2 unreadable, 3 malformed, 4
  // a version not read, 5 no material manager, 6 and 7 material failures.
  int ReadLODFile(Kiv::Display* display, Kiv::MaterialManager* manager, Kiv::Resource* resource,
                  std::string_view fileName, uint32_t vertexColour);
  // The same from bytes in hand (tests and the fuzz target).
  int ReadLODData(Kiv::Display* display, Kiv::MaterialManager* manager, Kiv::Resource* resource,
                  std::vector<uint8_t> bytes, std::string_view fileName, uint32_t vertexColour);
  // Reads an ".lm.txt" file: each level mesh named in it is read as an
  // indexed mesh from the text's folder. 2 when the text cannot be read or
  // parsed, 4 for a version other than 1.0, 3 for a text that breaks the
  // rules, or the code of the first level mesh that fails.
  int LoadLODText(Kiv::Display* display, Kiv::MaterialManager* manager, Kiv::Resource* resource,
                  std::string_view fileName, uint32_t vertexColour);
  // The same from a parsed text; folder is where level meshes are looked up.
  int LoadLODConfig(Kiv::Display* display, Kiv::MaterialManager* manager, Kiv::Resource* resource,
                    const Kiv::ConfigData& config, std::string_view fileName, uint32_t vertexColour);

  // The ".lm" form of the definition; 1 (and nothing written) without levels.
  int WriteLODFile(std::vector<uint8_t>& out) const;
  // Writes it to an open file; 2 when the file refuses the bytes.
  int WriteLODFile(Kiv::File& file) const;

  // Finishes the level meshes a text load kept and lets them go, sets the
  // pending textures, and lets equal materials of later levels be those of
  // earlier ones. 9 when a material is not loaded afterwards, else 0.
  int CompleteLoad();
  // An estimate of the bytes the definition holds.
  uint64_t CalculateDataSize() const;

  const std::string& GetName() const { return m_name; }
  const std::vector<LODLevel>& GetLevels() const { return m_levels; }
  const std::vector<float>& GetDistances() const { return m_distances; }
  const std::vector<LODNamedLevel>& GetNamedLevels() const { return m_namedLevels; }
  const std::vector<LODBone>& GetBones() const { return m_bones; }
  const std::vector<Kiv::PString>& GetCullList() const { return m_cullList; }
  const std::vector<std::shared_ptr<Kiv::Material>>& GetMaterialTable() const { return m_materialTable; }
  // The level of a named level (any case), or -1.
  int GetLevelIndexByName(std::string_view name) const;
  uint32_t GetCalcPoint() const { return m_calcPoint; }
  float GetOffset() const { return m_offset; }
  float GetMultiplier() const { return m_multiplier; }
  float GetAnimationCutOff() const { return m_animationCutOff; }
  float GetRenderCutOff() const { return m_renderCutOff; }
  float GetAttachmentCutOff() const { return m_attachmentCutOff; }
  // Level meshes a text load keeps until CompleteLoad.
  size_t GetNumOwnedObjects() const { return m_owned.size(); }
  // The largest influences per vertex and bones per chunk of a level, as
  // the writer computes them.
  void ComputeLevelCounts(uint32_t level, uint32_t& maxInfluences, uint32_t& maxBones) const;

private:
  int ReadLOD(std::string_view fileName);
  int ReadLODInfoChunk(Kiv::ByteReader& form);
  int ReadMaterialTable(Kiv::ByteReader& form);
  int ReadBoneTable(Kiv::MeshChunk& chunk);
  int ReadRootBoneTree(Kiv::MeshChunk& chunk);
  int ReadLevel(Kiv::ByteReader& form, uint32_t level);
  int ReadLevelBones(Kiv::MeshChunk& chunk, uint32_t level, uint32_t chunkCount);
  int ReadLevelChunk(Kiv::ByteReader& body, uint32_t index);
  int FinishLODLoad();
  void BuildInfluences();
  void ExtractCullAttachments();
  void TakeLastDistancedLevel();
  // The base's set-up with the LOD form's bone limit.
  void BeginLoad(Kiv::Display* display, Kiv::MaterialManager* manager, Kiv::Resource* resource,
                 uint32_t vertexColour);

  int LoadLevelMesh(const std::string& meshName, bool firstLevel);
  int AddLevelFrom(RovanaIndexedMeshDefinition& mesh, bool firstLevel);

  void WriteMaterial(std::vector<uint8_t>& out, const Kiv::Material& material) const;
  void WriteLevel(std::vector<uint8_t>& out, uint32_t level,
                  const std::vector<std::shared_ptr<Kiv::Material>>& table) const;
  void ComputeChunkCounts(uint32_t level, uint32_t chunk, uint32_t& maxInfluences, uint32_t& maxBones) const;

  std::string m_name;
  std::vector<float> m_distances;
  uint32_t m_calcPoint = 0;
  float m_offset = 0.0f;
  float m_multiplier = 1.0f;
  float m_animationCutOff = 0.0f;
  float m_renderCutOff = 0.0f;
  float m_attachmentCutOff = 0.0f;
  std::vector<Kiv::PString> m_cullList;
  std::vector<LODNamedLevel> m_namedLevels;
  uint32_t m_storedLevelCount = 0;
  std::vector<LODLevel> m_levels;
  std::vector<LODBone> m_bones;
  std::vector<std::shared_ptr<Kiv::Material>> m_materialTable;
  // Level meshes of a text load, by the resource name they were read from.
  struct OwnedMesh {
    std::string name;
    std::unique_ptr<RovanaIndexedMeshDefinition> mesh;
  };
  std::vector<OwnedMesh> m_owned;
  // The text's folder inside the content folder, for level mesh names.
  std::string m_textFolder;
};
