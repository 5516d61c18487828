#pragma once
// Writes ".im" and ".pm" files from a plain description, for tests, fuzz
// seeds, the benchmark and the sample meshes. Every field can be set, so
// tests can also write files that are wrong on purpose.
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "kiv/Bytes.h"
#include "kiv/render/MeshFile.h"

namespace MeshFixture {

struct Material {
  uint32_t version = 103;
  std::string name = "body.m.onetex";
  std::vector<std::pair<std::string, std::string>> properties;
  uint32_t flag = 0;
  float factor = 1.0f;
  float colours[4][3] = {{0.5f, 0.5f, 0.5f}, {1, 1, 1}, {0.2f, 0.2f, 0.2f}, {0, 0, 0}};
  float power = 20.0f;
  struct Texture {
    uint32_t slot;
    std::string name;
    float value;
  };
  std::vector<Texture> textures;
};

struct Geometry {
  uint32_t version = 201;
  uint32_t primitive = 4;
  uint32_t streamFlags = 0;
  float creationValue = 0.0f;
  uint32_t sets = 1;
  uint32_t weights = 0;
  std::string name;
  std::vector<float> positions;  // 3 per vertex
  std::vector<float> uvs;        // 2 per vertex per set, set-major within a vertex
  std::vector<uint16_t> indices;
  std::vector<float> normals;      // 3 per vertex; zero when left empty
  std::vector<uint32_t> colours;   // versions 104-199; white when left empty
  std::vector<float> faceNormals;  // 3 per face; derived count from indices / 3 when left empty
  std::vector<float> extra;        // version 201 with stream flag 1
  // Counts written instead of the real ones (for broken files).
  std::optional<uint32_t> vertexCount, indexCount, faceCount, triangleCount, setCount;
  std::vector<uint8_t> slack;  // bytes after the blocks inside the chunk
};

struct Chunk {
  Material material;
  Geometry geometry;
  std::optional<std::vector<uint32_t>> neighbours;  // 3 per face
};

struct Influence {
  std::string name, parent;
  float position[3] = {0, 0, 0};
  float rotation[9] = {1, 0, 0, 0, 1, 0, 0, 0, 1};
  struct Vertex {
    uint32_t index;
    float weight;
    float x = 0, y = 0, z = 0;  // the vertex in the bone's space
  };
  struct Reference {
    uint32_t chunk;
    std::vector<Vertex> vertices;
  };
  std::vector<Reference> references;
};

struct Bone {
  explicit Bone(std::string boneName = {}) : name(std::move(boneName)) {}
  std::string name;
  float position[3] = {0, 0, 0};
  float rotation[4] = {0, 0, 0, 1};
  std::vector<Bone> children;
  uint32_t version = 100;
};

struct Attachment {
  std::string name;
  float rotation[9] = {1, 0, 0, 0, 1, 0, 0, 0, 1};
  float position[3] = {0, 0, 0};
};

struct Progressive {
  uint32_t version = 101;
  std::vector<uint32_t> words;
  std::vector<std::array<uint32_t, 4>> records;
  std::vector<std::array<uint32_t, 2>> runs;
  std::vector<uint32_t> groups;
};

struct Mesh {
  std::string magic = "KVXB";
  std::string form = "IDXM";
  uint32_t infoVersion = 103;
  float position[3] = {0, 0, 0};
  float orientation[4] = {0, 0, 0, 1};
  uint32_t maxInfluences = 0, maxBones = 0;
  std::optional<uint32_t> chunkCount;
  std::vector<Chunk> chunks;
  std::optional<std::vector<Influence>> influences;
  uint32_t influenceVersion = 100;
  std::optional<Bone> skeleton;
  std::optional<std::vector<Attachment>> attachments;
  uint32_t attachmentVersion = 100;
  std::optional<Progressive> progressive;
  std::vector<uint8_t> trailing;  // inside the container, after the last chunk
};

inline size_t Begin(std::vector<uint8_t>& out, const char* tag, uint32_t version) {
  return Kiv::MeshFileSupport::BeginChunk(out, std::string_view(tag, 4), version);
}
inline void End(std::vector<uint8_t>& out, size_t mark) { Kiv::MeshFileSupport::EndChunk(out, mark); }
inline void Floats(std::vector<uint8_t>& out, const float* values, size_t n) {
  for (size_t i = 0; i < n; ++i) Kiv::AppendLEFloat(out, values[i]);
}
inline void String(std::vector<uint8_t>& out, const std::string& text) {
  Kiv::MeshFileSupport::WritePaddedString(out, text);
}

inline void WriteBone(std::vector<uint8_t>& out, const Bone& bone) {
  const size_t mark = Begin(out, "BONE", bone.version);
  String(out, bone.name);
  Floats(out, bone.position, 3);
  Floats(out, bone.rotation, 4);
  Kiv::AppendLE32(out, uint32_t(bone.children.size()));
  for (const Bone& child : bone.children) WriteBone(out, child);
  End(out, mark);
}

inline void WriteGeometry(std::vector<uint8_t>& out, const Geometry& g) {
  const uint32_t v = uint32_t(g.positions.size() / 3);
  const uint32_t i = uint32_t(g.indices.size());
  const uint32_t f = g.faceNormals.empty() ? i / 3 : uint32_t(g.faceNormals.size() / 3);
  const size_t mark = Begin(out, "GEOM", g.version);
  Kiv::AppendLE32(out, g.primitive);
  if (g.version == 201) Kiv::AppendLE32(out, g.streamFlags);
  Kiv::AppendLEFloat(out, g.creationValue);
  Kiv::AppendLE32(out, g.vertexCount.value_or(v));
  Kiv::AppendLE32(out, g.triangleCount.value_or(i / 3));
  Kiv::AppendLE32(out, g.indexCount.value_or(i));
  Kiv::AppendLE32(out, g.faceCount.value_or(f));
  const uint32_t sets = g.version >= 103 && g.version < 200 ? g.sets : 1;
  if (g.version >= 103 && g.version < 200) Kiv::AppendLE32(out, g.setCount.value_or(g.sets));
  if (g.version >= 102) Kiv::AppendLE32(out, g.weights);
  if (g.version >= 200) String(out, g.name);
  for (uint32_t k = 0; k < v; ++k) {
    Floats(out, &g.positions[3 * k], 3);
    for (uint32_t s = 0; s < sets; ++s) {
      const size_t at = (size_t(k) * sets + s) * 2;
      const float uv[2] = {at + 1 < g.uvs.size() ? g.uvs[at] : 0.0f,
                           at + 1 < g.uvs.size() ? g.uvs[at + 1] : 0.0f};
      Floats(out, uv, 2);
    }
  }
  for (uint16_t index : g.indices) Kiv::AppendLE16(out, index);
  for (uint32_t k = 0; k < v; ++k) {
    const float zero[3] = {0, 0, 1};
    Floats(out, g.normals.size() >= 3 * size_t(v) ? &g.normals[3 * k] : zero, 3);
  }
  if (g.version >= 104 && g.version < 200) {
    for (uint32_t k = 0; k < v; ++k) Kiv::AppendLE32(out, k < g.colours.size() ? g.colours[k] : 0xFFFFFFFFu);
  }
  for (uint32_t k = 0; k < f; ++k) {
    const float up[3] = {0, 0, 1};
    Floats(out, g.faceNormals.empty() ? up : &g.faceNormals[3 * k], 3);
  }
  if (g.version == 201 && (g.streamFlags & 1)) {
    for (uint32_t k = 0; k < v; ++k) {
      const float zero[3] = {0, 0, 0};
      Floats(out, g.extra.size() >= 3 * size_t(v) ? &g.extra[3 * k] : zero, 3);
    }
  }
  out.insert(out.end(), g.slack.begin(), g.slack.end());
  End(out, mark);
}

inline std::vector<uint8_t> Write(const Mesh& mesh) {
  std::vector<uint8_t> out(mesh.magic.begin(), mesh.magic.end());
  const size_t container = Kiv::MeshFileSupport::MarkSizePos(out);
  out.insert(out.end(), mesh.form.begin(), mesh.form.end());
  size_t mark = Begin(out, "INFO", mesh.infoVersion);
  Floats(out, mesh.position, 3);
  Floats(out, mesh.orientation, 4);
  Kiv::AppendLE32(out, mesh.chunkCount.value_or(uint32_t(mesh.chunks.size())));
  if (mesh.infoVersion >= 102) {
    Kiv::AppendLE32(out, mesh.maxInfluences);
    Kiv::AppendLE32(out, mesh.maxBones);
  }
  if (mesh.infoVersion == 104) {
    const float unused[6] = {0, 0, 0, 0, 0, 0};
    Floats(out, unused, 6);
  }
  End(out, mark);
  for (const Chunk& chunk : mesh.chunks) {
    const size_t chunkMark = Begin(out, "CHNK", 100);
    Kiv::AppendLE32(out, 0);
    const Material& m = chunk.material;
    mark = Begin(out, "MATL", m.version);
    String(out, m.name);
    Kiv::AppendLE32(out, uint32_t(m.properties.size()));
    for (auto& [key, value] : m.properties) {
      String(out, key);
      String(out, value);
    }
    Kiv::AppendLE32(out, m.flag);
    Kiv::AppendLEFloat(out, m.factor);
    for (auto& colour : m.colours) Floats(out, colour, 3);
    Kiv::AppendLEFloat(out, m.power);
    Kiv::AppendLE32(out, uint32_t(m.textures.size()));
    for (auto& texture : m.textures) {
      Kiv::AppendLE32(out, texture.slot);
      String(out, texture.name);
      Kiv::AppendLEFloat(out, texture.value);
    }
    End(out, mark);
    WriteGeometry(out, chunk.geometry);
    if (chunk.neighbours) {
      mark = Begin(out, "NINF", 100);
      for (uint32_t n : *chunk.neighbours) Kiv::AppendLE32(out, n);
      End(out, mark);
    }
    End(out, chunkMark);
  }
  if (mesh.influences) {
    mark = Begin(out, "INFL", mesh.influenceVersion);
    Kiv::AppendLE32(out, uint32_t(mesh.influences->size()));
    for (const Influence& influence : *mesh.influences) {
      String(out, influence.name);
      String(out, influence.parent);
      Floats(out, influence.position, 3);
      Floats(out, influence.rotation, 9);
      Kiv::AppendLE32(out, uint32_t(influence.references.size()));
      for (auto& reference : influence.references) {
        Kiv::AppendLE32(out, reference.chunk);
        Kiv::AppendLE32(out, uint32_t(reference.vertices.size()));
        for (auto& vertex : reference.vertices) {
          Kiv::AppendLE32(out, vertex.index);
          const float values[4] = {vertex.weight, vertex.x, vertex.y, vertex.z};
          Floats(out, values, 4);
        }
      }
    }
    End(out, mark);
  }
  if (mesh.skeleton) {
    mark = Begin(out, "SKEL", 100);
    WriteBone(out, *mesh.skeleton);
    End(out, mark);
  }
  if (mesh.attachments) {
    mark = Begin(out, "ATCH", mesh.attachmentVersion);
    Kiv::AppendLE32(out, uint32_t(mesh.attachments->size()));
    for (const Attachment& a : *mesh.attachments) {
      String(out, a.name);
      Floats(out, a.rotation, 9);
      Floats(out, a.position, 3);
    }
    End(out, mark);
  }
  if (mesh.progressive) {
    const Progressive& p = *mesh.progressive;
    mark = Begin(out, "PMIN", p.version);
    for (size_t n : {p.words.size(), p.records.size(), p.runs.size(), p.groups.size()}) {
      Kiv::AppendLE32(out, uint32_t(n));
    }
    for (uint32_t w : p.words) Kiv::AppendLE32(out, w);
    for (auto& r : p.records) {
      for (uint32_t w : r) Kiv::AppendLE32(out, w);
    }
    for (auto& r : p.runs) {
      for (uint32_t w : r) Kiv::AppendLE32(out, w);
    }
    for (uint32_t w : p.groups) Kiv::AppendLE32(out, w);
    End(out, mark);
  }
  out.insert(out.end(), mesh.trailing.begin(), mesh.trailing.end());
  Kiv::MeshFileSupport::WriteSizeAtMark(out, container);
  return out;
}

// A quad of `size` x `size` units in the xy plane with UVs 0..1: four
// vertices, two triangles.
inline Chunk Quad(float size = 1.0f, std::string material = "body.m.onetex") {
  Chunk chunk;
  chunk.material.name = std::move(material);
  chunk.geometry.positions = {0, 0, 0, size, 0, 0, size, size, 0, 0, size, 0};
  chunk.geometry.uvs = {0, 0, 1, 0, 1, 1, 0, 1};
  chunk.geometry.indices = {0, 1, 2, 0, 2, 3};
  chunk.geometry.normals = {0, 0, 1, 0, 0, 1, 0, 0, 1, 0, 0, 1};
  return chunk;
}

// A bar along x of `segments` quads (two bones' worth of vertices).
inline Chunk Bar(int segments) {
  Chunk chunk;
  for (int s = 0; s <= segments; ++s) {
    const float x = float(s);
    for (float y : {0.0f, 1.0f}) {
      chunk.geometry.positions.insert(chunk.geometry.positions.end(), {x, y, 0});
      chunk.geometry.uvs.insert(chunk.geometry.uvs.end(), {x / float(segments), y});
    }
  }
  for (int s = 0; s < segments; ++s) {
    const uint16_t a = uint16_t(2 * s);
    chunk.geometry.indices.insert(chunk.geometry.indices.end(),
                                  {a, uint16_t(a + 2), uint16_t(a + 3), a, uint16_t(a + 3), uint16_t(a + 1)});
  }
  return chunk;
}

// A grid of n x n quads as one chunk (n + 1 squared vertices, at most 65536).
inline Chunk Grid(int n, float offset) {
  Chunk chunk;
  auto& g = chunk.geometry;
  g.positions.reserve(size_t(n + 1) * (n + 1) * 3);
  for (int y = 0; y <= n; ++y) {
    for (int x = 0; x <= n; ++x) {
      g.positions.insert(g.positions.end(), {float(x) + offset, float(y), 0});
      g.uvs.insert(g.uvs.end(), {float(x) / float(n), float(y) / float(n)});
      g.normals.insert(g.normals.end(), {0, 0, 1});
    }
  }
  for (int y = 0; y < n; ++y) {
    for (int x = 0; x < n; ++x) {
      const uint16_t a = uint16_t(y * (n + 1) + x), b = uint16_t(a + 1), c = uint16_t(a + n + 1),
                     d = uint16_t(c + 1);
      g.indices.insert(g.indices.end(), {a, b, d, a, d, c});
    }
  }
  return chunk;
}

}  // namespace MeshFixture
