#pragma once
// Geometry chunks as CPU data: a vertex block laid out by a vertex format,
// a u16 index array, face normals and face neighbours, and an influence
// palette. Blocks are shared between a chunk and its clones until one of them
// duplicates (copy on write). Display buffers are made and "uploaded" through
// the headless display, which only records the requests.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "kiv/PString.h"

namespace Kiv {

class Display;
class ResourceDatabase;
struct DisplayBuffer;

// Vertex element numbers.
enum GeometryElement : int {
  kElementPosition = 1,       // 3 floats
  kElementColour = 2,         // u32
  kElementVector3 = 3,        // 3 floats
  kElementNormal = 4,         // 3 floats
  kElementWeights1 = 5,       // 5..8: 1..4 float weights
  kElementPackedWeights = 9,  // u32, weight of influence s in byte 3 - s
  kElementBlendIndices = 10,  // 4 bytes
  kElementTexture0 = 15,      // 15..22: texture sets, 2 floats each
  kElementExtraVector = 27,   // 3 floats
  kElementCount = 32,
};
constexpr int kMaxTextureSets = 8;

// Where each element lies in a vertex; -1 when the format lacks it.
struct VertexFormat {
  uint32_t vertexSize = 0;
  uint32_t typeId = 0;
  int32_t offset[kElementCount];
  uint8_t size[kElementCount];

  VertexFormat();
  // Appends an element of `bytes` bytes at the end of the vertex.
  VertexFormat& Add(int element, uint32_t bytes);
  [[nodiscard]] bool Has(int element) const {
    return element >= 0 && element < kElementCount && offset[element] >= 0;
  }
};

// An element of a chunk: stride and first byte; (0, null) when absent.
struct ElementArray {
  uint32_t stride = 0;
  uint8_t* data = nullptr;
  explicit operator bool() const { return data != nullptr; }
};

// The primitive kind of a geometry type, as the low five bits of chunk flags
// hold it: 4 triangle list, 8 triangle strip, 16 triangle fan (geometry types
// 0, 1, 2); 0, 1 and 2 for the point and line types 5, 3 and 4.
uint32_t PrimitiveKindOfGeometryType(uint32_t geometryType);
inline constexpr uint32_t kPrimitiveTriangleList = 4, kPrimitiveTriangleStrip = 8, kPrimitiveTriangleFan = 16;

// What a material is told when it creates a chunk.
struct StandardChunkHint {
  StandardChunkHint(uint32_t kindValue = 2, uint32_t extraValue = 0) : kind(kindValue), extra(extraValue) {}
  uint32_t kind;
  uint32_t extra;
  bool softwareLighting = false;
  uint32_t vertexBufferMode = 2;
  uint32_t indexBufferMode = 2;
  uint32_t textureSets = 1;
  float creationValue = 0.0f;
  const ResourceDatabase* database = nullptr;
  bool skinned = false;
  uint32_t skinningMode = 0;  // 4: hardware skinning
  uint32_t boneLimit = 0;
  uint32_t weightsPerVertex = 0;
  bool floatWeights = false;
  bool softwareSkinning = false;
  // What the program's materials read: whether the hint is valid and its
  // option byte (bit 0: template choice, bit 1: shared vertex data, bit 2:
  // instanced data).
  bool valid = false;
  uint8_t options = 0;
};

// One neighbour record per face.
struct FaceNeighbors {
  uint32_t neighbour[3];
};

class GeometryChunk {
public:
  // Chunk flag bits.
  static constexpr uint32_t kFlagNoStaticIndexBuffer = 1u << 8;
  static constexpr uint32_t kFlagNoStaticVertexBuffer = 1u << 16;

  GeometryChunk(const VertexFormat& format, uint32_t vertices, uint32_t triangles, uint32_t indices,
                uint32_t faces, uint32_t geometryType, uint32_t flags = 0);
  virtual ~GeometryChunk() = default;
  GeometryChunk& operator=(const GeometryChunk&) = delete;

