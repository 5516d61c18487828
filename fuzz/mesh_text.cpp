// Arbitrary text read as the text form of an indexed mesh (with the skinning
// capability, so skinned chunks get their blend data).
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "graphics/mesh/RovanaIndexedMeshDefinition.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Kiv::ConfigData config;
  if (Kiv::ConfigParser::ParseText(std::string_view(reinterpret_cast<const char*>(data), size), config) !=
      0) {
    return 0;
  }
  Kiv::Display display;
  display.SetCapability(29, size % 2 == 0);
  Kiv::ScriptedMaterialManager manager;
  Kiv::Resource resource(Kiv::PString("<kuid:1:1>"), Kiv::PString("meshes/fuzz.imtxt"));
  RovanaIndexedMeshDefinition definition;
  if (definition.LoadFromConfig(&display, &manager, &resource, config, 0xFFFFFFFF) == 0) {
    definition.FinishMaterials();
    definition.EstimateMemorySize();
  }
  return 0;
}
