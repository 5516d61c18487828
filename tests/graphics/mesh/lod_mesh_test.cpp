// Meshes with levels of detail: the text form that lists level meshes, the
// binary form written from it and read back, and the rules both forms keep.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "graphics/mesh/RovanaIndexedMeshLODDefinition.h"
#include "kiv/TempFolder.h"
#include "tests/graphics/mesh/MeshFixture.h"

namespace {

using MeshFixture::Mesh;

// A level mesh: a bar of `segments` quads with two bones and two attachment points.
Mesh LevelMesh(int segments, std::string material = "body.m.onetex", int bones = 2) {
  Mesh mesh;
  mesh.chunks.push_back(MeshFixture::Bar(segments));
  mesh.chunks[0].material.name = std::move(material);
  mesh.chunks[0].material.colours[3][0] = 0.25f;
  mesh.chunks[0].material.textures.push_back({0, "skin.texture", 1.0f});
  mesh.chunks[0].geometry.name = "hull";
  std::vector<MeshFixture::Influence> influences(bones);
  for (int b = 0; b < bones; ++b) {
    influences[b].name = b == 0 ? "root" : "arm" + std::to_string(b);
    influences[b].parent = b == 0 ? "" : "root";
    influences[b].position[0] = float(b);
    for (uint32_t v = uint32_t(b); v < 2 * uint32_t(segments + 1); v += 2) {
      influences[b].references.push_back({0, {{v, 0.5f}}});
    }
  }
  mesh.influences = influences;
  mesh.attachments = std::vector<MeshFixture::Attachment>{{"a.light:cull"}, {"a.door"}};
  return mesh;
}

std::string AsText(const std::vector<uint8_t>& bytes) { return std::string(bytes.begin(), bytes.end()); }

struct LodSetup {
  Kiv::TempFolder folder{"lod-test"};
  Kiv::ScriptedMaterialManager manager;
  Kiv::ResourceDatabase database{folder.Root()};
  Kiv::Resource resource{Kiv::PString("<kuid:1:2>"), Kiv::PString("car/car.lm.txt"), &database};

