// The headless render stand-in that meshes stand on: mesh-file primitives,
// geometry chunks, materials, scene trees and maths.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "kiv/render/Display.h"
#include "kiv/render/Geometry.h"
#include "kiv/render/Material.h"
#include "kiv/render/Maths.h"
#include "kiv/render/MeshFile.h"
#include "kiv/render/Scene.h"

namespace {

TEST(MeshFile, PaddedStringsRoundTripAndStayAligned) {
  for (std::string text : {"", "a", "ab", "abc", "abcd", "abcde"}) {
    std::vector<uint8_t> out;
    Kiv::MeshFileSupport::WritePaddedString(out, text);
    EXPECT_EQ(out.size() % 4, 0u) << text;
    Kiv::AppendLE32(out, 0xABCD);
    Kiv::ByteReader reader(out);
    std::string back;
    ASSERT_TRUE(Kiv::MeshFileSupport::ReadPaddedString(reader, back));
    EXPECT_EQ(back, text);
    EXPECT_EQ(reader.U32(), 0xABCDu);
  }
  // A length that runs past the data fails and takes nothing.
  std::vector<uint8_t> bad;
  Kiv::AppendLE32(bad, 0xFFFFFFF0u);
  Kiv::ByteReader reader(bad);
  std::string back;
  EXPECT_FALSE(Kiv::MeshFileSupport::ReadPaddedString(reader, back));
  EXPECT_TRUE(back.empty());
}

TEST(MeshFile, PeekNeverMovesBeforeWhereItBegan) {
  const uint8_t data[] = {'I', 'N', 'F', 'O', 'A', 'T'};
  Kiv::ByteReader reader(data, sizeof data);
  EXPECT_TRUE(Kiv::PeekTag(reader, {Kiv::MeshTag("INFO")}));
  EXPECT_EQ(reader.Pos(), 0u);
  reader.Skip(4);
  // Two bytes left: no tag can be taken, and the position stays.
  EXPECT_FALSE(Kiv::PeekTag(reader, {Kiv::MeshTag("ATCH")}));
  EXPECT_EQ(reader.Pos(), 4u);
  EXPECT_FALSE(reader.Failed());
  Kiv::ByteReader start(data, sizeof data);
  start.Skip(2);
  Kiv::BackOff(start, 4);
  EXPECT_EQ(start.Pos(), 0u);
}

TEST(MeshFile, ChunksAndContainersAreBoundedByTheData) {
  std::vector<uint8_t> out = {'G', 'E', 'O', 'M'};
  const size_t mark = Kiv::MeshFileSupport::MarkSizePos(out);
  Kiv::AppendLE32(out, 201);
  Kiv::AppendLE32(out, 7);
  Kiv::MeshFileSupport::WriteSizeAtMark(out, mark);
  Kiv::ByteReader reader(out);
  Kiv::MeshChunk chunk;
  ASSERT_TRUE(Kiv::ReadMeshChunk(reader, chunk));
  EXPECT_EQ(chunk.version, 201u);
  EXPECT_EQ(chunk.body.Remaining(), 4u);
  EXPECT_TRUE(reader.AtEnd());
  Kiv::StoreLE32(out.data() + 4, 0xFFFFFFFFu);
  Kiv::ByteReader overrun(out);
  EXPECT_FALSE(Kiv::ReadMeshChunk(overrun, chunk));
}

std::unique_ptr<Kiv::GeometryChunkPNT> Triangle() {
  auto made = std::make_unique<Kiv::GeometryChunkPNT>(3, 1, 3, 1, 0);
  auto& chunk = *made;
  auto positions = chunk.GetElement(Kiv::kElementPosition);
  for (int v = 0; v < 3; ++v) {
    const float p[3] = {float(v), float(v * 10), 0};
    std::memcpy(positions.data + v * positions.stride, p, sizeof p);
    chunk.GetIndexArray()[v] = uint16_t(v);
  }
  return made;
}

float PositionX(const Kiv::GeometryChunk& chunk, int v) {
  float x;
  auto positions = chunk.GetElement(Kiv::kElementPosition);
  std::memcpy(&x, positions.data + v * positions.stride, 4);
  return x;
}

TEST(GeometryChunk, CopiesShareUntilDuplicated) {
  auto made = Triangle();
  auto& source = *made;
  auto copy = source.Clone();
  EXPECT_TRUE(copy->SharesVertexBlockWith(source));
  copy->DuplicateVertexArray(nullptr);
  EXPECT_FALSE(copy->SharesVertexBlockWith(source));
  const float moved = 99.0f;
  std::memcpy(copy->GetElement(Kiv::kElementPosition).data, &moved, 4);
  EXPECT_EQ(PositionX(source, 0), 0.0f);
  EXPECT_EQ(PositionX(*copy, 0), 99.0f);
}

TEST(GeometryChunk, ResizeKeepsTheFirstVerticesAndFormatsAnswerTheirItems) {
  auto made = Triangle();
  auto& chunk = *made;
  chunk.ResizeVertexArray(nullptr, 2);
  EXPECT_EQ(chunk.GetNumVertices(), 2u);
  EXPECT_EQ(PositionX(chunk, 1), 1.0f);
  chunk.ResizeVertexArray(nullptr, 5);
  EXPECT_EQ(PositionX(chunk, 1), 1.0f);
  EXPECT_EQ(PositionX(chunk, 4), 0.0f);
  EXPECT_EQ(chunk.GetVertexSize(), 32u);
  EXPECT_EQ(chunk.GetElement(Kiv::kElementColour).stride, 0u);
  EXPECT_EQ(chunk.GetElement(Kiv::kElementColour).data, nullptr);
  Kiv::GeometryChunkPCT pct(2, 0, 0, 0, 0);
  EXPECT_EQ(pct.GetVertexSize(), 24u);
  EXPECT_FALSE(pct.GetElement(Kiv::kElementNormal));
  Kiv::GeometryChunkNmlPCT nml(2, 0, 0, 0, 0);
  EXPECT_EQ(nml.GetElement(Kiv::kElementNormal).stride, 12u);
  Kiv::Display display;
  EXPECT_EQ(pct.AssignVertexType(display), 19u);
  EXPECT_EQ(chunk.AssignVertexType(display), 18u);
}

TEST(GeometryChunk, EveryBufferFailureIsReported) {
  for (int fault = 0; fault < 4; ++fault) {
    Kiv::Display display;
    display.InjectUploadFailure(fault == 0, fault == 1);
    display.InjectBufferFailure(fault == 2, fault == 3);
    EXPECT_FALSE(Triangle()->InitializeBuffers(display, true)) << fault;
  }
  Kiv::Display display;
  auto made = Triangle();
  auto& chunk = *made;
  ASSERT_TRUE(chunk.InitializeBuffers(display, false));
  EXPECT_TRUE(chunk.GetStaticVertexBuffer()->dirty);
  ASSERT_TRUE(chunk.LoadBuffers(display));
  EXPECT_FALSE(chunk.GetStaticIndexBuffer()->dirty);
  display.InjectUploadFailure(false, true);
  EXPECT_FALSE(chunk.LoadBuffers(display));
  EXPECT_FALSE(Triangle()->LoadBuffers(display));
}

TEST(GeometryChunk, AppendingAChunkWithoutNormalsZeroFills) {
  Kiv::GeometryChunkNmlPCT target(1, 0, 0, 0, 0);
  const float up[3] = {0, 0, 1};
  std::memcpy(target.GetElement(Kiv::kElementNormal).data, up, 12);
  Kiv::GeometryChunkPCT other(2, 0, 0, 0, 0);
  ASSERT_TRUE(target.AppendChunk(other));
  ASSERT_EQ(target.GetNumVertices(), 3u);
  auto normals = target.GetElement(Kiv::kElementNormal);
  float n[9];
  std::memcpy(n, normals.data, sizeof n);
  EXPECT_EQ(n[2], 1.0f);
  for (int i = 3; i < 9; ++i) EXPECT_EQ(n[i], 0.0f);
  // Normals of a chunk that has them follow at the old vertex count.
  Kiv::GeometryChunkPNT withNormals(1, 0, 0, 0, 0);
  const float side[3] = {1, 0, 0};
  std::memcpy(withNormals.GetElement(Kiv::kElementNormal).data, side, 12);
  ASSERT_TRUE(target.AppendChunk(withNormals));
  std::memcpy(n, target.GetElement(Kiv::kElementNormal).data + 3 * 12, 12);
  EXPECT_EQ(n[0], 1.0f);
}

TEST(GeometryChunk, AppendMovesIndicesAndRefusesWhatU16CannotIndex) {
  auto made = Triangle();
  auto& a = *made;
  ASSERT_TRUE(a.AppendChunk(*Triangle()));
  EXPECT_EQ(a.GetNumIndices(), 6u);
  EXPECT_EQ(a.GetIndexArray()[5], 5);
  EXPECT_EQ(a.GetNumFaces(), 2u);
  Kiv::GeometryChunkPNT big(40000, 0, 0, 0, 0);
  Kiv::GeometryChunkPNT more(30000, 0, 0, 0, 0);
  EXPECT_FALSE(big.AppendChunk(more));
}

TEST(GeometryChunk, PaletteNumbersInfluencesAndStopsWhenFull) {
  Kiv::GeometryChunkPNT chunk(1, 0, 0, 0, 0);
  chunk.SetPaletteLimit(2);
  int keys[3];
  EXPECT_EQ(chunk.AddInfluenceMatrix(&keys[0]), 0);
  EXPECT_EQ(chunk.AddInfluenceMatrix(&keys[1]), 1);
  EXPECT_EQ(chunk.AddInfluenceMatrix(&keys[0]), 0);
  EXPECT_EQ(chunk.AddInfluenceMatrix(&keys[2]), -1);
}

TEST(Materials, ScriptedManagerAnswersAndSplitsNames) {
  Kiv::ScriptedMaterialManager manager;
  std::shared_ptr<Kiv::Material> material;
  EXPECT_EQ(manager.Find("owner*meshes*body.m.onetex", material), 0);
  ASSERT_TRUE(material);
  EXPECT_EQ(material->GetType().View(), "onetex");
  EXPECT_EQ(manager.Find("owner*meshes*plain", material), 3);
  manager.ScriptAnswer("owner*meshes*body.m.onetex", 7);
  EXPECT_EQ(manager.Find("owner*meshes*body.m.onetex", material), 7);
  EXPECT_EQ(manager.Find("m.onetex", material), 0);
  Kiv::DecoratedName name;
  ASSERT_TRUE(Kiv::MaterialManager::SplitDecoratedMaterialName("o*a/b*x.m.y.m.tbumptex", name));
  EXPECT_EQ(name.folder, "a/b");
  EXPECT_EQ(name.base, "x.m.y");
  EXPECT_EQ(name.type, "tbumptex");
  EXPECT_FALSE(Kiv::MaterialManager::SplitDecoratedMaterialName("o*x.m.y", name));
  Kiv::NullMaterial null;
  EXPECT_FALSE(null.Equals(*material));
}

TEST(Scene, TreesRefuseCyclesAndCopyDeeply) {
  auto root = std::make_shared<Kiv::ParticleBone>(Kiv::PString("root"));
  auto child = std::make_shared<Kiv::ParticleBone>(Kiv::PString("child"));
  auto leaf = std::make_shared<Kiv::Particle>(Kiv::PString("leaf"));
  ASSERT_TRUE(root->Add(child));
  ASSERT_TRUE(child->Add(leaf));
  EXPECT_FALSE(leaf->Add(root));
  EXPECT_FALSE(child->Add(child));
  EXPECT_FALSE(root->Add(leaf));  // already has a parent
  EXPECT_EQ(root->FindByName(Kiv::PString("leaf")), leaf.get());
  std::vector<std::string> order;
  auto copy = root->CreateInstance();
  copy->EnumerateParticles([&](Kiv::Particle& p) { order.push_back(p.GetName().Str()); });
  EXPECT_EQ(order, (std::vector<std::string>{"root", "child", "leaf"}));
  EXPECT_NE(copy->FindByName(Kiv::PString("leaf")), leaf.get());
  EXPECT_TRUE(dynamic_cast<Kiv::ParticleBone*>(copy->FindByName(Kiv::PString("child"))));
}

TEST(Maths, QuaternionFromMatrixAndInverse) {
  // A quarter turn about z: x goes to y (row vectors).
  const float turn[9] = {0, 1, 0, -1, 0, 0, 0, 0, 1};
  Kiv::Quaternion q;
  q.Set(turn);
  EXPECT_NEAR(std::fabs(q.z), std::sqrt(0.5f), 1e-6);
  EXPECT_NEAR(std::fabs(q.w), std::sqrt(0.5f), 1e-6);
  const float t[3] = {1, 2, 3};
  Kiv::Matrix4 m = Kiv::Matrix4::FromRotationTranslation(q, t);
  const float x[3] = {1, 0, 0};
  float out[3];
  m.TransformPoint(x, out);
  EXPECT_NEAR(out[0], 1.0f, 1e-6);
  EXPECT_NEAR(out[1], 3.0f, 1e-6);
  Kiv::Matrix4 inverse = m;
  ASSERT_TRUE(inverse.Invert());
  Kiv::Matrix4 product = Kiv::Matrix4::Multiply(m, inverse);
  for (int i = 0; i < 16; ++i) EXPECT_NEAR(product.m[i], (i % 5 == 0) ? 1.0f : 0.0f, 1e-5) << i;
  Kiv::Matrix4 singular;
  singular.m[0] = 0;
  EXPECT_FALSE(singular.Invert());
  for (int i = 0; i < 4; ++i) {
    // Each of Shepperd's four branches.
    const float rotations[4][9] = {{1, 0, 0, 0, 1, 0, 0, 0, 1},
                                   {1, 0, 0, 0, -1, 0, 0, 0, -1},
                                   {-1, 0, 0, 0, 1, 0, 0, 0, -1},
                                   {-1, 0, 0, 0, -1, 0, 0, 0, 1}};
    Kiv::Quaternion r;
    r.Set(rotations[i]);
    const float axis[4][4] = {{0, 0, 0, 1}, {1, 0, 0, 0}, {0, 1, 0, 0}, {0, 0, 1, 0}};
    EXPECT_NEAR(std::fabs(r.x), axis[i][0], 1e-6);
    EXPECT_NEAR(std::fabs(r.y), axis[i][1], 1e-6);
    EXPECT_NEAR(std::fabs(r.z), axis[i][2], 1e-6);
    EXPECT_NEAR(std::fabs(r.w), axis[i][3], 1e-6);
  }
}

TEST(Maths, OrientedBoxFitsPointsAndGivesCorners) {
  Kiv::OrientedBox box;
  const float points[] = {0, 0, 0, 2, 4, 6, 1, 1, 1};
  box.Fit(points);
  EXPECT_FLOAT_EQ(box.centre[1], 2.0f);
  EXPECT_FLOAT_EQ(box.extents[2], 3.0f);
  float corners[8][3];
  box.CalcCorners(corners);
  EXPECT_FLOAT_EQ(corners[0][0], 0.0f);
  EXPECT_FLOAT_EQ(corners[7][2], 6.0f);
  box.Fit(std::span<const float>());
  EXPECT_EQ(box.extents[0], 0.0f);
}

}  // namespace
