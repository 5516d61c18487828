#pragma once
// The loaded form of one indexed mesh (".im"): geometry chunks with their
// materials, influences or a skeleton, attachment points, bounds, the texture
// figure and the oriented box. Mesh files are outside data: every chunk is
// read through a reader bounded by its own end, every count is checked against
// the bytes left before anything is made for it, and a malformed file gives
// result 3, never a crash or a success with garbage.
#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "kiv/Bytes.h"
#include "kiv/PString.h"
#include "kiv/render/ConfigParser.h"
#include "kiv/render/Display.h"
#include "kiv/render/Geometry.h"
#include "kiv/render/Material.h"
#include "kiv/render/Maths.h"
#include "kiv/render/MeshFile.h"
#include "kiv/render/Resource.h"
#include "kiv/render/Scene.h"

class CollisionGeometrySharingInterface;
class RVAxisBoxTree;
namespace Kiv {
class GeometryConfigData;
class Overlapped;
}  // namespace Kiv

// Load options: a value counts only when it is set.
struct MeshLoadOptions {
  struct Option {
    bool value = false;
    bool isSet = false;
    [[nodiscard]] bool On() const { return isSet && value; }
  };
  Option softwareLighting, softwareAnimation, dynamicVertex, dynamicIndex, hardwareAnimationFloatPrecision;
};

struct MeshAttachment {
  float rotation[9] = {1, 0, 0, 0, 1, 0, 0, 0, 1};
  float position[3] = {0, 0, 0};
  Kiv::PString name;
};

// A material as a "MATL" chunk describes it.
struct MeshMaterialRecord {
  bool flag = false;
  float factor = 1.0f;
  Kiv::DisplayMaterial display;
  std::vector<Kiv::MaterialTexture> textures;
  std::string key;
  std::string name;  // as the file gives it, before it is decorated into the key
  std::vector<std::pair<std::string, std::string>> properties;
};

// What a material was made from: the name and textures a writer gives back.
struct MeshMaterialSource {
  std::string name;
  std::vector<Kiv::MaterialTexture> textures;
};

class RovanaIndexedMeshDefinition : public Kiv::MeshFileSupport {
public:
  static constexpr uint32_t kInfluenceLimit = 4;
  static constexpr int kSkinningCapability = 29;
  // Deepest bone nesting read from a "SKEL".
  static constexpr int kMaxBoneDepth = 256;

  explicit RovanaIndexedMeshDefinition(const MeshLoadOptions& options = {});
  ~RovanaIndexedMeshDefinition() override;

  // Resolves the name in the folder, keeps it as the mesh path and reads the
  // whole file: 0, or 2 when it cannot be read.
  int OpenMeshFile(const Kiv::ResourceDatabase* database, std::string_view name);
  // Hands bytes in directly (tests and the fuzz target); the path is kept.
  void SetFileData(std::vector<uint8_t> bytes, std::string_view path);

  // Reads the file data as an "IDXM" mesh. The resource names the materials
  // and textures (it may be null); vertices of chunks with a colour element
  // get the default colour. Result codes 0 and 2-8.
  virtual int Load(Kiv::Display* display, Kiv::MaterialManager* manager, Kiv::Resource* resource,
                   std::string_view meshName, uint32_t defaultColour);
  // Reads the text form (".imtxt", kiv/render/GeometryConfigData.h),
  // resolved through the resource's folder: 2 when the file cannot be read,
  // 3 when it does not parse or breaks a rule of the form, 5 without a
  // manager, else the codes of Load.
  int LoadText(Kiv::Display* display, Kiv::MaterialManager* manager, Kiv::Resource* resource,
               std::string_view meshName, uint32_t defaultColour);
  int LoadFromConfig(Kiv::Display* display, Kiv::MaterialManager* manager, Kiv::Resource* resource,
                     const Kiv::ConfigData& config, uint32_t defaultColour);
  // Sets the textures waiting on the materials; 9 when a material is not
  // loaded afterwards, else 0.
  int FinishMaterials();
  uint64_t EstimateMemorySize() const;