  LodSetup() {
    folder.Write("car/lod0.im", AsText(MeshFixture::Write(LevelMesh(4))));
    folder.Write("car/lod1.im", AsText(MeshFixture::Write(LevelMesh(2))));
    folder.Write("car/col.im", AsText(MeshFixture::Write(LevelMesh(1, "crate.m.onetex"))));
  }
  int LoadText(RovanaIndexedMeshLODDefinition& definition, const std::string& text) {
    folder.Write("car/car.lm.txt", text);
    return definition.LoadLODText(nullptr, &manager, &resource, "car/car.lm.txt", 0xFFFFFFFFu);
  }
  int Read(RovanaIndexedMeshLODDefinition& definition, const std::vector<uint8_t>& bytes) {
    return definition.ReadLODData(nullptr, &manager, &resource, bytes, "car/car.lm", 0xFFFFFFFFu);
  }
};

const char* kCarText =
    "version 1.0\n"
    "mesh 0 { name lod0.im }\n"
    "mesh 40.5 {\n  name \"LOD1.im\"\n}\n"
    "mesh Collision { name lod1.im }  # the second level again, by name\n"
    "mesh shadow { name col.im; animated true }\n"
    "calcPoint NEAR\n"
    "offset 2\n"
    "renderCutOff 0.25\n";

TEST(LodText, LevelsDistancesNamedLevelsAndSettings) {
  LodSetup setup;
  RovanaIndexedMeshLODDefinition d;
  ASSERT_EQ(setup.LoadText(d, kCarText), 0);
  ASSERT_EQ(d.GetLevels().size(), 3u);
  EXPECT_EQ(d.GetDistances(), (std::vector<float>{0.0f, 40.5f}));
  ASSERT_EQ(d.GetNamedLevels().size(), 2u);
  EXPECT_EQ(d.GetLevelIndexByName("COLLISION"), 1);  // the second distance entry's file: no new level
  EXPECT_EQ(d.GetLevelIndexByName("shadow"), 2);     // a new file: a level at the end
  EXPECT_TRUE(d.GetNamedLevels()[1].animated);
  EXPECT_FALSE(d.GetNamedLevels()[0].animated);
  EXPECT_EQ(d.GetLevelIndexByName("none"), -1);
  EXPECT_EQ(d.GetCalcPoint(), 1u);
  EXPECT_EQ(d.GetOffset(), 2.0f);
  EXPECT_EQ(d.GetMultiplier(), 1.0f);
  EXPECT_EQ(d.GetRenderCutOff(), 0.25f);
  EXPECT_EQ(d.GetName(), "car.lm.txt");
  // The base is the last distanced level, not the named one after it.
  EXPECT_EQ(d.GetChunks(), d.GetLevels()[1].chunks);
  EXPECT_EQ(d.GetLevels()[0].vertexTotal, 10u);
  EXPECT_EQ(d.GetLevels()[1].vertexTotal, 6u);
  // The culled point loses its mark and joins the cull list.
  ASSERT_EQ(d.GetAttachments().size(), 2u);
  EXPECT_EQ(d.GetAttachments()[0].name.View(), "a.light");
  EXPECT_EQ(d.GetCullList(), std::vector<Kiv::PString>{Kiv::PString("a.light")});
  // Bones come from the first level, each with one influence set per level.
  ASSERT_EQ(d.GetBones().size(), 2u);
  EXPECT_EQ(d.GetBones()[1].name.View(), "arm1");
  EXPECT_EQ(d.GetBones()[1].levels.size(), 3u);
  ASSERT_NE(d.GetRootBone(), nullptr);
  EXPECT_EQ(d.GetNumOwnedObjects(), 3u);
  EXPECT_EQ(d.CompleteLoad(), 0);
  EXPECT_EQ(d.GetNumOwnedObjects(), 0u);
}

TEST(LodText, ARepeatedFileIsReadOnceAndItsLevelsShareTheChunks) {
  LodSetup setup;
  RovanaIndexedMeshLODDefinition d;
  ASSERT_EQ(
      setup.LoadText(d, "mesh 0 { name lod0.im }\nmesh 10 { name ./lod0.im }\nmesh 20 { name lod0.im }\n"),
      0);
  ASSERT_EQ(d.GetLevels().size(), 3u);
  EXPECT_EQ(d.GetNumOwnedObjects(), 1u);
  EXPECT_EQ(d.GetLevels()[0].chunks, d.GetLevels()[2].chunks);
  EXPECT_EQ(setup.manager.Requests().size(), 1u);
}

TEST(LodText, TextsThatBreakTheRules) {
  LodSetup setup;
  setup.folder.Write("outside.im", AsText(MeshFixture::Write(LevelMesh(1))));
  setup.folder.Write("car/broken.im", "KVXB");
  setup.folder.Write("car/onebone.im", AsText(MeshFixture::Write(LevelMesh(1, "body.m.onetex", 1))));
  struct Case {
    const char* text;
    int result;
  } cases[] = {
      {"version 2.0\nmesh 0 { name lod0.im }\n", 4},
      {"version 166666666666666666666666666\nmesh 0 { name lod0.im }\n", 4},  // no int value
      {"version 1.005\nmesh 0 { name lod0.im }\n", 0},
      {"version 1.0\noffset 1\n", 3},                               // no mesh entry
      {"mesh 0 { }\n", 3},                                          // a distance without a file
      {"mesh 10 { name lod0.im }\nmesh 10 { name lod1.im }\n", 3},  // not increasing
      {"mesh collision { name lod0.im }\n", 3},                     // only named entries
      {"mesh 0 { name lod0.im }\nmesh a { name lod1.im }\nmesh A { name col.im }\n", 3},  // same name
      {"mesh 0 { name lod0.im }\nmesh a { name lod1.im }\nmesh 5 { name col.im }\n",
       3},                                     // distance after a name
      {"mesh 0 { name ../outside.im }\n", 3},  // outside the text's folder
      {"mesh 0 { name /etc/passwd }\n", 3},
      {"mesh 0 { name missing.im }\n", 2},  // the level mesh's own code
      {"mesh 0 { name broken.im }\n", 3},
      {"mesh 0 { name lod0.im }\nmesh 9 { name onebone.im }\n", 3},  // other bones than the first level
      {"mesh 0 { name lod0.im\n", 2},                                // does not parse
      {"mesh 1.2.3 { name lod0.im }\n", 3},                          // not a distance, and only named
  };
  for (const Case& c : cases) {
    RovanaIndexedMeshLODDefinition d;
    EXPECT_EQ(setup.LoadText(d, c.text), c.result) << c.text;
  }
}

// The offset of the n-th chunk with the tag (its tag's first byte).
size_t FindTag(const std::vector<uint8_t>& bytes, const char* tag, int n = 0) {
  for (size_t i = 8; i + 4 <= bytes.size(); ++i) {
    if (std::memcmp(bytes.data() + i, tag, 4) == 0 && n-- == 0) return i;
  }
  return std::string::npos;
}

TEST(LodFile, WrittenAndReadBackKeepsEverything) {
  LodSetup setup;
  RovanaIndexedMeshLODDefinition text;
  ASSERT_EQ(setup.LoadText(text, kCarText), 0);
  std::vector<uint8_t> bytes;
  ASSERT_EQ(text.WriteLODFile(bytes), 0);

  RovanaIndexedMeshLODDefinition d;
  ASSERT_EQ(setup.Read(d, bytes), 0);
  ASSERT_EQ(d.GetLevels().size(), 3u);
  EXPECT_EQ(d.GetDistances(), text.GetDistances());
  ASSERT_EQ(d.GetNamedLevels().size(), 2u);
  EXPECT_EQ(d.GetLevelIndexByName("collision"), 1);
  EXPECT_EQ(d.GetLevelIndexByName("shadow"), 2);
  EXPECT_TRUE(d.GetNamedLevels()[1].animated);
  EXPECT_EQ(d.GetCalcPoint(), 1u);
  EXPECT_EQ(d.GetOffset(), 2.0f);
  EXPECT_EQ(d.GetRenderCutOff(), 0.25f);
  EXPECT_EQ(d.GetName(), "car.lm");
  for (uint32_t l = 0; l < 3; ++l) {
    const LODLevel& a = text.GetLevels()[l];
    const LODLevel& b = d.GetLevels()[l];
    ASSERT_EQ(a.ChunkCount(), b.ChunkCount());
    EXPECT_EQ(a.vertexTotal, b.vertexTotal);
    EXPECT_EQ(b.chunkNames[0].View(), "hull");
    const Kiv::GeometryChunk& ca = *a.chunks[0];
    const Kiv::GeometryChunk& cb = *b.chunks[0];
    ASSERT_EQ(ca.GetNumIndices(), cb.GetNumIndices());
    EXPECT_EQ(std::memcmp(ca.GetIndexArray(), cb.GetIndexArray(), 2 * ca.GetNumIndices()), 0);
    for (uint32_t v = 0; v < ca.GetNumVertices(); ++v) {
      for (int e : {Kiv::kElementPosition, Kiv::kElementTexture0, Kiv::kElementNormal}) {
        const auto ea = ca.GetElement(e), eb = cb.GetElement(e);
        EXPECT_EQ(std::memcmp(ea.data + v * ea.stride, eb.data + v * eb.stride,
                              e == Kiv::kElementTexture0 ? 8 : 12),
                  0);
      }
    }
    // Materials: names, colour 4 through its doubling, textures.
    const Kiv::Material& ma = *a.materials[0];
    const Kiv::Material& mb = *b.materials[0];
    EXPECT_EQ(ma.GetDisplayMaterial().colours[3][0], 0.125f);
    EXPECT_EQ(mb.GetDisplayMaterial().colours[3][0], 0.125f);
    EXPECT_EQ(d.GetMaterialSource(&mb)->name, text.GetMaterialSource(&ma)->name);
    EXPECT_EQ(d.GetMaterialSource(&mb)->textures[0].path.View(), "car/skin.texture");
  }
  // One material per level mesh file: the collision level is the second level.
  EXPECT_EQ(d.GetMaterialTable().size(), 3u);
  EXPECT_EQ(d.GetMaterialSource(d.GetLevels()[2].materials[0].get())->name, "crate.m.onetex");
  // Bones and their influences per level.
  ASSERT_EQ(d.GetBones().size(), 2u);
  for (size_t b = 0; b < 2; ++b) {
    EXPECT_EQ(d.GetBones()[b].name, text.GetBones()[b].name);
    EXPECT_EQ(d.GetBones()[b].position[0], float(b));
    ASSERT_EQ(d.GetBones()[b].levels.size(), 3u);
    for (size_t l = 0; l < 3; ++l) {
      const auto& ga = text.GetBones()[b].levels[l];
      const auto& gb = d.GetBones()[b].levels[l];
      ASSERT_EQ(ga.size(), gb.size());
      for (size_t g = 0; g < ga.size(); ++g) {
        ASSERT_EQ(ga[g].vertices.size(), gb[g].vertices.size());
        EXPECT_EQ(ga[g].vertices[0].vertex, gb[g].vertices[0].vertex);
        EXPECT_EQ(ga[g].vertices[0].values[0], gb[g].vertices[0].values[0]);
      }
    }
  }
  ASSERT_NE(d.GetRootBone(), nullptr);
  EXPECT_EQ(d.GetRootBone()->GetName().View(), "root");
  // The culled point round-trips through its ":Cull" mark.
  EXPECT_NE(AsText(bytes).find("a.light:Cull"), std::string::npos);
  EXPECT_EQ(d.GetAttachments()[0].name.View(), "a.light");
  EXPECT_EQ(d.GetCullList(), text.GetCullList());
  // Writing what was read gives the same bytes.
  std::vector<uint8_t> again;
  ASSERT_EQ(d.WriteLODFile(again), 0);
  EXPECT_EQ(again, bytes);
  uint32_t influences = 0, bones = 0;
  d.ComputeLevelCounts(0, influences, bones);
  EXPECT_EQ(influences, 1u);
  EXPECT_EQ(bones, 10u);  // a group per bone and vertex in the fixture
}

TEST(LodFile, EmptyDefinitionWritesNothing) {
  RovanaIndexedMeshLODDefinition d;
  std::vector<uint8_t> bytes;
  EXPECT_EQ(d.WriteLODFile(bytes), 1);
  EXPECT_TRUE(bytes.empty());
}

// Changes the distance of level n in a written file.
void SetDistance(std::vector<uint8_t>& bytes, int level, float distance) {
  const size_t at = FindTag(bytes, "MESH", level);
  ASSERT_NE(at, std::string::npos);
  Kiv::StoreLEFloat(bytes.data() + at + 24, distance);
}

// Removes the n-th chunk with the tag, shrinking the chunks around it.
void RemoveChunk(std::vector<uint8_t>& bytes, const char* tag, int n) {
  const size_t at = FindTag(bytes, tag, n);
  ASSERT_NE(at, std::string::npos);
  const uint32_t size = 8 + Kiv::LoadLE32(bytes.data() + at + 4);
  for (size_t outer = 0; outer < at; ++outer) {
    // Any chunk header (or the container) that spans the removed chunk.
    if (outer + 8 > at) break;
    const uint32_t outerSize = Kiv::LoadLE32(bytes.data() + outer + 4);
    const bool isHeader = std::memcmp(bytes.data() + outer, "KVXB", 4) == 0 ||
                          std::memcmp(bytes.data() + outer, "MESH", 4) == 0;
    if (isHeader && outer + 8 + outerSize >= at + size) {
      Kiv::StoreLE32(bytes.data() + outer + 4, outerSize - size);
    }
  }
  bytes.erase(bytes.begin() + long(at), bytes.begin() + long(at + size));
}

TEST(LodFile, DistanceAndChunkRules) {
  LodSetup setup;
  RovanaIndexedMeshLODDefinition text;
  ASSERT_EQ(setup.LoadText(text, kCarText), 0);
  std::vector<uint8_t> bytes;
  ASSERT_EQ(text.WriteLODFile(bytes), 0);
  auto read = [&](const std::vector<uint8_t>& file) {
    RovanaIndexedMeshLODDefinition d;
    return setup.Read(d, file);
  };
  {
    auto equal = bytes;
    SetDistance(equal, 1, 0.0f);
    EXPECT_EQ(read(equal), 0);  // equal distances are allowed in the binary form
    auto smaller = bytes;
    SetDistance(smaller, 0, 50.0f);
    EXPECT_EQ(read(smaller), 3);
    auto notANumber = bytes;
    SetDistance(notANumber, 1, std::nanf(""));
    EXPECT_EQ(read(notANumber), 3);
    auto unnamed = bytes;
    SetDistance(unnamed, 2, 60.0f);
    EXPECT_EQ(read(unnamed), 0);  // the named shadow level with a distance too
    auto onlyNamed = bytes;
    SetDistance(onlyNamed, 0, -1.0f);
    EXPECT_EQ(read(onlyNamed), 3);  // level 0 is named by no record
  }
  {
    auto noBones = bytes;
    RemoveChunk(noBones, "LODB", 1);
    EXPECT_EQ(read(noBones), 3);  // with bones, every level carries its influences
  }
  {
    auto wrongForm = bytes;
    std::memcpy(wrongForm.data() + 8, "IDXM", 4);
    EXPECT_EQ(read(wrongForm), 3);
    auto version = bytes;
    Kiv::StoreLE32(version.data() + FindTag(version, "MATL") + 8, 102);
    EXPECT_EQ(read(version), 4);
    auto material = bytes;  // a material index past the table
    Kiv::StoreLE32(material.data() + FindTag(material, "LCHK") + 16, 7);
    EXPECT_EQ(read(material), 3);
    auto group = bytes;  // a group naming a chunk the level lacks
    Kiv::StoreLE32(group.data() + FindTag(group, "LODB") + 16, 5);
    EXPECT_EQ(read(group), 3);
  }
  // Every cut of the file is refused, never read past.
  for (size_t n = 0; n < bytes.size(); n += 7) {
    std::vector<uint8_t> cut(bytes.begin(), bytes.begin() + long(n));
    EXPECT_NE(read(cut), 0) << n;
  }
}

TEST(LodFile, AFailedReadLeavesWhatWasReadAndHardwareLevelsGetBlendData) {
  LodSetup setup;
  RovanaIndexedMeshLODDefinition text;
  ASSERT_EQ(setup.LoadText(text, kCarText), 0);
  std::vector<uint8_t> bytes;
  ASSERT_EQ(text.WriteLODFile(bytes), 0);
  Kiv::Display display;
  display.SetCapability(RovanaIndexedMeshDefinition::kSkinningCapability, true);
  RovanaIndexedMeshLODDefinition d;
  ASSERT_EQ(d.ReadLODData(&display, &setup.manager, &setup.resource, bytes, "car.lm", 0), 0);
  ASSERT_TRUE(d.GetLevels()[0].hardwareAnimated);
  const Kiv::GeometryChunk& chunk = *d.GetLevels()[0].chunks[0];
  EXPECT_EQ(chunk.GetNumInfluenceMatrices(), 2u);
  const auto blend = chunk.GetElement(Kiv::kElementBlendIndices);
  ASSERT_TRUE(blend);
  EXPECT_EQ(blend.data[0], 0);                   // vertex 0: the root, matrix 0
  EXPECT_EQ(blend.data[blend.stride], 3);        // vertex 1: arm1, matrix 1, three registers on
  EXPECT_EQ(blend.data[blend.stride + 1], 254);  // then the free mark
}

}  // namespace