  uint32_t GetNumVertices() const { return m_vertices; }
  uint32_t GetMaxVertices() const { return m_maxVertices; }
  uint32_t GetNumTriangles() const { return m_triangles; }
  uint32_t GetNumIndices() const { return m_indices; }
  uint32_t GetMaxIndices() const { return m_maxIndices; }
  uint32_t GetNumFaces() const { return m_faces; }
  uint32_t GetGeometryType() const { return m_geometryType; }
  uint32_t GetFlags() const { return m_flags; }
  void SetFlags(uint32_t flags) { m_flags = flags; }
  const VertexFormat& GetFormat() const { return m_format; }
  virtual uint32_t GetVertexSize() const { return m_format.vertexSize; }

  // Element accessor: stride and first byte of an element.
  virtual ElementArray GetElement(int element);
  ElementArray GetElement(int element) const { return const_cast<GeometryChunk*>(this)->GetElement(element); }
  uint8_t* GetVertexArray() { return m_vertexBlock ? m_vertexBlock->data() : nullptr; }
  // Null when the chunk holds no indices (or no faces).
  uint16_t* GetIndexArray();
  const uint16_t* GetIndexArray() const { return const_cast<GeometryChunk*>(this)->GetIndexArray(); }
  float* GetFaceNormalArray();
  const float* GetFaceNormalArray() const { return const_cast<GeometryChunk*>(this)->GetFaceNormalArray(); }
  void SetFaceNeighborArray(std::vector<FaceNeighbors> neighbours) { m_neighbours = std::move(neighbours); }
  const std::vector<FaceNeighbors>& GetFaceNeighbors() const { return m_neighbours; }
  uint32_t GetNumFaceNeighbors() const { return uint32_t(m_neighbours.size()); }

  // The influence palette: a chunk-local matrix number per influence key,
  // or -1 when the palette is full.
  void SetPaletteLimit(uint32_t limit) { m_paletteLimit = limit; }
  int AddInfluenceMatrix(const void* key);
  void AssignInfluenceMatrix(int index, const float* matrix);
  void ResetMatrixArray() { m_palette.clear(); }
  uint32_t GetNumInfluenceMatrices() const { return uint32_t(m_palette.size()); }
  const float* GetInfluenceMatrix(int index) const;
  // The key a palette entry was added for; null past the palette.
  const void* GetInfluenceKey(int index) const;
  // Palette entries that may still be added.
  uint32_t GetFreeInfluenceMatrices() const {
    return m_palette.size() < m_paletteLimit ? m_paletteLimit - uint32_t(m_palette.size()) : 0;
  }

  // The object a chunk was handed to (a chunk with an owner is not free to
  // be added to another mesh); null when none.
  const void* GetOwner() const { return m_owner; }
  void SetOwner(const void* owner) { m_owner = owner; }

  // Named float properties of a chunk ("RustAge"). Add is true when the
  // property was new; Get is false when the chunk lacks it.
  [[nodiscard]] bool AddChunkProperty(const PString& name);
  [[nodiscard]] bool SetChunkProperty(const PString& name, float value);
  [[nodiscard]] bool GetChunkProperty(const PString& name, float& value) const;

  // How the engine streams the chunk's data; kept for checks.
  struct DataMode {
    bool set = false;
    int a = 0, b = 0, c = 0;
  };
  void SetVertexDataDynamic(int a, int b, int c) { m_vertexDynamic = {true, a, b, c}; }
  void SetVertexDataShared(int a, int b, int c) { m_vertexShared = {true, a, b, c}; }
  void SetIndexDataDynamic() { m_indexDynamic = true; }
  const DataMode& VertexDataDynamic() const { return m_vertexDynamic; }
  const DataMode& VertexDataShared() const { return m_vertexShared; }
  [[nodiscard]] bool IndexDataDynamic() const { return m_indexDynamic; }
  void SetVertexType(uint32_t type) { m_vertexType = type; }

  float GetOpacity() const { return m_opacity; }
  void SetOpacity(float opacity) { m_opacity = opacity; }
  [[nodiscard]] bool PrepareForFrame() { return true; }

