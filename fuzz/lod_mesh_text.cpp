// Arbitrary text read as a mesh text that lists level meshes. Three level
// meshes (two with the same bones, one with other bones) lie in the text's
// folder; a level mesh outside it is never read.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz/fuzz_scratch.h"
#include "graphics/mesh/RovanaIndexedMeshLODDefinition.h"
#include "kiv/File.h"
#include "tests/graphics/mesh/MeshFixture.h"

namespace {

MeshFixture::Mesh Level(int segments, int bones) {
  MeshFixture::Mesh mesh;
  mesh.chunks.push_back(MeshFixture::Bar(segments));
  std::vector<MeshFixture::Influence> influences(bones);
  for (int b = 0; b < bones; ++b) {
    influences[b].name = b == 0 ? "root" : "arm";
    influences[b].parent = b == 0 ? "" : "root";
    influences[b].references.push_back({0, {{uint32_t(b), 1.0f}}});
  }
  mesh.influences = influences;
  mesh.attachments = std::vector<MeshFixture::Attachment>{{"a.lamp:Cull"}};
  return mesh;
}

const std::string& Folder() {
  static const std::string folder = [] {
    const std::string root = FuzzScratchFolder("fuzz-lod-text");
    for (auto [name, mesh] :
         {std::pair{"a.im", Level(3, 2)}, std::pair{"b.im", Level(1, 2)}, std::pair{"c.im", Level(2, 1)}}) {
      const auto bytes = MeshFixture::Write(mesh);
      // Any result will do: the run looks for faults, not answers.
      (void)Kiv::File::WriteWholeFile(
          root + "/" + name, std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
    }
    return root;
  }();
  return folder;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string& folder = Folder();
  Kiv::ConfigData config;
  if (Kiv::ConfigParser::ParseText(std::string_view(reinterpret_cast<const char*>(data), size), config) !=
      0) {
    return 0;
  }
  Kiv::ScriptedMaterialManager manager;
  RovanaIndexedMeshLODDefinition definition;
  if (definition.LoadLODConfig(nullptr, &manager, nullptr, config, folder + "/fuzz.lm.txt", 0xFFFFFFFF) ==
      0) {
    std::vector<uint8_t> written;
    definition.WriteLODFile(written);
    definition.CompleteLoad();
  }
  return 0;
}