  // Chunks and materials.
  uint32_t GetNumChunks() const { return uint32_t(m_chunks.size()); }
  Kiv::GeometryChunk* GetChunk(uint32_t i) const { return i < m_chunks.size() ? m_chunks[i].get() : nullptr; }
  Kiv::Material* GetMaterial(uint32_t i) const {
    return i < m_materials.size() ? m_materials[i].get() : nullptr;
  }
  const std::vector<std::shared_ptr<Kiv::GeometryChunk>>& GetChunks() const { return m_chunks; }
  const std::vector<std::shared_ptr<Kiv::Material>>& GetMaterials() const { return m_materials; }
  const Kiv::PString& GetChunkName(uint32_t i) const;
  uint32_t GetNumVertices(uint32_t i) const;
  uint32_t GetNumIndices(uint32_t i) const;
  uint32_t GetNumFaces(uint32_t i) const;
  uint32_t GetNumTextureSets(uint32_t i) const;
  // Largest number of influences that touch one vertex of chunk i.
  uint32_t GetMaxInfluencesPerVertex(uint32_t i) const;
  // Copies of chunk i's data; empty when the chunk or element is missing.
  std::vector<float> CopyPositions(uint32_t i) const;
  std::vector<float> CopyTextureSet(uint32_t i, uint32_t set) const;
  std::vector<float> CopyNormals(uint32_t i) const;
  std::vector<uint32_t> CopyColours(uint32_t i) const;
  std::vector<uint16_t> CopyIndices(uint32_t i) const;
  std::vector<float> CopyFaceNormals(uint32_t i) const;

  uint32_t GetMaxInfluencesSource() const { return m_influenceLimitSource; }
  uint32_t GetMaxBonesSource() const { return m_boneLimitSource; }
  uint32_t GetBoneLimit() const { return m_boneLimit; }
  [[nodiscard]] bool UsesHardwareSkinning() const { return m_hardwareSkinning; }
  uint32_t GetTotalVertices() const { return m_totalVertices; }
  uint32_t GetTotalFaces() const { return m_totalFaces; }
  const float* GetPosition() const { return m_position; }
  const Kiv::Quaternion& GetOrientation() const { return m_orientation; }
  // Maximum corner, then minimum corner.
  const float* GetBounds() const { return m_bounds; }
  float GetTextureFigure() const { return m_textureFigure; }
  const Kiv::OrientedBox& GetOrientedBox() const { return m_orientedBox; }
  const std::vector<std::string>& GetFailedTextures() const { return m_failedTextures; }
  // The name and textures a material of this mesh was made from; null for
  // a material it did not make.
  const MeshMaterialSource* GetMaterialSource(const Kiv::Material* material) const;

  const std::vector<Kiv::InfluenceDefinition>& GetInfluences() const { return m_influences; }
  Kiv::Quaternion GetInfluenceRotation(uint32_t i) const;
  const std::vector<MeshAttachment>& GetAttachments() const { return m_attachments; }
  Kiv::Quaternion GetAttachmentRotation(uint32_t i) const;
  // Gives the particle an attachment point for every attachment whose name
  // begins with "a" or "A"; with a root bone the point's frame is made
  // relative to the particle, and a point the particle refuses becomes its
  // child in the stored frame.
  void AddAttachmentPoints(Kiv::ParticleStructure& particle) const;
  const std::shared_ptr<Kiv::ParticleBone>& GetRootBone() const { return m_rootBone; }
  // The influence named like chunk i, else influence i; null when neither exists.
  const Kiv::InfluenceDefinition* FindInfluenceByName(uint32_t i) const;
  // The three corner positions (9 floats) of the triangle whose indices start
  // at firstIndex in chunk `chunk`; false when it lies outside the chunk.
  [[nodiscard]] bool GetTriangle(uint32_t chunk, uint32_t firstIndex, float corners[9]) const;

