#include "kiv/render/Geometry.h"

#include <algorithm>
#include <cstring>

#include "kiv/render/Display.h"

namespace Kiv {

VertexFormat::VertexFormat() {
  std::fill(std::begin(offset), std::end(offset), -1);
  std::fill(std::begin(size), std::end(size), uint8_t(0));
}

VertexFormat& VertexFormat::Add(int element, uint32_t bytes) {
  if (element >= 0 && element < kElementCount && offset[element] < 0) {
    offset[element] = int32_t(vertexSize);
    size[element] = uint8_t(bytes);
    vertexSize += bytes;
  }
  return *this;
}

VertexFormat PackedVertexPNT::Format() {
  VertexFormat format;
  format.typeId = kTypeId;
  format.Add(kElementPosition, 12).Add(kElementNormal, 12).Add(kElementTexture0, 8);
  return format;
}

VertexFormat PackedVertexPCT::Format() {
  VertexFormat format;
  format.typeId = kTypeId;
  format.Add(kElementPosition, 12).Add(kElementColour, 4).Add(kElementTexture0, 8);
  return format;
}

uint32_t PrimitiveKindOfGeometryType(uint32_t geometryType) {
  switch (geometryType) {
    case 0: return kPrimitiveTriangleList;
    case 1: return kPrimitiveTriangleStrip;
    case 2: return kPrimitiveTriangleFan;
    case 3: return 1;
    case 4: return 2;
    default: return 0;
  }
}

VertexFormat PackedVertexPNTA::Format() {
  VertexFormat format;
  format.typeId = kTypeId;
  format.Add(kElementPosition, 12).Add(kElementNormal, 12).Add(kElementTexture0, 8).Add(kElementVector3, 12);
  return format;
}

bool GeometryChunk::AddChunkProperty(const PString& name) {
  for (const auto& property : m_properties) {
    if (property.first == name) return false;
  }
  m_properties.emplace_back(name, 0.0f);
  return true;
}

bool GeometryChunk::SetChunkProperty(const PString& name, float value) {
  for (auto& property : m_properties) {
    if (property.first == name) {
      property.second = value;
      return true;
    }
  }
  return false;
}

bool GeometryChunk::GetChunkProperty(const PString& name, float& value) const {
  for (const auto& property : m_properties) {
    if (property.first == name) {
      value = property.second;
      return true;
    }
  }
  return false;
}

GeometryChunk::GeometryChunk(const VertexFormat& format, uint32_t vertices, uint32_t triangles,
                             uint32_t indices, uint32_t faces, uint32_t geometryType, uint32_t flags)
    : m_format(format),
      m_vertices(vertices),
      m_maxVertices(vertices),
      m_triangles(triangles),
      m_indices(indices),
      m_maxIndices(indices),
      m_faces(faces),
      m_geometryType(geometryType),
      m_flags(flags),
      m_vertexBlock(std::make_shared<std::vector<uint8_t>>(size_t(vertices) * format.vertexSize)),
      m_indexBlock(std::make_shared<std::vector<uint16_t>>(indices)),
      m_faceNormals(std::make_shared<std::vector<float>>(size_t(faces) * 3)) {}

ElementArray GeometryChunk::GetElement(int element) {
  if (!m_format.Has(element) || !m_vertexBlock || m_vertexBlock->empty()) return {};
  return {m_format.vertexSize, m_vertexBlock->data() + m_format.offset[element]};
}

uint16_t* GeometryChunk::GetIndexArray() { return m_indexBlock->empty() ? nullptr : m_indexBlock->data(); }

float* GeometryChunk::GetFaceNormalArray() {
  return m_faceNormals->empty() ? nullptr : m_faceNormals->data();
}

int GeometryChunk::AddInfluenceMatrix(const void* key) {
  for (size_t k = 0; k < m_palette.size(); ++k) {
    if (m_palette[k].key == key) return int(k);
  }
  if (m_palette.size() >= m_paletteLimit) return -1;
  m_palette.push_back({key, nullptr});
  return int(m_palette.size() - 1);
}

void GeometryChunk::AssignInfluenceMatrix(int index, const float* matrix) {
  if (index >= 0 && size_t(index) < m_palette.size()) m_palette[index].matrix = matrix;
}

const float* GeometryChunk::GetInfluenceMatrix(int index) const {
  return index >= 0 && size_t(index) < m_palette.size() ? m_palette[index].matrix : nullptr;
}

const void* GeometryChunk::GetInfluenceKey(int index) const {
  return index >= 0 && size_t(index) < m_palette.size() ? m_palette[index].key : nullptr;
}

std::unique_ptr<GeometryChunk> GeometryChunk::CreateInstance(uint32_t vertices, uint32_t triangles,
                                                             uint32_t indices, uint32_t faces) const {
  return std::make_unique<GeometryChunk>(m_format, vertices, triangles, indices, faces, m_geometryType,
                                         m_flags);
}

std::unique_ptr<GeometryChunk> GeometryChunk::Clone() const {
  auto copy = std::unique_ptr<GeometryChunk>(new GeometryChunk(*this));
  // A copy makes its own display buffers when it needs them.
  copy->m_staticVertexBuffer.reset();
  copy->m_staticIndexBuffer.reset();
  copy->m_owner = nullptr;  // a copy is handed to no one yet
  return copy;
}

void GeometryChunk::RebuildVertexBuffer(Display* display) {
  if (!m_staticVertexBuffer) return;
  m_staticVertexBuffer.reset();
  // A chunk that cannot be prepared is not drawn; nothing draws here.
  if (display) (void)InitializeBuffers(*display, false);
}

void GeometryChunk::DuplicateVertexArray(Display* display) {
  m_vertexBlock = std::make_shared<std::vector<uint8_t>>(*m_vertexBlock);
  RebuildVertexBuffer(display);
}

void GeometryChunk::DuplicateIndexArray(Display* display) {
  m_indexBlock = std::make_shared<std::vector<uint16_t>>(*m_indexBlock);
  if (m_staticIndexBuffer) {
    m_staticIndexBuffer.reset();
    // A chunk that cannot be prepared is not drawn; nothing draws here.
    if (display) (void)InitializeBuffers(*display, false);
  }
}

void GeometryChunk::ResizeVertexArray(Display* display, uint32_t vertices) {
  auto block = std::make_shared<std::vector<uint8_t>>(size_t(vertices) * m_format.vertexSize);
  std::copy_n(m_vertexBlock->begin(), std::min(m_vertexBlock->size(), block->size()), block->begin());
  m_vertexBlock = std::move(block);
  m_vertices = m_maxVertices = vertices;
  RebuildVertexBuffer(display);
}

bool GeometryChunk::AppendChunk(const GeometryChunk& other) {
  const uint64_t vertices = uint64_t(m_vertices) + other.GetNumVertices();
  if (vertices > 65536) return false;
  const uint32_t base = m_vertices;
  auto block = std::make_shared<std::vector<uint8_t>>(size_t(vertices) * m_format.vertexSize);
  std::copy_n(m_vertexBlock->begin(), std::min(m_vertexBlock->size(), size_t(base) * m_format.vertexSize),
              block->begin());
  for (int e = 0; e < kElementCount; ++e) {
    if (!m_format.Has(e)) continue;
    const ElementArray source = other.GetElement(e);
    if (!source) continue;
    const uint32_t bytes = std::min<uint32_t>(
        m_format.size[e], other.GetFormat().Has(e) ? other.GetFormat().size[e] : m_format.size[e]);
    for (uint32_t v = 0; v < other.GetNumVertices(); ++v) {
      std::memcpy(block->data() + size_t(base + v) * m_format.vertexSize + m_format.offset[e],
                  source.data + size_t(v) * source.stride, bytes);
    }
  }
  m_vertexBlock = std::move(block);
  auto indices = std::make_shared<std::vector<uint16_t>>(*m_indexBlock);
  indices->resize(m_indices);
  const uint16_t* otherIndices = other.GetIndexArray();
  for (uint32_t i = 0; otherIndices && i < other.GetNumIndices(); ++i) {
    indices->push_back(uint16_t(otherIndices[i] + base));
  }
  m_indexBlock = std::move(indices);
  auto faceNormals = std::make_shared<std::vector<float>>(*m_faceNormals);
  faceNormals->resize(size_t(m_faces) * 3);
  const float* otherFaces = other.GetFaceNormalArray();
  if (otherFaces)
    faceNormals->insert(faceNormals->end(), otherFaces, otherFaces + size_t(other.GetNumFaces()) * 3);
  m_faceNormals = std::move(faceNormals);
  m_vertices = m_maxVertices = uint32_t(vertices);
  m_indices = m_maxIndices = uint32_t(m_indexBlock->size());
  m_faces = uint32_t(m_faceNormals->size() / 3);
  m_triangles += other.GetNumTriangles();
  m_staticVertexBuffer.reset();
  m_staticIndexBuffer.reset();
  return true;
}

uint32_t GeometryChunk::AssignVertexType(Display& display) {
  (void)display;
  if (m_vertexType == 0) m_vertexType = m_format.typeId;
  return m_vertexType;
}

bool GeometryChunk::InitializeBuffers(Display& display, bool loadNow) {
  if (!(m_flags & kFlagNoStaticVertexBuffer) && !m_staticVertexBuffer) {
    const uint32_t type = AssignVertexType(display);
    auto buffer = type != 0 ? display.CreateVertexBuffer(m_maxVertices, type) : nullptr;
    if (!buffer) return false;
    if (loadNow && !display.Upload(*buffer, GetVertexArray(), size_t(m_vertices) * m_format.vertexSize)) {
      return false;
    }
    m_staticVertexBuffer = std::move(buffer);
  }
  if (!(m_flags & kFlagNoStaticIndexBuffer) && !m_staticIndexBuffer) {
    auto buffer = display.CreateIndexBuffer(m_maxIndices);
    if (!buffer) return false;
    // An index upload that fails is a failure like any other.
    if (loadNow && !display.Upload(*buffer, GetIndexArray(), size_t(m_indices) * 2)) return false;
    m_staticIndexBuffer = std::move(buffer);
  }
  return true;
}

bool GeometryChunk::LoadBuffers(Display& display) {
  if (!(m_flags & kFlagNoStaticVertexBuffer)) {
    if (!m_staticVertexBuffer ||
        !display.Upload(*m_staticVertexBuffer, GetVertexArray(), size_t(m_vertices) * m_format.vertexSize)) {
      return false;
    }
  }
  if (!(m_flags & kFlagNoStaticIndexBuffer)) {
    if (!m_staticIndexBuffer ||
        !display.Upload(*m_staticIndexBuffer, GetIndexArray(), size_t(m_indices) * 2)) {
      return false;
    }
  }
  return true;
}

}  // namespace Kiv
