// Texture settings from outside: a texture description, the conversion
// option text and the ".texture" chunk container, read and probed. Any input must give a
// result or a clear failure, never a crash or a hang.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "kiv/ChunkFile.h"
#include "kiv/File.h"
#include "kiv/Options.h"
#include "kiv/TextureResource.h"
#include "graphics/texture/CompressAsciiResource.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);

  Kiv::TextureSettings settings;
  std::string primary, alpha, why;
  if (Kiv::AsciiTextureResource::ParseDescription(text, settings, primary, alpha, why)) {
    // Accepted image names stay inside the description's folder.
    Kiv::File::Path path(primary);
    path.Normalise();
    if (primary.empty() || path.IsAbsolute() || path.ExtractFirstPath() == "..") __builtin_trap();
  } else if (why.empty()) {
    __builtin_trap();
  }

  Kiv::Options options;
  // Any result will do: the run looks for faults, not answers.
  (void)options.SetRaw(text);
  std::string words;
  if (options.Get("Compression", words)) {
    int codes[3];
    bool alphas[3];
    CompressAsciiResource::ParseCompressionWords(words, codes, alphas);
    for (int c : codes)
      if (c != 1 && c != 10 && c != 11 && c != 12) __builtin_trap();
  }

  // A ".texture" the probe takes is a whole chunk file with a sound header;
  // one it refuses says why.
  Kiv::TextureFileFacts facts;
  if (Kiv::ProbeTextureMemory(data, size, facts, &why)) {
    Kiv::ChunkFileReader whole;
    if (!whole.Open(data, size, Kiv::kTextureFormTag) || facts.width == 0 || facts.height == 0 ||
        facts.faces == 0 || facts.levels == 0)
      __builtin_trap();
  } else if (why.empty()) {
    __builtin_trap();
  }

  Kiv::ChunkFileReader reader;
  if (reader.Open(data, size, Kiv::kTextureFormTag)) {
    size_t total = 8;
    for (const Kiv::Chunk& chunk : reader.Chunks()) {
      Kiv::ChunkCursor cursor(chunk);
      while (!cursor.Failed()) cursor.U32();
      total += 8 + chunk.size;
    }
    if (total != size) __builtin_trap();
  }
  return 0;
}
