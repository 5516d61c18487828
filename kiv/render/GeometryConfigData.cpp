#include "kiv/render/GeometryConfigData.h"

#include <algorithm>
#include <cmath>

namespace Kiv {

bool ParseConfigFloats(std::string_view text, std::vector<float>& out, size_t count) {
  out.clear();
  while (true) {
    const size_t comma = text.find(',');
    std::string_view part = text.substr(0, comma);
    while (!part.empty() && part.front() == ' ') part.remove_prefix(1);
    while (!part.empty() && part.back() == ' ') part.remove_suffix(1);
    float value = 0.0f;
    if (!ParseConfigFloat(part, value)) return false;
    out.push_back(value);
    if (comma == std::string_view::npos) break;
    text.remove_prefix(comma + 1);
  }
  return count == 0 || out.size() == count;
}

bool GeometryConfigData::Fail(const ConfigEntry& entry, const std::string& why) {
  m_error = "line " + std::to_string(entry.line) + ": " + why;
  return false;
}

bool GeometryConfigData::ReadFrame(const ConfigEntry& entry, float position[3], float rotation[9]) {
  std::vector<float> values;
  if (!ParseConfigFloats(entry.GetString("position", "0,0,0"), values, 3))
    return Fail(entry, "a position needs 3 numbers");
  std::copy(values.begin(), values.end(), position);
  if (!ParseConfigFloats(entry.GetString("rotation", "1,0,0,0,1,0,0,0,1"), values, 9)) {
    return Fail(entry, "a rotation needs 9 numbers");
  }
  std::copy(values.begin(), values.end(), rotation);
  return true;
}

uint32_t GeometryConfigData::GetMaxVertices() const {
  uint32_t most = 0;
  for (const Chunk& chunk : chunks) most = std::max(most, chunk.VertexCount());
  return most;
}

bool GeometryConfigData::LoadConfigData(const ConfigData& config) {
  *this = GeometryConfigData();
  std::vector<float> values;
  for (const ConfigEntry& entry : config.Root().children) {
    const std::string& key = entry.key;
    if (key == "position" || key == "orientation") {
      const size_t n = key == "position" ? 3 : 4;
      if (!ParseConfigFloats(entry.value, values, n))
        return Fail(entry, "\"" + key + "\" needs " + std::to_string(n) + " numbers");
      std::copy(values.begin(), values.end(), key == "position" ? position : orientation);
    } else if (key == "influenceLimit" || key == "boneLimit") {
      if (!ParseConfigFloats(entry.value, values, 1) || values[0] < 0 || values[0] > 1e6f) {
        return Fail(entry, "\"" + key + "\" needs a count");
      }
      (key == "influenceLimit" ? influenceLimit : boneLimit) = uint32_t(values[0]);
    } else if (key == "chunk") {
      chunks.emplace_back();
      if (!ReadChunk(entry, chunks.back())) return false;
    } else if (key == "bone") {
      influences.emplace_back();
      if (!ReadBone(entry, influences.back())) return false;
    } else if (key == "attachment") {
      Attachment attachment;
      attachment.name = entry.value;
      if (!ReadFrame(entry, attachment.position, attachment.rotation)) return false;
      attachments.push_back(std::move(attachment));
    } else if (key != "version") {
      return Fail(entry, "\"" + key + "\" is not a key of a mesh");
    }
  }
  return true;
}

bool GeometryConfigData::ReadMaterial(const ConfigEntry& entry, MaterialSource& material) {
  material.name = entry.value;
  std::vector<float> values;
  static const char* const kColours[4] = {"ambient", "diffuse", "specular", "emissive"};
  for (const ConfigEntry& item : entry.children) {
    const std::string& key = item.key;
    const int colour = int(std::find(kColours, kColours + 4, key) - kColours);
    if (colour < 4) {
      if (!ParseConfigFloats(item.value, values, 3)) return Fail(item, "a colour needs 3 numbers");
      std::copy(values.begin(), values.end(), material.colours[colour]);
    } else if (key == "flag" || key == "factor" || key == "power") {
      if (!ParseConfigFloats(item.value, values, 1)) return Fail(item, "\"" + key + "\" needs a number");
      if (key == "flag") {
        material.flag = values[0] != 0.0f;
      } else if (key == "factor") {
        material.factor = values[0];
      } else {
        material.power = values[0];
      }
    } else if (key == "texture") {
      Texture texture;
      texture.name = item.value;
      const float slot = item.GetFloat("slot", 0.0f);
      if (slot < 0.0f || slot > 255.0f || slot != std::floor(slot))
        return Fail(item, "a texture slot is 0 to 255");
      texture.slot = uint32_t(slot);
      texture.value = item.GetFloat("value", 1.0f);
      material.textures.push_back(std::move(texture));
    } else if (key == "property") {
      material.properties.emplace_back(item.value, item.GetString("value"));
    } else {
      return Fail(item, "\"" + key + "\" is not a key of a material");
    }
  }
  return true;
}

bool GeometryConfigData::ReadChunk(const ConfigEntry& entry, Chunk& chunk) {
  chunk.name = entry.value;
  std::vector<float> values;
  // The counts come first: a vertex line's length depends on them.
  const float sets = entry.GetFloat("sets", 1.0f), weights = entry.GetFloat("weights", 0.0f);
  if (sets < 1.0f || sets > float(kMaxSets) || sets != std::floor(sets))
    return Fail(entry, "\"sets\" is 1 to 8");
  if (weights < 0.0f || weights > 4.0f || weights != std::floor(weights))
    return Fail(entry, "\"weights\" is 0 to 4");
  chunk.sets = uint32_t(sets);
  chunk.weights = uint32_t(weights);
  const size_t vertexFloats = 3 + 2 * size_t(chunk.sets) + 3;
  bool haveMaterial = false;
  for (const ConfigEntry& item : entry.children) {
    const std::string& key = item.key;
    if (key == "v") {
      if (chunk.VertexCount() >= kMaxVertices) return Fail(item, "more than 65536 vertices in a chunk");
      if (!ParseConfigFloats(item.value, values, vertexFloats)) {
        return Fail(item, "a vertex needs " + std::to_string(vertexFloats) + " numbers");
      }
      chunk.positions.insert(chunk.positions.end(), values.begin(), values.begin() + 3);
      chunk.uvs.insert(chunk.uvs.end(), values.begin() + 3, values.end() - 3);
      chunk.normals.insert(chunk.normals.end(), values.end() - 3, values.end());
    } else if (key == "f") {
      if (!ParseConfigFloats(item.value, values, 3)) return Fail(item, "a triangle needs 3 corners");
      for (float corner : values) {
        if (corner < 0.0f || corner >= float(kMaxVertices) || corner != std::floor(corner)) {
          return Fail(item, "a corner is a vertex number");
        }
        chunk.indices.push_back(uint16_t(corner));
      }
    } else if (key == "material") {
      if (haveMaterial) return Fail(item, "a chunk has one material");
      haveMaterial = true;
      if (!ReadMaterial(item, chunk.material)) return false;
    } else if (key != "sets" && key != "weights") {
      return Fail(item, "\"" + key + "\" is not a key of a chunk");
    }
  }
  if (!haveMaterial) return Fail(entry, "a chunk without a material");
  for (uint16_t corner : chunk.indices) {
    if (corner >= chunk.VertexCount()) return Fail(entry, "a corner past the chunk's vertices");
  }
  return true;
}

bool GeometryConfigData::ReadBone(const ConfigEntry& entry, InfluenceDefinition& bone) {
  bone.name = PString(entry.value);
  bone.parentName = PString(entry.GetString("parent"));
  std::vector<float> values;
  if (!ReadFrame(entry, bone.position, bone.rotation)) return false;
  for (const ConfigEntry* item : entry.FindAll("influence")) {
    if (!ParseConfigFloats(item->value, values, 3) || values[0] < 0.0f || values[1] < 0.0f ||
        values[0] >= float(kMaxVertices) || values[1] >= float(kMaxVertices)) {
      return Fail(*item, "an influence is a chunk, a vertex and a weight");
    }
    const uint32_t chunk = uint32_t(values[0]);
    auto reference = std::find_if(bone.references.begin(), bone.references.end(),
                                  [chunk](const InfluenceChunkReference& r) { return r.chunk == chunk; });
    if (reference == bone.references.end()) {
      bone.references.push_back({chunk, {}});
      reference = bone.references.end() - 1;
    }
    VertexInfluence influence;
    influence.vertex = uint32_t(values[1]);
    influence.values[0] = values[2];
    reference->vertices.push_back(influence);
  }
  return true;
}

}  // namespace Kiv
