// The text form of an indexed mesh: what it reads into the definition,that
// it gives what the binary form of the same mesh gives,and texts refused.
#include <gtest/gtest.h>

#include <cmath>

#include "graphics/mesh/RovanaIndexedMeshDefinition.h"
#include "graphics/mesh/RovanaIndexedMeshLODDefinition.h"
#include "kiv/TempFolder.h"
#include "tests/graphics/mesh/MeshFixture.h"

namespace {

const char* kTwoChunks = R"(version 1.0
position 1,2,3
orientation 0,0,0,1
influenceLimit 1
boneLimit 2
chunk hull {
  material body.m.onetex {
    flag 1; factor 0.5; power 0.125
    ambient 0.5,0.5,0.5; diffuse 1,0.5,0.25; specular 0,0,0; emissive 0.25,0,0
    texture Skin.Texture { slot 0; value 0.75 }
    property shine { value 2 }
  }
  sets 2
  v 0,0,0,0,0,5,5,0,0,1
  v 2,0,0,1,0,6,5,0,0,1
  v 2,2,0,1,1,6,6,0,0,1
  f 0,1,2
}
chunk "lid top" {
  material glass.m.onetex { }
  v 0,0,1,0,0,0,0,1
  v 0,1,1,0,1,0,0,1
  v 1,0,1,1,0,0,0,1
  f 0,2,1
}
bone root { parent ""; influence 0,0,1; influence 0,1,1 }
bone arm { parent root; position 1,0,0; influence 0,2,1; influence 1,0,0.5 }
attachment a.lamp { position 0,1,0 }
)";

struct TextSetup {
  Kiv::TempFolder folder{"text-mesh"};
  Kiv::ScriptedMaterialManager manager;
  Kiv::ResourceDatabase database{folder.Root()};
  Kiv::Resource resource{Kiv::PString("<kuid:1:2>"), Kiv::PString("car/body.imtxt"), &database};
  int Load(RovanaIndexedMeshDefinition& d, const std::string& text) {
    folder.Write("car/body.imtxt", text);
    return d.LoadText(nullptr, &manager, &resource, "car/body.imtxt", 0xFF00FF00u);
  }
};

TEST(TextMesh, ChunksMaterialsBonesAndAttachments) {
  TextSetup setup;
  RovanaIndexedMeshDefinition d;
  ASSERT_EQ(setup.Load(d, kTwoChunks), 0);
  ASSERT_EQ(d.GetNumChunks(), 2u);
  EXPECT_EQ(d.GetPosition()[2], 3.0f);
  EXPECT_EQ(d.GetChunkName(1).View(), "lid top");
  EXPECT_EQ(d.CopyPositions(0), (std::vector<float>{0, 0, 0, 2, 0, 0, 2, 2, 0}));
  EXPECT_EQ(d.CopyTextureSet(0, 1), (std::vector<float>{5, 5, 6, 5, 6, 6}));
  EXPECT_EQ(d.GetNumTextureSets(0), 2u);
  EXPECT_EQ(d.CopyIndices(1), (std::vector<uint16_t>{0, 2, 1}));
  EXPECT_EQ(d.CopyFaceNormals(0), (std::vector<float>{0, 0, 1}));
  EXPECT_EQ(d.CopyFaceNormals(1), (std::vector<float>{0, 0, 1}));
  EXPECT_EQ(d.GetTotalVertices(), 6u);
  EXPECT_EQ(setup.manager.Requests().front(), "<kuid:1:2>*car*body.m.onetex");
  const Kiv::Material& material = *d.GetMaterial(0);
  EXPECT_TRUE(material.GetFlag());
  EXPECT_EQ(material.GetFactor(), 0.5f);
  EXPECT_EQ(material.GetDisplayMaterial().power, 16.0f);
  EXPECT_EQ(material.GetDisplayMaterial().colours[1][2], 0.25f);
  ASSERT_EQ(d.GetMaterialSource(&material)->textures.size(), 1u);
  EXPECT_EQ(d.GetMaterialSource(&material)->textures[0].path.View(), "car/skin.texture");
  EXPECT_EQ(material.GetNumProperties(), 1u);
  ASSERT_EQ(d.GetInfluences().size(), 2u);
  EXPECT_EQ(d.GetInfluences()[1].references.size(), 2u);
  ASSERT_NE(d.GetRootBone(), nullptr);
  EXPECT_EQ(d.GetRootBone()->GetChildren().size(), 1u);
  ASSERT_EQ(d.GetAttachments().size(), 1u);
  EXPECT_EQ(d.GetAttachments()[0].position[1], 1.0f);
  EXPECT_EQ(d.GetBounds()[0], 2.0f);  // maximum x
  EXPECT_EQ(d.GetBounds()[5], 0.0f);  // minimum z
}