  // A new empty chunk of the same format and flags with the given counts.
  virtual std::unique_ptr<GeometryChunk> CreateInstance(uint32_t vertices, uint32_t triangles,
                                                        uint32_t indices, uint32_t faces) const;
  // A copy that shares the vertex, index and face blocks.
  virtual std::unique_ptr<GeometryChunk> Clone() const;
  [[nodiscard]] bool SharesVertexBlockWith(const GeometryChunk& other) const {
    return m_vertexBlock == other.m_vertexBlock;
  }

  // Makes the vertex (index) block this chunk's own; a static buffer is
  // rebuilt from it.
  virtual void DuplicateVertexArray(Display* display);
  void DuplicateIndexArray(Display* display);
  // Keeps the first min(old, m) vertices; added ones are zero.
  virtual void ResizeVertexArray(Display* display, uint32_t vertices);
  // Appends the other chunk's vertices (by element; zero where it lacks
  // one), indices (moved by this chunk's vertex count) and faces. False when
  // the result could not be indexed by u16 indices.
  [[nodiscard]] virtual bool AppendChunk(const GeometryChunk& other);

  uint32_t GetVertexType() const { return m_vertexType; }
  virtual uint32_t AssignVertexType(Display& display);
  // Makes the static buffers (unless the flags forbid them), uploading at once
  // with loadNow. False for any failure.
  [[nodiscard]] bool InitializeBuffers(Display& display, bool loadNow);
  // Uploads into the existing buffers; false when one is missing or fails.
  [[nodiscard]] bool LoadBuffers(Display& display);
  const DisplayBuffer* GetStaticVertexBuffer() const { return m_staticVertexBuffer.get(); }
  const DisplayBuffer* GetStaticIndexBuffer() const { return m_staticIndexBuffer.get(); }

protected:
  GeometryChunk(const GeometryChunk& other) = default;
  void RebuildVertexBuffer(Display* display);

