#pragma once
// The text form of an indexed mesh (".imtxt"), read from a parsed
// configuration text (kiv/render/ConfigParser.h). Its syntax is ours:
//
//   version 1.0
//   position 0,0,0
//   orientation 0,0,0,1            # x, y, z, w
//   influenceLimit 2               # influences per vertex and bones per
//   boneLimit 2                    # chunk the mesh needs at most
//   chunk hull {
//     material body.m.onetex {
//       flag 1; factor 1; power 0.16   # power: the display power / 128
//       ambient 0.5,0.5,0.5; diffuse 1,1,1; specular 0,0,0; emissive 0,0,0
//       texture skin.texture { slot 0; value 1 }
//       property shine { value 2 }
//     }
//     sets 1                       # texture sets per vertex (1 to 8)
//     weights 0                    # influences per vertex of a skinned chunk
//     v 0,0,0,0,0,0,0,1            # position, a u,v per set, normal
//     f 0,1,2                      # a triangle's corners
//   }
//   bone root {
//     parent ""; position 0,0,0; rotation 1,0,0,0,1,0,0,0,1
//     influence 0,3,0.5            # chunk, vertex, weight
//   }
//   attachment a.lamp { position 0,1,0; rotation 1,0,0,0,1,0,0,0,1 }
//
// Lists of numbers are written with commas (spaces after them only inside a
// quoted value). Every count is bounded: at most 65536 vertices per chunk
// and corner indices below the chunk's vertex count.
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "kiv/render/ConfigParser.h"
#include "kiv/render/Scene.h"

namespace Kiv {

class GeometryConfigData {
public:
  struct Texture {
    uint32_t slot = 0;
    std::string name;
    float value = 1.0f;
  };
  struct MaterialSource {
    std::string name;
    bool flag = false;
    float factor = 1.0f;
    float colours[4][3] = {{0, 0, 0}, {1, 1, 1}, {0, 0, 0}, {0, 0, 0}};
    float power = 0.0f;
    std::vector<Texture> textures;
    std::vector<std::pair<std::string, std::string>> properties;
  };
  struct Chunk {
    std::string name;
    MaterialSource material;
    uint32_t sets = 1;
    uint32_t weights = 0;
    std::vector<float> positions, uvs, normals;  // 3, 2 x sets and 3 per vertex
    std::vector<uint16_t> indices;
    uint32_t VertexCount() const { return uint32_t(positions.size() / 3); }
  };
  struct Attachment {
    std::string name;
    float position[3] = {0, 0, 0};
    float rotation[9] = {1, 0, 0, 0, 1, 0, 0, 0, 1};
  };
  static constexpr uint32_t kMaxVertices = 65536;
  static constexpr uint32_t kMaxSets = 8;

  // Reads the mesh from a parsed text; false (with Error()) when it breaks a rule.
  [[nodiscard]] bool LoadConfigData(const ConfigData& config);
  const std::string& Error() const { return m_error; }
  // The largest vertex count of a chunk (0 without vertices).
  uint32_t GetMaxVertices() const;

  float position[3] = {0, 0, 0};
  float orientation[4] = {0, 0, 0, 1};
  uint32_t influenceLimit = 0, boneLimit = 0;
  std::vector<Chunk> chunks;
  std::vector<InfluenceDefinition> influences;
  std::vector<Attachment> attachments;

private:
  [[nodiscard]] bool Fail(const ConfigEntry& entry, const std::string& why);
  [[nodiscard]] bool ReadChunk(const ConfigEntry& entry, Chunk& chunk);
  [[nodiscard]] bool ReadMaterial(const ConfigEntry& entry, MaterialSource& material);
  [[nodiscard]] bool ReadBone(const ConfigEntry& entry, InfluenceDefinition& bone);
  // The entry's "position" and "rotation" (9 numbers, rows).
  [[nodiscard]] bool ReadFrame(const ConfigEntry& entry, float position[3], float rotation[9]);
  std::string m_error;
};

// Numbers separated by commas, exactly count of them (any count when count
// is 0); false for anything else.
[[nodiscard]] bool ParseConfigFloats(std::string_view text, std::vector<float>& out, size_t count = 0);

}  // namespace Kiv
