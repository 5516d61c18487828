// Arbitrary bytes read as a mesh with levels of detail (with the skinning
// capability, so hardware levels get their blend data), written back when
// they load, and the written form read again.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "graphics/mesh/RovanaIndexedMeshLODDefinition.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Kiv::Display display;
  display.SetCapability(29, size % 3 != 0);
  Kiv::ScriptedMaterialManager manager;
  manager.OnCreate([](Kiv::Material& m) { m.ScriptVertexColour(true); });
  Kiv::Resource resource(Kiv::PString("<kuid:1:1>"), Kiv::PString("meshes/fuzz.lm"));
  RovanaIndexedMeshLODDefinition definition;
  if (definition.ReadLODData(&display, &manager, &resource, std::vector<uint8_t>(data, data + size),
                             "meshes/fuzz.lm", 0xFFFFFFFF) != 0) {
    return 0;
  }
  definition.CalculateDataSize();
  std::vector<uint8_t> written;
  if (definition.WriteLODFile(written) != 0) std::abort();
  RovanaIndexedMeshLODDefinition again;
  if (again.ReadLODData(&display, &manager, &resource, written, "meshes/fuzz.lm", 0xFFFFFFFF) != 0)
    std::abort();
  definition.CompleteLoad();
  return 0;
}