  VertexFormat m_format;
  uint32_t m_vertices, m_maxVertices, m_triangles, m_indices, m_maxIndices, m_faces;
  uint32_t m_geometryType, m_flags;
  uint32_t m_vertexType = 0;
  float m_opacity = 1.0f;
  const void* m_owner = nullptr;
  std::shared_ptr<std::vector<uint8_t>> m_vertexBlock;
  std::shared_ptr<std::vector<uint16_t>> m_indexBlock;
  std::shared_ptr<std::vector<float>> m_faceNormals;
  std::vector<FaceNeighbors> m_neighbours;
  struct PaletteEntry {
    const void* key;
    const float* matrix;
  };
  std::vector<PaletteEntry> m_palette;
  uint32_t m_paletteLimit = 85;  // 3 * 84 is the largest index byte below the 254 marker
  std::shared_ptr<DisplayBuffer> m_staticVertexBuffer, m_staticIndexBuffer;
  std::vector<std::pair<PString, float>> m_properties;
  DataMode m_vertexDynamic, m_vertexShared;
  bool m_indexDynamic = false;
};

using GeometryChunkSingleStream = GeometryChunk;

// Packed vertex formats of the program's materials.
struct PackedVertexPNT {
  float position[3];
  float normal[3];
  float uv[2];
  static constexpr uint32_t kTypeId = 18;
  static VertexFormat Format();
};
struct PackedVertexPCT {
  float position[3];
  uint32_t colour;
  float uv[2];
  static constexpr uint32_t kTypeId = 19;
  static VertexFormat Format();
};

// Position, normal, texture and a tangent (the bump materials' vertex).
struct PackedVertexPNTA {
  float position[3];
  float normal[3];
  float uv[2];
  float tangent[3];
  static constexpr uint32_t kTypeId = 20;
  static VertexFormat Format();
};

template <class Vertex>
class GeometryChunkTemplate : public GeometryChunk {
public:
  GeometryChunkTemplate(uint32_t vertices, uint32_t triangles, uint32_t indices, uint32_t faces,
                        uint32_t geometryType, uint32_t flags = 0)
      : GeometryChunk(Vertex::Format(), vertices, triangles, indices, faces, geometryType, flags) {}
  std::unique_ptr<GeometryChunk> CreateInstance(uint32_t v, uint32_t t, uint32_t i,
                                                uint32_t f) const override {
    return std::make_unique<GeometryChunkTemplate>(v, t, i, f, m_geometryType, m_flags);
  }
  std::unique_ptr<GeometryChunk> Clone() const override {
    return std::unique_ptr<GeometryChunk>(new GeometryChunkTemplate(*this));
  }

protected:
  GeometryChunkTemplate(const GeometryChunkTemplate&) = default;
};

// A format without a normal item, with the normals in a block of their own.
template <class Vertex>
class GeometryChunkNmlTemplate : public GeometryChunkTemplate<Vertex> {
public:
  GeometryChunkNmlTemplate(uint32_t vertices, uint32_t triangles, uint32_t indices, uint32_t faces,
                           uint32_t geometryType, uint32_t flags = 0)
      : GeometryChunkTemplate<Vertex>(vertices, triangles, indices, faces, geometryType, flags),
        m_normals(std::make_shared<std::vector<float>>(size_t(vertices) * 3)) {}
  ElementArray GetElement(int element) override {
    if (element == kElementNormal) return {12, reinterpret_cast<uint8_t*>(m_normals->data())};
    return GeometryChunkTemplate<Vertex>::GetElement(element);
  }
  std::unique_ptr<GeometryChunk> CreateInstance(uint32_t v, uint32_t t, uint32_t i,
                                                uint32_t f) const override {
    return std::make_unique<GeometryChunkNmlTemplate>(v, t, i, f, this->m_geometryType, this->m_flags);
  }
  std::unique_ptr<GeometryChunk> Clone() const override {
    return std::unique_ptr<GeometryChunk>(new GeometryChunkNmlTemplate(*this));
  }
  void DuplicateVertexArray(Display* display) override {
    m_normals = std::make_shared<std::vector<float>>(*m_normals);
    GeometryChunkTemplate<Vertex>::DuplicateVertexArray(display);
  }
  void ResizeVertexArray(Display* display, uint32_t vertices) override {
    auto normals = std::make_shared<std::vector<float>>(size_t(vertices) * 3);
    std::copy_n(m_normals->begin(), std::min(m_normals->size(), normals->size()), normals->begin());
    m_normals = std::move(normals);
    GeometryChunkTemplate<Vertex>::ResizeVertexArray(display, vertices);
  }
  [[nodiscard]] bool AppendChunk(const GeometryChunk& other) override;

protected:
  GeometryChunkNmlTemplate(const GeometryChunkNmlTemplate&) = default;

private:
  std::shared_ptr<std::vector<float>> m_normals;
};

using GeometryChunkPNT = GeometryChunkTemplate<PackedVertexPNT>;
using GeometryChunkPCT = GeometryChunkTemplate<PackedVertexPCT>;
using GeometryChunkNmlPCT = GeometryChunkNmlTemplate<PackedVertexPCT>;
using GeometryChunkPNTA = GeometryChunkTemplate<PackedVertexPNTA>;

template <class Vertex>
bool GeometryChunkNmlTemplate<Vertex>::AppendChunk(const GeometryChunk& other) {
  const uint32_t oldVertices = this->m_vertices;
  if (!GeometryChunkTemplate<Vertex>::AppendChunk(other)) return false;
  m_normals->resize(size_t(this->m_maxVertices) * 3);
  // The other chunk may have no normals: those vertices get zero normals.
  const ElementArray source = other.GetElement(kElementNormal);
  for (uint32_t v = 0; v < other.GetNumVertices(); ++v) {
    float* out = m_normals->data() + size_t(oldVertices + v) * 3;
    if (source) {
      std::memcpy(out, source.data + size_t(v) * source.stride, 12);
    } else {
      out[0] = out[1] = out[2] = 0.0f;
    }
  }
  return true;
}

}  // namespace Kiv
