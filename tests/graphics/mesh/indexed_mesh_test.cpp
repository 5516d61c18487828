// Indexed and progressive mesh files read into definitions: the chunk rules,
// the result codes, the post-load figures and malformed files.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <functional>

#include "graphics/mesh/RovanaIndexedMeshDefinition.h"
#include "graphics/mesh/RovanaProgressiveMeshDefinition.h"
#include "kiv/File.h"
#include "tests/graphics/mesh/MeshFixture.h"
#include "kiv/TempFolder.h"

namespace {

using MeshFixture::Mesh;

MeshFixture::Mesh QuadMesh(float size = 1.0f) {
  Mesh mesh;
  mesh.chunks.push_back(MeshFixture::Quad(size));
  return mesh;
}

struct Loaded {
  std::unique_ptr<RovanaIndexedMeshDefinition> definition;
  int result = -1;
};

struct LoadSetup {
  Kiv::Display display;
  Kiv::ScriptedMaterialManager manager;
  Kiv::Resource resource{Kiv::PString("<kuid:1:2>"), Kiv::PString("meshes/body.im")};
  MeshLoadOptions options;
  bool progressive = false;

  Loaded Load(const std::vector<uint8_t>& bytes) {
    Loaded out;
    out.definition = progressive ? std::make_unique<RovanaProgressiveMeshDefinition>(options)
                                 : std::make_unique<RovanaIndexedMeshDefinition>(options);
    out.definition->SetFileData(bytes, "meshes/body.im");
    out.result = out.definition->Load(&display, &manager, &resource, "meshes/body.im", 0xFF102030u);
    return out;
  }
  int Result(const Mesh& mesh) { return Load(MeshFixture::Write(mesh)).result; }
};

TEST(IndexedMesh, TheMinimalMeshIsReadToItsExactEnd) {
  LoadSetup setup;
  Mesh mesh = QuadMesh();
  mesh.position[1] = 5.0f;
  mesh.chunks[0].geometry.name = "hull";
  auto loaded = setup.Load(MeshFixture::Write(mesh));
  ASSERT_EQ(loaded.result, 0);
  auto& d = *loaded.definition;
  ASSERT_EQ(d.GetNumChunks(), 1u);
  EXPECT_EQ(d.GetChunkName(0).View(), "hull");
  EXPECT_EQ(d.GetPosition()[1], 5.0f);
  EXPECT_EQ(d.CopyPositions(0), mesh.chunks[0].geometry.positions);
  EXPECT_EQ(d.CopyTextureSet(0, 0), mesh.chunks[0].geometry.uvs);
  EXPECT_EQ(d.CopyIndices(0), mesh.chunks[0].geometry.indices);
  EXPECT_EQ(d.CopyNormals(0), mesh.chunks[0].geometry.normals);
  EXPECT_EQ(d.CopyFaceNormals(0), (std::vector<float>{0, 0, 1, 0, 0, 1}));
  EXPECT_EQ(d.GetNumTextureSets(0), 1u);
  EXPECT_EQ(d.GetTotalVertices(), 4u);
  EXPECT_EQ(d.GetTotalFaces(), 2u);
  EXPECT_EQ(d.GetChunk(0)->GetGeometryType(), 0u);
  EXPECT_EQ(setup.manager.Requests(), (std::vector<std::string>{"<kuid:1:2>*meshes*body.m.onetex"}));
  float corners[9];
  ASSERT_TRUE(d.GetTriangle(0, 3, corners));
  EXPECT_EQ(std::vector<float>(corners, corners + 9), (std::vector<float>{0, 0, 0, 1, 1, 0, 0, 1, 0}));
  EXPECT_FALSE(d.GetTriangle(0, 4, corners));
  EXPECT_FALSE(d.GetTriangle(1, 0, corners));
  // One more byte inside the container is left over: malformed.
  mesh.trailing = {0};
  EXPECT_EQ(setup.Result(mesh), 3);
}

TEST(IndexedMesh, ContainerFormAndVersionRules) {
  struct Case {
    const char* what;
    std::function<void(Mesh&)> change;
    int expected;
  };
  const Case cases[] = {
      {"wrong magic", [](Mesh& m) { m.magic = "KVXA"; }, 3},
      {"LOD form", [](Mesh& m) { m.form = "LODM"; }, 3},
      {"INFO 99", [](Mesh& m) { m.infoVersion = 99; }, 4},
      {"INFO 105", [](Mesh& m) { m.infoVersion = 105; }, 4},
      {"INFO 100", [](Mesh& m) { m.infoVersion = 100; }, 0},
      {"INFO 104 skips six floats", [](Mesh& m) { m.infoVersion = 104; }, 0},
      {"GEOM 100", [](Mesh& m) { m.chunks[0].geometry.version = 100; }, 4},
      {"GEOM 202", [](Mesh& m) { m.chunks[0].geometry.version = 202; }, 4},
      {"GEOM 101", [](Mesh& m) { m.chunks[0].geometry.version = 101; }, 0},
      {"GEOM 102", [](Mesh& m) { m.chunks[0].geometry.version = 102; }, 0},
      {"GEOM 103", [](Mesh& m) { m.chunks[0].geometry.version = 103; }, 0},
      {"GEOM 199", [](Mesh& m) { m.chunks[0].geometry.version = 199; }, 0},
      {"GEOM 200", [](Mesh& m) { m.chunks[0].geometry.version = 200; }, 0},
      {"GEOM 201 extra vectors", [](Mesh& m) { m.chunks[0].geometry.streamFlags = 1; }, 0},
      {"MATL 101", [](Mesh& m) { m.chunks[0].material.version = 101; }, 4},
      {"primitive 32 is type 5", [](Mesh& m) { m.chunks[0].geometry.primitive = 32; }, 0},
      {"primitive 3", [](Mesh& m) { m.chunks[0].geometry.primitive = 3; }, 3},
      {"index beyond the vertices", [](Mesh& m) { m.chunks[0].geometry.indices[4] = 4; }, 3},
      {"GEOM slack is passed over",
       [](Mesh& m) {
         m.chunks[0].geometry.slack = {1, 2, 3, 4};
       },
       0},
      {"ATCH 101",
       [](Mesh& m) {
         m.attachments.emplace();
         m.attachmentVersion = 101;
       },
       3},
      {"bytes after ATCH",
       [](Mesh& m) {
         m.attachments.emplace();
         m.trailing = {1, 2, 3, 4};
       },
       3},
      {"INFL and SKEL",
       [](Mesh& m) {
         m.influences.emplace();
         m.skeleton = MeshFixture::Bone("root");
       },
       3},
      {"INFL 101",
       [](Mesh& m) {
         m.influences.emplace();
         m.influenceVersion = 101;
       },
       3},
      {"BONE 3",
       [](Mesh& m) {
         m.skeleton = MeshFixture::Bone("root");
         m.skeleton->version = 3;
       },
       3},
      {"BONE 50",
       [](Mesh& m) {
         m.skeleton = MeshFixture::Bone("root");
         m.skeleton->version = 50;
       },
       0},
      {"more CHNKs promised", [](Mesh& m) { m.chunkCount = 2; }, 3},
      {"a huge chunk count", [](Mesh& m) { m.chunkCount = 0xFFFFFFFFu; }, 3},
      {"a huge vertex count", [](Mesh& m) { m.chunks[0].geometry.vertexCount = 0xFFFFFFFFu; }, 3},
      {"a huge index count", [](Mesh& m) { m.chunks[0].geometry.indexCount = 0x7FFFFFFFu; }, 3},
      {"a huge face count", [](Mesh& m) { m.chunks[0].geometry.faceCount = 0x40000000u; }, 3},
      {"faces cut short", [](Mesh& m) { m.chunks[0].geometry.faceCount = 3; }, 3},
      {"a huge texture set count",
       [](Mesh& m) {
         m.chunks[0].geometry.version = 103;
         m.chunks[0].geometry.setCount = 0x20000000u;
       },
       3},
  };
  for (const Case& c : cases) {
    LoadSetup setup;
    Mesh mesh = QuadMesh();
    c.change(mesh);
    EXPECT_EQ(setup.Result(mesh), c.expected) << c.what;
  }
}

TEST(IndexedMesh, EveryTruncationAndByteFlipIsRefusedOrReadWhole) {
  Mesh mesh = QuadMesh();
  mesh.chunks.push_back(MeshFixture::Quad(2.0f));
  mesh.influences =
      std::vector<MeshFixture::Influence>{{"root", "", {}, {1, 0, 0, 0, 1, 0, 0, 0, 1}, {{1, {{0, 1}}}}}};
  mesh.attachments = std::vector<MeshFixture::Attachment>{{"a.lamp", {1, 0, 0, 0, 1, 0, 0, 0, 1}, {0, 0, 0}}};
  const auto bytes = MeshFixture::Write(mesh);
  for (size_t cut = 0; cut < bytes.size(); ++cut) {
    LoadSetup setup;
    std::vector<uint8_t> shorter(bytes.begin(), bytes.begin() + cut);
    const int result = setup.Load(shorter).result;
    EXPECT_TRUE(result == 2 || result == 3) << cut << " gives " << result;
  }
  for (size_t at = 0; at < bytes.size(); ++at) {
    LoadSetup setup;
    auto flipped = bytes;
    flipped[at] ^= 0xFF;
    const int result = setup.Load(flipped).result;
    EXPECT_TRUE(result == 0 || result == 3 || result == 4 || result == 6) << at << " gives " << result;
  }
}

TEST(IndexedMesh, AnEmptyChunkIsDroppedWithItsNameAndReferences) {
  LoadSetup setup;
  Mesh mesh;
  auto empty = MeshFixture::Quad(1.0f, "empty.m.onetex");
  empty.geometry.indices.clear();
  empty.geometry.name = "empty";
  auto kept = MeshFixture::Quad(1.0f, "kept.m.onetex");
  kept.geometry.name = "kept";
  kept.material.textures = {{0, "kept.tga", 1.0f}};
  empty.material.textures = {{0, "empty.tga", 1.0f}};
  mesh.chunks = {empty, kept};
  mesh.influences = std::vector<MeshFixture::Influence>{
      {"root", "", {}, {1, 0, 0, 0, 1, 0, 0, 0, 1}, {{0, {{0, 1.0f}}}, {1, {{1, 1.0f}}}, {7, {{0, 1.0f}}}}}};
  auto loaded = setup.Load(MeshFixture::Write(mesh));
  ASSERT_EQ(loaded.result, 0);
  auto& d = *loaded.definition;
  ASSERT_EQ(d.GetNumChunks(), 1u);
  EXPECT_EQ(d.GetChunkName(0).View(), "kept");
  ASSERT_EQ(d.GetInfluences().size(), 1u);
  const auto& refs = d.GetInfluences()[0].references;
  ASSERT_EQ(refs.size(), 3u);
  EXPECT_EQ(refs[0].chunk, UINT32_MAX);  // the dropped chunk
  EXPECT_EQ(refs[1].chunk, 0u);          // file chunk 1 is now chunk 0
  EXPECT_EQ(refs[2].chunk, UINT32_MAX);  // never existed
  EXPECT_EQ(d.FinishMaterials(), 0);
  ASSERT_EQ(d.GetMaterial(0)->GetTextures().size(), 1u);
  EXPECT_EQ(d.GetMaterial(0)->GetTextures()[0].path.View(), "meshes/kept.tga");
}

TEST(IndexedMesh, MaterialColoursPowerTexturesAndKeys) {
  for (uint32_t version : {102u, 103u}) {
    for (float power : {4.0f, 40.0f}) {
      LoadSetup setup;
      Mesh mesh = QuadMesh();
      auto& m = mesh.chunks[0].material;
      m.version = version;
      m.power = power;
      m.colours[3][0] = 0.8f;
      m.properties = {{"RustAge", "0.5"}};
      m.flag = 1;
      m.factor = 0.25f;
      m.textures = {{0, "Textures\\Sub/Brick.PNG", 2.0f}};
      auto loaded = setup.Load(MeshFixture::Write(mesh));
      ASSERT_EQ(loaded.result, 0);
      const Kiv::Material& material = *loaded.definition->GetMaterial(0);
      const auto& display = material.GetDisplayMaterial();
      EXPECT_FLOAT_EQ(display.colours[3][0], 0.4f);
      EXPECT_FLOAT_EQ(display.colours[3][3], 0.5f);
      EXPECT_FLOAT_EQ(display.colours[2][0], version == 102 ? 0.0f : 0.2f);
      EXPECT_FLOAT_EQ(display.power, version == 102 || power < 10 ? 10.0f : 40.0f);
      EXPECT_TRUE(material.GetFlag());
      EXPECT_FLOAT_EQ(material.GetFactor(), 0.25f);
      ASSERT_EQ(material.GetNumProperties(), 1u);
      EXPECT_EQ(material.GetProperty(0).second.View(), "0.5");
      EXPECT_EQ(loaded.definition->FinishMaterials(), 0);
      ASSERT_EQ(material.GetTextures().size(), 1u);
      EXPECT_EQ(material.GetTextures()[0].path.View(), "meshes/brick.png");
      EXPECT_EQ(material.GetTextures()[0].value, 2.0f);
    }
  }
}

TEST(IndexedMesh, MaterialManagerAnswersGiveTheirCodes) {
  const std::string key = "<kuid:1:2>*meshes*body.m.onetex";
  struct Case {
    int answer;
    bool substitutes;
    int fallbackAnswer;
    int expected;
  };
  for (const Case& c :
       {Case{3, false, 0, 6}, Case{9, false, 0, 7}, Case{3, true, 0, 0}, Case{3, true, 3, 7}}) {
    LoadSetup setup;
    setup.manager.ScriptAnswer(key, c.answer);
    setup.manager.ScriptAnswer("m.onetex", c.fallbackAnswer);
    setup.resource.SetAllowsSubstitutes(c.substitutes);
    auto loaded = setup.Load(MeshFixture::Write(QuadMesh()));
    EXPECT_EQ(loaded.result, c.expected) << c.answer << c.substitutes << c.fallbackAnswer;
    EXPECT_EQ(setup.resource.GetFailedMaterials(), std::vector<std::string>{key});
    if (c.expected == 0) {
      EXPECT_EQ(loaded.definition->GetMaterial(0)->GetRequestName().View(), key);
    }
  }
  // A resource that takes null substitutes loads on when even the type's
  // plain material fails, with a null material of the key's type in its place.
  {
    LoadSetup setup;
    setup.manager.ScriptAnswer(key, 3);
    setup.manager.ScriptAnswer("m.onetex", 3);
    setup.resource.SetAllowsSubstitutes(true);
    setup.resource.SetAllowsNullSubstitutes(true);
    auto loaded = setup.Load(MeshFixture::Write(QuadMesh()));
    ASSERT_EQ(loaded.result, 0);
    EXPECT_EQ(setup.resource.GetFailedMaterials(), std::vector<std::string>{key});
    const Kiv::Material& material = *loaded.definition->GetMaterial(0);
    EXPECT_NE(dynamic_cast<const Kiv::NullMaterial*>(&material), nullptr);
    EXPECT_EQ(material.GetCreationType().View(), "onetex");
    EXPECT_EQ(material.GetRequestName().View(), key);
  }
  RovanaIndexedMeshDefinition definition;
  EXPECT_EQ(definition.Load(nullptr, nullptr, nullptr, "x", 0), 5);
  Kiv::ScriptedMaterialManager manager;
  EXPECT_EQ(definition.Load(nullptr, &manager, nullptr, "x", 0), 2);
}

TEST(IndexedMesh, MissingElementsAndChunksGiveTheirCodes) {
  struct Case {
    std::function<void(Kiv::Material&)> script;
    int expected;
  };
  const Case cases[] = {
      {[](Kiv::Material& m) { m.ScriptExtraElements({}, {Kiv::kElementPosition}); }, 8},
      {[](Kiv::Material& m) { m.ScriptNoIndexArrays(true); }, 8},
      {[](Kiv::Material& m) { m.ScriptChunkFailure(true); }, 3},
      // Absent normals and texture sets are passed over.
      {[](Kiv::Material& m) {
         m.ScriptExtraElements({}, {Kiv::kElementNormal, Kiv::kElementTexture0});
       },
       0},
  };
  for (const Case& c : cases) {
    LoadSetup setup;
    setup.manager.OnCreate(c.script);
    EXPECT_EQ(setup.Result(QuadMesh()), c.expected);
  }
}

TEST(IndexedMesh, VertexColoursTakeTheDefaultOrTheFile) {
  LoadSetup setup;
  setup.manager.OnCreate([](Kiv::Material& m) { m.ScriptVertexColour(true); });
  Mesh mesh = QuadMesh();
  auto loaded = setup.Load(MeshFixture::Write(mesh));
  ASSERT_EQ(loaded.result, 0);
  EXPECT_EQ(loaded.definition->CopyColours(0), std::vector<uint32_t>(4, 0xFF102030u));
  mesh.chunks[0].geometry.version = 104;
  mesh.chunks[0].geometry.colours = {1, 2, 3, 4};
  loaded = setup.Load(MeshFixture::Write(mesh));
  ASSERT_EQ(loaded.result, 0);
  EXPECT_EQ(loaded.definition->CopyColours(0), (std::vector<uint32_t>{1, 2, 3, 4}));
}

TEST(IndexedMesh, TextureFigureBoundsAndBox) {
  LoadSetup setup;
  // A 2 x 2 quad textured 0..1: every edge is two units per texture unit.
  auto loaded = setup.Load(MeshFixture::Write(QuadMesh(2.0f)));
  ASSERT_EQ(loaded.result, 0);
  auto& d = *loaded.definition;
  EXPECT_NEAR(d.GetTextureFigure(), 2.0f, 1e-5);
  EXPECT_EQ(std::vector<float>(d.GetBounds(), d.GetBounds() + 6), (std::vector<float>{2, 2, 0, 0, 0, 0}));
  EXPECT_FLOAT_EQ(d.GetOrientedBox().centre[0], 1.0f);
  EXPECT_FLOAT_EQ(d.GetOrientedBox().extents[1], 1.0f);
  EXPECT_EQ(d.EstimateMemorySize(), 252u + 4 * d.GetChunk(0)->GetVertexSize() + 6 * 2);
  // Texture coordinates that do not spread give no figure.
  Mesh flat = QuadMesh(2.0f);
  flat.chunks[0].geometry.uvs.assign(8, 0.5f);
  loaded = setup.Load(MeshFixture::Write(flat));
  ASSERT_EQ(loaded.result, 0);
  EXPECT_EQ(loaded.definition->GetTextureFigure(), 0.0f);
  // No chunks: no vertices, all-zero bounds.
  Mesh none;
  loaded = setup.Load(MeshFixture::Write(none));
  ASSERT_EQ(loaded.result, 0);
  EXPECT_EQ(std::vector<float>(loaded.definition->GetBounds(), loaded.definition->GetBounds() + 6),
            std::vector<float>(6, 0.0f));
}

Mesh TwoBoneBar(uint32_t weights) {
  Mesh mesh;
  mesh.maxInfluences = 2;
  mesh.maxBones = 2;
  mesh.chunks.push_back(MeshFixture::Bar(2));
  mesh.chunks[0].geometry.weights = weights;
  mesh.chunks[0].geometry.name = "b";
  // Vertices 0-3 follow "a"; vertices 2-5 follow "b" (2 and 3 share).
  MeshFixture::Influence a{
      "a", "", {0, 0, 0}, {1, 0, 0, 0, 1, 0, 0, 0, 1}, {{0, {{0, 1}, {1, 1}, {2, 0.5f}, {3, 0.5f}}}}};
  MeshFixture::Influence b{"b",
                           "a",
                           {1, 0, 0},
                           {1, 0, 0, 0, 1, 0, 0, 0, 1},
                           {{0, {{2, 0.5f}, {3, 0.5f}, {4, 1}, {5, 1}, {99, 1}}}}};
  mesh.influences = std::vector<MeshFixture::Influence>{a, b};
  return mesh;
}

std::array<uint8_t, 4> BlendBytes(const Kiv::GeometryChunk& chunk, uint32_t vertex) {
  auto blend = chunk.GetElement(Kiv::kElementBlendIndices);
  std::array<uint8_t, 4> out{};
  if (blend) std::memcpy(out.data(), blend.data + vertex * blend.stride, 4);
  return out;
}

TEST(IndexedMesh, HardwareSkinningWritesBlendBytesForTwoBones) {
  for (bool floatWeights : {true, false}) {
    LoadSetup setup;
    setup.display.SetCapability(29, true);
    setup.options.hardwareAnimationFloatPrecision = {floatWeights, true};
    auto loaded = setup.Load(MeshFixture::Write(TwoBoneBar(2)));
    ASSERT_EQ(loaded.result, 0);
    auto& d = *loaded.definition;
    EXPECT_TRUE(d.UsesHardwareSkinning());
    EXPECT_EQ(d.GetBoneLimit(), 24u);
    const Kiv::GeometryChunk& chunk = *d.GetChunk(0);
    EXPECT_EQ(BlendBytes(chunk, 0), (std::array<uint8_t, 4>{0, 254, 0, 0}));
    EXPECT_EQ(BlendBytes(chunk, 2), (std::array<uint8_t, 4>{0, 3, 254, 0}));
    EXPECT_EQ(BlendBytes(chunk, 5), (std::array<uint8_t, 4>{3, 254, 0, 0}));
    EXPECT_EQ(d.GetMaxInfluencesPerVertex(0), 2u);
    if (floatWeights) {
      auto w = chunk.GetElement(Kiv::kElementWeights1 + 1);
      float pair[2];
      std::memcpy(pair, w.data + 2 * w.stride, sizeof pair);
      EXPECT_EQ(pair[0], 0.5f);
      EXPECT_EQ(pair[1], 0.5f);
    } else {
      auto w = chunk.GetElement(Kiv::kElementPackedWeights);
      uint32_t packed;
      std::memcpy(&packed, w.data + 2 * w.stride, 4);
      EXPECT_EQ(packed, 0x80800000u);
      std::memcpy(&packed, w.data + 0 * w.stride, 4);
      EXPECT_EQ(packed, 0xFF000000u);
    }
    ASSERT_TRUE(d.GetRootBone());
    EXPECT_EQ(d.GetRootBone()->GetName().View(), "a");
    EXPECT_EQ(d.FindInfluenceByName(0)->name.View(), "b");  // by the chunk's name
    EXPECT_EQ(d.FindInfluenceByName(1)->name.View(), "b");  // by number
    EXPECT_EQ(d.FindInfluenceByName(2), nullptr);
    EXPECT_TRUE(d.GetRootBone()->FindByName(Kiv::PString("b")));
  }
  // Without the capability nothing is chosen and the bone limit stays 25.
  LoadSetup setup;
  auto loaded = setup.Load(MeshFixture::Write(TwoBoneBar(2)));
  ASSERT_EQ(loaded.result, 0);
  EXPECT_FALSE(loaded.definition->UsesHardwareSkinning());
  EXPECT_EQ(loaded.definition->GetBoneLimit(), 25u);
  EXPECT_FALSE(loaded.definition->GetChunk(0)->GetElement(Kiv::kElementBlendIndices));
}

TEST(IndexedMesh, BoneTreesWithoutRootOrWithCyclesAreSafe) {
  struct Case {
    std::vector<std::pair<std::string, std::string>> bones;  // name, parent
    const char* root;
  };
  const Case cases[] = {
      {{{"a", "b"}, {"b", "a"}}, nullptr},              // no root: no tree
      {{{"r", ""}, {"s", "s"}}, "r"},                   // names itself
      {{{"r", ""}, {"a", "b"}, {"b", "a"}}, "r"},       // names each other
      {{{"r", ""}, {"a", "missing"}, {"q", ""}}, "r"},  // unknown parent, second root
      {{{"r", ""}, {"a", "b"}, {"b", "c"}, {"c", "a"}}, "r"},
  };
  for (const Case& c : cases) {
    LoadSetup setup;
    Mesh mesh = QuadMesh();
    std::vector<MeshFixture::Influence> influences;
    for (auto& [name, parent] : c.bones)
      influences.push_back({name, parent, {}, {1, 0, 0, 0, 1, 0, 0, 0, 1}, {}});
    mesh.influences = influences;
    auto loaded = setup.Load(MeshFixture::Write(mesh));
    ASSERT_EQ(loaded.result, 0);
    const auto& root = loaded.definition->GetRootBone();
    if (!c.root) {
      EXPECT_FALSE(root);
      continue;
    }
    ASSERT_TRUE(root);
    EXPECT_EQ(root->GetName().View(), c.root);
    size_t count = 0;
    root->EnumerateParticles([&](Kiv::Particle&) { ++count; });
    EXPECT_EQ(count, c.bones.size());
  }
}

TEST(IndexedMesh, SkeletonsAndAttachmentsAreRead) {
  LoadSetup setup;
  Mesh mesh = QuadMesh();
  MeshFixture::Bone root("root");
  root.children.push_back(MeshFixture::Bone("arm"));
  root.children[0].children.push_back(MeshFixture::Bone("hand"));
  root.children.push_back(MeshFixture::Bone("leg"));
  mesh.skeleton = root;
  mesh.attachments =
      std::vector<MeshFixture::Attachment>{{"a.lamp", {0, 1, 0, -1, 0, 0, 0, 0, 1}, {1, 2, 3}}};
  auto loaded = setup.Load(MeshFixture::Write(mesh));
  ASSERT_EQ(loaded.result, 0);
  auto& d = *loaded.definition;
  ASSERT_TRUE(d.GetRootBone());
  auto* hand = d.GetRootBone()->FindByName(Kiv::PString("hand"));
  ASSERT_TRUE(hand);
  EXPECT_EQ(hand->GetParent()->GetName().View(), "arm");
  ASSERT_EQ(d.GetAttachments().size(), 1u);
  EXPECT_EQ(d.GetAttachments()[0].name.View(), "a.lamp");
  EXPECT_EQ(d.GetAttachments()[0].position[2], 3.0f);
  EXPECT_NEAR(std::fabs(d.GetAttachmentRotation(0).z), std::sqrt(0.5f), 1e-6);
  // Bones nested deeper than the limit are refused, without deep recursion.
  MeshFixture::Bone chain("0");
  MeshFixture::Bone* tip = &chain;
  for (int i = 1; i <= RovanaIndexedMeshDefinition::kMaxBoneDepth; ++i) {
    tip->children.push_back(MeshFixture::Bone(std::to_string(i)));
    tip = &tip->children[0];
  }
  mesh.skeleton = chain;
  EXPECT_EQ(setup.Result(mesh), 3);
}

TEST(IndexedMesh, AttachmentPointsGoToTheParticle) {
  LoadSetup setup;
  Mesh mesh = QuadMesh();
  mesh.attachments =
      std::vector<MeshFixture::Attachment>{{"a.lamp", {1, 0, 0, 0, 1, 0, 0, 0, 1}, {12, 0, 0}},
                                           {"Acoupler", {1, 0, 0, 0, 1, 0, 0, 0, 1}, {0, 5, 0}},
                                           {"p.reference", {1, 0, 0, 0, 1, 0, 0, 0, 1}, {0, 0, 1}}};
  const auto Points = [](const Kiv::ParticleStructure& s) {
    std::vector<std::string> out;
    for (const auto& p : s.GetAttachmentPoints()) {
      const auto* a = dynamic_cast<const Kiv::AttachmentPoint*>(p.get());
      out.push_back(std::string(a->GetName().View()) + "|" + std::string(a->GetSubName().View()) + "|" +
                    std::to_string(static_cast<int>(a->position[0])));
    }
    return out;
  };
  // Without a root bone the stored frames are kept; only "a" names count.
  auto plain = setup.Load(MeshFixture::Write(mesh));
  ASSERT_EQ(plain.result, 0);
  Kiv::ParticleStructure structure;
  structure.position[0] = 10;
  plain.definition->AddAttachmentPoints(structure);
  EXPECT_EQ(Points(structure), (std::vector<std::string>{"a|lamp|12", "Acoupler||0"}));

  // With a root bone the frames become relative to the particle.
  mesh.skeleton = MeshFixture::Bone("root");
  auto boned = setup.Load(MeshFixture::Write(mesh));
  ASSERT_EQ(boned.result, 0);
  Kiv::ParticleStructure moved;
  moved.position[0] = 10;
  boned.definition->AddAttachmentPoints(moved);
  EXPECT_EQ(Points(moved), (std::vector<std::string>{"a|lamp|2", "Acoupler||-10"}));
}

TEST(IndexedMesh, FinishMaterialsRecordsFailedTexturesAndUnloadedMaterials) {
  struct Case {
    int answer;
    uint32_t flags;
    int loaded;
    size_t failed;
    int expected;
  };
  for (const Case& c :
       {Case{0, 0, 0, 0, 0}, Case{3, 0, 0, 1, 0}, Case{2, Kiv::Material::kFlagTextureOptional, 0, 0, 0},
        Case{2, 0, 0, 1, 0}, Case{0, 0, 4, 0, 9}}) {
    LoadSetup setup;
    setup.manager.OnCreate([&](Kiv::Material& m) {
      m.ScriptTextureAnswer(c.answer);
      m.SetFlags(c.flags);
      m.ScriptLoadedCode(c.loaded);
    });
    Mesh mesh = QuadMesh();
    mesh.chunks[0].material.textures = {{0, "a.tga", 1}};
    auto loaded = setup.Load(MeshFixture::Write(mesh));
    ASSERT_EQ(loaded.result, 0);
    EXPECT_EQ(loaded.definition->FinishMaterials(), c.expected);
    EXPECT_EQ(loaded.definition->GetFailedTextures().size(), c.failed);
  }
}

TEST(IndexedMesh, OpenMeshFileStaysInsideTheFolder) {
  const Kiv::TempFolder temp("meshtest");
  const std::string& folder = temp.Root();
  ASSERT_TRUE(Kiv::File::CreateDirectories(folder + "/meshes"));
  const auto bytes = MeshFixture::Write(QuadMesh());
  ASSERT_TRUE(Kiv::File::ReplaceFileAtomic(folder + "/meshes/Body.im", bytes.data(), bytes.size()));
  Kiv::ResourceDatabase database(folder + "/meshes");
  RovanaIndexedMeshDefinition definition;
  EXPECT_EQ(definition.OpenMeshFile(&database, "body.im"), 0);
  Kiv::ScriptedMaterialManager manager;
  Kiv::Resource resource(Kiv::PString("o"), Kiv::PString("body.im"), &database);
  EXPECT_EQ(definition.Load(nullptr, &manager, &resource, "body.im", 0), 0);
  RovanaIndexedMeshDefinition missing;
  EXPECT_EQ(missing.OpenMeshFile(&database, "none.im"), 2);
  EXPECT_EQ(missing.OpenMeshFile(&database, "../meshes/body.im"), 2);
}

TEST(ProgressiveMesh, PminRecordsAreCheckedAndDropped) {
  using P = MeshFixture::Progressive;
  struct Case {
    const char* what;
    std::optional<P> pmin;
    int expected;
  };
  P linked;
  linked.words = {1, 2, 3};
  linked.records = {{0, 0, 0, 2}, {0, 0, 0, 1}};
  linked.runs = {{0, 2}};
  linked.groups = {1};
  P overrun = linked;
  overrun.records[1][3] = 2;  // four pool words named, three exist
  P version100;
  version100.version = 100;
  P runs = linked;
  runs.groups = {2};
  const Case cases[] = {{"no PMIN", std::nullopt, 0},   {"all counts 0", P{}, 0},
                        {"linked runs", linked, 0},     {"run past the pool", overrun, 3},
                        {"run past the runs", runs, 3}, {"version 100", version100, 3}};
  for (const Case& c : cases) {
    LoadSetup setup;
    setup.progressive = true;
    setup.display.SetCapability(29, true);
    Mesh mesh = TwoBoneBar(2);
    mesh.attachments = std::vector<MeshFixture::Attachment>{{"a.x", {1, 0, 0, 0, 1, 0, 0, 0, 1}, {0, 0, 0}}};
    mesh.progressive = c.pmin;
    auto loaded = setup.Load(MeshFixture::Write(mesh));
    EXPECT_EQ(loaded.result, c.expected) << c.what;
    if (loaded.result != 0) continue;
    EXPECT_FALSE(loaded.definition->UsesHardwareSkinning());
    EXPECT_EQ(loaded.definition->GetTextureFigure(), 0.0f);
    EXPECT_EQ(loaded.definition->GetPath().View(), "body.im");
    EXPECT_EQ(loaded.definition->GetNumChunks(), 1u);
  }
  // An indexed mesh does not take a "PMIN".
  LoadSetup setup;
  Mesh mesh = QuadMesh();
  mesh.progressive = P{};
  EXPECT_EQ(setup.Result(mesh), 3);
}

}  // namespace