  // The collision tree of the chunks. It is built once, as a request to the
  // process's asynchronous loader: without a loader there is no tree. The
  // first call asks for it and collects it (building it on this thread when
  // the loader has not reached it yet); null while there is none.
  const RVAxisBoxTree* GetCollisionTree();
  // The tree once it is built and collected, without asking for it.
  const RVAxisBoxTree* GetFinishedCollisionTree() const { return m_collisionTree.get(); }
  // Asks the loader for the tree unless it exists, is asked for already or
  // there is no loader.
  void RequestCollisionTree();
  // Builds a tree of every triangle of the chunks; null when there is none.
  std::unique_ptr<RVAxisBoxTree> BuildCollisionTree();

protected:
  // Reads the form's chunks: "INFO", the "CHNK"s, then the optional chunks
  // (with "PMIN" for a progressive mesh) and the end check.
  int ReadForm(Kiv::ByteReader& form, bool progressive);
  int ReadInfoChunk(Kiv::ByteReader& form);
  int ReadChunkChunk(Kiv::ByteReader& form, uint32_t index);
  int ReadMaterialChunk(Kiv::MeshChunk& chunk, uint32_t index);
  int CreateMaterialFromRecord(uint32_t index, MeshMaterialRecord& record);
  // A "GEOM" of a LOD level carries its name from version 103 and never
  // texture-set counts or colours (lodLayout).
  int ReadGeometryChunk(Kiv::MeshChunk& chunk, uint32_t index, bool lodLayout = false);
  int ReadNeighbourChunk(Kiv::MeshChunk& chunk, uint32_t index);
  int ReadInfluenceChunk(Kiv::MeshChunk& chunk);
  int ReadBoneChunk(Kiv::ByteReader& parentBody, Kiv::Particle* parent, int depth);
  int ReadAttachmentChunk(Kiv::MeshChunk& chunk);
  virtual int ReadProgressiveInfoChunk(Kiv::MeshChunk& chunk);
  // The text form's chunk i: its material and its geometry, the geometry
  // through the "GEOM" reader from the block the source describes.
  int CreateMaterial(const Kiv::GeometryConfigData& source, uint32_t index);
  int BuildGeometryFromSource(const Kiv::GeometryConfigData& source, uint32_t index);
  void BeginLoad(Kiv::Display* display, Kiv::MaterialManager* manager, Kiv::Resource* resource,
                 uint32_t defaultColour);
  void FinishLoad();

  void CountTotals();
  void BuildSkeletonFromInfluences();
  virtual void SetupHardwareSkinning();
  // Writes one bone's influences on a chunk into its blend items: the bone
  // takes a palette matrix and each named vertex its next free slot (four at
  // most; counts holds the slots used per vertex). Chunks that are skinned in
  // software, lack blend items or have a full palette are left alone.
  static void ApplyHardwareInfluence(Kiv::GeometryChunk& chunk, const void* bone,
                                     const Kiv::InfluenceChunkReference& reference,
                                     std::vector<uint8_t>& counts);
  // Builds a bone tree from records with a name, a parent name, a position
  // and a 3 x 3 rotation: the first record without a parent is the root,
  // others hang below their named parent or else the root (their parent name
  // then becomes the root's). Null, and the records untouched, without a root.
  template <class Record>
  static std::shared_ptr<Kiv::ParticleBone> BuildBoneTree(std::vector<Record>& records);
  void ComputeBoundingBox();
  void ComputeTextureFigure();
  void ComputeOrientedBox();
  // The texture path: the stored name's file part in the mesh's folder, lower-cased.
  Kiv::PString ResolveTextureName(std::string_view stored) const;