TEST(TextMesh, GivesWhatTheBinaryFormOfTheSameMeshGives) {
  TextSetup setup;
  MeshFixture::Mesh mesh;
  mesh.chunks.push_back(MeshFixture::Quad(2.0f));
  RovanaIndexedMeshDefinition binary;
  binary.SetFileData(MeshFixture::Write(mesh), "car/body.im");
  ASSERT_EQ(binary.Load(nullptr, &setup.manager, &setup.resource, "car/body.im", 0xFF00FF00u), 0);
  RovanaIndexedMeshDefinition text;
  ASSERT_EQ(setup.Load(text,
                       "chunk { material body.m.onetex {}\n"
                       " v 0,0,0,0,0,0,0,1\n v 2,0,0,1,0,0,0,1\n v 2,2,0,1,1,0,0,1\n v 0,2,0,0,1,0,0,1\n"
                       " f 0,1,2\n f 0,2,3\n}\n"),
            0);
  EXPECT_EQ(text.CopyPositions(0), binary.CopyPositions(0));
  EXPECT_EQ(text.CopyTextureSet(0, 0), binary.CopyTextureSet(0, 0));
  EXPECT_EQ(text.CopyNormals(0), binary.CopyNormals(0));
  EXPECT_EQ(text.CopyIndices(0), binary.CopyIndices(0));
  EXPECT_EQ(text.CopyFaceNormals(0), binary.CopyFaceNormals(0));
  EXPECT_EQ(text.GetTextureFigure(), binary.GetTextureFigure());
  for (int k = 0; k < 6; ++k) EXPECT_EQ(text.GetBounds()[k], binary.GetBounds()[k]);
}

TEST(TextMesh, TextsRefused) {
  TextSetup setup;
  const std::string chunk =
      "chunk { material m.m.onetex {}\n v 0,0,0,0,0,0,0,1\n v 1,0,0,0,0,0,0,1\n"
      " v 0,1,0,0,0,0,0,1\n f 0,1,2\n}\n";
  struct Case {
    std::string text;
    int result;
  } cases[] = {
      {"version 2\n" + chunk, 4},
      {"chunk {\n", 3},                                                          // does not parse
      {"", 3},                                                                   // empty
      {"position 0,0,0\n", 3},                                                   // no vertices
      {chunk + "colour 1\n", 3},                                                 // not a key of a mesh
      {"chunk { material m.m.onetex {}\n v 0,0,0,0,0,0,0,1\n f 0,0,1\n}\n", 3},  // corner past the vertices
      {"chunk { material m.m.onetex {}\n v 0,0,0,0,0\n}\n", 3},                  // a short vertex
      {"chunk { v 0,0,0,0,0,0,0,1\n}\n", 3},                                     // no material
      {"chunk { sets 9; material m.m.onetex {}\n v 0,0,0,0,0,0,0,1\n}\n", 3},
      {"chunk { material m.m.onetex {}\n v 0,0,0,0,0,0,0,1\n f 0,0,-1\n}\n", 3},
      {"position 0,0\n" + chunk, 3},
      {"bone b { influence 0,1\n}\n" + chunk, 3},
  };
  for (const Case& c : cases) {
    RovanaIndexedMeshDefinition d;
    EXPECT_EQ(setup.Load(d, c.text), c.result) << c.text;
  }
  RovanaIndexedMeshDefinition d;
  EXPECT_EQ(d.LoadText(nullptr, &setup.manager, &setup.resource, "car/missing.imtxt", 0), 2);
  setup.folder.Write("car/ok.imtxt", chunk);
  EXPECT_EQ(d.LoadText(nullptr, nullptr, &setup.resource, "car/ok.imtxt", 0), 5);
}

TEST(TextMesh, ALevelOfALodText) {
  TextSetup setup;
  setup.folder.Write("car/body.imtxt", kTwoChunks);
  setup.folder.Write("car/car.lm.txt", "mesh 0 { name body.imtxt }\nmesh 5 { name BODY.IMTXT }\n");
  RovanaIndexedMeshLODDefinition lod;
  ASSERT_EQ(lod.LoadLODText(nullptr, &setup.manager, &setup.resource, "car/car.lm.txt", 0), 0);
  ASSERT_EQ(lod.GetLevels().size(), 2u);
  EXPECT_EQ(lod.GetLevels()[0].ChunkCount(), 2u);
  EXPECT_EQ(lod.GetBones().size(), 2u);
  EXPECT_EQ(lod.GetNumOwnedObjects(), 1u);
}

}  // namespace
