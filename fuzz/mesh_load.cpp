// Arbitrary bytes read as an indexed mesh (with the skinning capability, so
// the blend data is written) and as a progressive mesh, some with the
// material stand-ins of the asset check.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "graphics/mesh/RovanaIndexedMeshDefinition.h"
#include "graphics/mesh/RovanaProgressiveMeshDefinition.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::vector<uint8_t> bytes(data, data + size);
  Kiv::Display display;
  display.SetCapability(29, true);
  for (int pass = 0; pass < 2; ++pass) {
    MeshLoadOptions options;
    options.hardwareAnimationFloatPrecision = {size % 2 == 0, true};
    std::unique_ptr<RovanaIndexedMeshDefinition> definition =
        pass == 0 ? std::make_unique<RovanaIndexedMeshDefinition>(options)
                  : std::make_unique<RovanaProgressiveMeshDefinition>(options);
    definition->SetFileData(bytes, "meshes/fuzz.im");
    Kiv::ScriptedMaterialManager manager;
    manager.OnCreate([](Kiv::Material& m) { m.ScriptVertexColour(true); });
    Kiv::Resource resource(Kiv::PString("<kuid:1:1>"), Kiv::PString("meshes/fuzz.im"));
    // As the asset check loads: a material that cannot be had gets a stand-in.
    resource.SetAllowsSubstitutes(size % 3 == 0);
    resource.SetAllowsNullSubstitutes(true);
    if (definition->Load(&display, &manager, &resource, "meshes/fuzz.im", 0xFFFFFFFF) == 0) {
      definition->FinishMaterials();
      definition->EstimateMemorySize();
    }
  }
  return 0;
}