  float m_position[3] = {0, 0, 0};
  Kiv::Quaternion m_orientation;
  float m_bounds[6] = {0, 0, 0, 0, 0, 0};
  uint32_t m_totalVertices = 0, m_totalFaces = 0;
  uint32_t m_influenceLimitSource = 0, m_boneLimitSource = 0;
  uint32_t m_influenceLimit = kInfluenceLimit;
  uint32_t m_boneLimit = 25;
  bool m_hardwareSkinning = false;
  bool m_displaySkinning = false;
  uint32_t m_infoChunkCount = 0;
  std::vector<std::shared_ptr<Kiv::GeometryChunk>> m_chunks;
  std::vector<std::shared_ptr<Kiv::Material>> m_materials;
  std::vector<MeshAttachment> m_attachments;
  std::vector<std::string> m_failedTextures;
  Kiv::MemoryFile m_file;
  struct PendingTextures {
    std::shared_ptr<Kiv::Material> material;
    std::vector<Kiv::MaterialTexture> textures;
  };
  std::vector<PendingTextures> m_pendingTextures;
  std::unordered_map<const Kiv::Material*, MeshMaterialSource> m_materialSources;
  std::vector<Kiv::InfluenceDefinition> m_influences;
  std::vector<Kiv::PString> m_chunkNames;
  // File "CHNK" number -> kept chunk index (or -1 when it was dropped).
  std::vector<int32_t> m_fileChunkIndex;
  std::shared_ptr<Kiv::ParticleBone> m_rootBone;
  MeshLoadOptions m_options;
  float m_textureFigure = 0.0f;
  Kiv::OrientedBox m_orientedBox;

  // The collision tree, the adaptor that gives it the triangles, the tree a
  // request built and the request itself (last, so it goes first: it may be
  // building from the chunks).
  std::unique_ptr<RVAxisBoxTree> m_collisionTree;
  std::unique_ptr<CollisionGeometrySharingInterface> m_collisionGeometry;
  std::unique_ptr<RVAxisBoxTree> m_builtCollisionTree;
  bool m_collisionTreeFailed = false;

  // What the running load was given.
  Kiv::Display* m_display = nullptr;
  Kiv::MaterialManager* m_manager = nullptr;
  Kiv::Resource* m_resource = nullptr;
  const Kiv::ResourceDatabase* m_database = nullptr;
  uint32_t m_defaultColour = 0xFFFFFFFF;

  std::unique_ptr<Kiv::Overlapped> m_collisionRequest;
};

template <class Record>
std::shared_ptr<Kiv::ParticleBone> RovanaIndexedMeshDefinition::BuildBoneTree(std::vector<Record>& records) {
  if (records.empty()) return nullptr;
  std::vector<std::shared_ptr<Kiv::ParticleBone>> bones;
  std::unordered_map<Kiv::PString, size_t> byName;
  int root = -1;
  for (size_t i = 0; i < records.size(); ++i) {
    const auto& record = records[i];
    auto bone = std::make_shared<Kiv::ParticleBone>(record.name);
    std::copy(std::begin(record.position), std::end(record.position), bone->position);
    bone->rotation.Set(record.rotation);
    bones.push_back(std::move(bone));
    byName.emplace(record.name, i);  // the first of equal names wins
    if (root < 0 && record.parentName.IsEmpty()) root = int(i);
  }
  if (root < 0) return nullptr;
  const Kiv::PString rootName = records[size_t(root)].name;
  for (size_t i = 0; i < records.size(); ++i) {
    if (int(i) == root) continue;
    auto& record = records[i];
    if (record.parentName.IsEmpty()) record.parentName = rootName;
    auto parent = byName.find(record.parentName);
    // A bone never goes below itself or its own descendant: such a bone,
    // like one whose parent is unknown, hangs from the root.
    if (parent != byName.end() && parent->second != i && bones[parent->second]->Add(bones[i])) continue;
    record.parentName = rootName;
    // A node made just before has no parent, so it is not refused.
    (void)bones[size_t(root)]->Add(bones[i]);  // the root has no parent, so this cannot close a cycle
  }
  return bones[size_t(root)];
}
