#pragma once
// The sample meshes and fuzz seeds, as fixture descriptions.
#include <string>
#include <utility>
#include <vector>

#include "tests/graphics/mesh/MeshFixture.h"

namespace MeshFixture {

// (file name, bytes) of the sample meshes in samples/meshes/.
inline std::vector<std::pair<std::string, std::vector<uint8_t>>> SampleMeshes() {
  std::vector<std::pair<std::string, std::vector<uint8_t>>> out;
  Mesh quad;
  quad.chunks.push_back(Quad(2.0f, "brick.m.onetex"));
  quad.chunks[0].material.textures = {{0, "brick.texture", 1.0f}};
  quad.chunks[0].geometry.name = "wall";
  out.emplace_back("quad.im", Write(quad));

  Mesh skinned;
  skinned.maxInfluences = 2;
  skinned.maxBones = 2;
  skinned.chunks.push_back(Bar(2));
  skinned.chunks[0].geometry.weights = 2;
  skinned.influences = std::vector<Influence>{
      {"root", "", {0, 0, 0}, {1, 0, 0, 0, 1, 0, 0, 0, 1}, {{0, {{0, 1}, {1, 1}, {2, 0.5f}, {3, 0.5f}}}}},
      {"tip", "root", {1, 0, 0}, {1, 0, 0, 0, 1, 0, 0, 0, 1}, {{0, {{2, 0.5f}, {3, 0.5f}, {4, 1}, {5, 1}}}}}};
  skinned.attachments = std::vector<Attachment>{{"a.lamp", {1, 0, 0, 0, 1, 0, 0, 0, 1}, {2, 0.5f, 0}}};
  out.emplace_back("skinned.im", Write(skinned));

  Mesh progressive = quad;
  progressive.progressive = Progressive{101, {1, 2}, {{0, 0, 0, 2}}, {{0, 1}}, {1}};
  out.emplace_back("quad.pm", Write(progressive));
  return out;
}

// The meshes of the sample assets in samples/userdata/local/, by path
// there: a clean shed, two legacy assets, a locomotive and others whose
// texture resolves, and a crate whose texture is missing. The tower's LOD files ("tower.lm", single-level and of few
// polygons, and "lamp.lm", whose material type does not exist) are written
// from TowerLevel by the LOD definition's writer.
struct SampleAsset {
  std::string path;
  std::vector<uint8_t> bytes;
};
// The one level of a LOD file of the tower asset: 200 triangles.
inline Mesh TowerLevel(std::string material) {
  Mesh tower;
  tower.chunks.push_back(Bar(100));
  tower.chunks[0].material.name = std::move(material);
  tower.chunks[0].material.textures = {{0, "brick.texture", 1.0f}};
  return tower;
}

inline std::vector<SampleAsset> SampleAssetMeshes() {
  std::vector<SampleAsset> out;
  Mesh quad;
  quad.chunks.push_back(Quad(2.0f, "brick.m.onetex"));
  quad.chunks[0].material.textures = {{0, "brick.texture", 1.0f}};
  quad.chunks[0].geometry.name = "wall";
  out.push_back({"clean_shed/shed.im", Write(quad)});
  out.push_back({"clean_shed/shed_shadow.im", Write(quad)});
  out.push_back({"signal_box/box.im", Write(quad)});
  out.push_back({"warning_fence/fence.im", Write(quad)});
  out.push_back({"legacy_hut/hut.im", Write(quad)});
  out.push_back({"legacy_shelter/shelter.im", Write(quad)});
  out.push_back({"steam_loco/loco.im", Write(quad)});
  out.push_back({"steam_loco/loco_shadow.im", Write(quad)});

  Mesh crate;
  crate.chunks.push_back(Quad(1.0f, "crate.m.onetex"));
  crate.chunks[0].material.textures = {{0, "crate.texture", 1.0f}};
  out.push_back({"bare_crate/crate.im", Write(crate)});
  return out;
}

// Seeds for the fuzz target: the samples and one file per other chunk form.
inline std::vector<std::pair<std::string, std::vector<uint8_t>>> FuzzSeeds() {
  auto out = SampleMeshes();
  Mesh skeleton;
  skeleton.infoVersion = 104;
  skeleton.chunks.push_back(Quad());
  skeleton.chunks[0].geometry.version = 104;
  skeleton.chunks[0].neighbours = std::vector<uint32_t>{1, 0xFFFFFFFF, 0xFFFFFFFF, 0, 0xFFFFFFFF, 0xFFFFFFFF};
  Bone root("root");
  root.children.push_back(Bone("arm"));
  skeleton.skeleton = root;
  out.emplace_back("skeleton.im", Write(skeleton));
  Mesh old;
  old.infoVersion = 100;
  old.chunks.push_back(Quad());
  old.chunks[0].geometry.version = 101;
  old.chunks[0].material.version = 102;
  old.chunks[0].material.properties = {{"RustAge", "0.5"}};
  out.emplace_back("old.im", Write(old));
  Mesh two;
  two.chunks.push_back(Quad());
  two.chunks.push_back(Quad(3.0f));
  two.chunks[1].geometry.version = 103;
  two.chunks[1].geometry.sets = 2;
  two.chunks[1].geometry.uvs.resize(16, 0.25f);
  two.chunks[1].geometry.streamFlags = 0;
  out.emplace_back("two.im", Write(two));
  return out;
}

}  // namespace MeshFixture
