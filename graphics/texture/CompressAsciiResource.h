#pragma once
// The texture resource made for a texture description under its conversion
// name ("*.convert-tex.txt"): it chooses each texture's compressed format from
// the texture's settings and the conversion options, and keeps the finished
// mip chain of every face for the ".texture" writer.
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "kiv/Options.h"
#include "kiv/TextureResource.h"
#include "graphics/texture/TextureCompress.h"

class CompressAsciiResource : public Kiv::AsciiTextureResource {
public:
  static constexpr uint32_t kDefaultMaxSize = 2048;
  static constexpr uint32_t kLargestMaxSize = 16384;

  using Kiv::AsciiTextureResource::AsciiTextureResource;
  ~CompressAsciiResource() override;

  // The conversion options (not owned; must outlive the loaded texture).
  void SetOptions(const Kiv::Options* options) { m_options = options; }

  // Without options: failure (1). The description overrides the options
  // unless "forceOptions" is given, then the options override it.
  int LoadTxt() override;
  // The loaded size scaled down, keeping its proportions, to fit the
  // maximum width and height.
  void GetSize(uint32_t& width, uint32_t& height) const override;
  void GetBaseSize(uint32_t& width, uint32_t& height) const { Kiv::TextureResource::GetSize(width, height); }
  uint32_t GetNumMipLevels() const override;
  // The format code for the loaded texture; also sets ChosenAlpha().
  int ChooseFormat() override;

  // Takes the base mip lock and compresses every face (hardware on).
  [[nodiscard]] bool GetMipLock() override;
  // The compressed image of a face and level; null when there is none.
  const Kiv::Bitmap* GetMip(uint32_t level, uint32_t face) const override;
  // Releases the base mip lock and, when that succeeds, frees the faces.
  [[nodiscard]] bool GetMipUnlock() override;

  // Builds the compressed mip chain of every face (the base mip lock must be
  // held). On failure LastTextureError() may hold the compressor's text.
  [[nodiscard]] bool CompressMips(bool hardware);
  // CompressMips, then writes the ".texture" file to path, replacing an old
  // one only when the whole new file is written. asSpelled: a file whose name
  // differs from path's only in case is not the one replaced.
  [[nodiscard]] bool SaveCompressed(const std::string& path, bool hardware, bool asSpelled = false);

  [[nodiscard]] bool ForceOptions() const { return m_forceOptions; }
  [[nodiscard]] bool BumpMap() const { return m_bumpMap; }
  [[nodiscard]] bool ChosenAlpha() const { return m_chosenAlpha; }
  uint32_t MaxWidth() const { return m_maxWidth; }
  uint32_t MaxHeight() const { return m_maxHeight; }
  uint32_t FaceCount() const { return static_cast<uint32_t>(m_faces2.size()); }
  const std::string& LastTextureError() const { return m_lastTextureError; }

  // The "Compression" words: the format code and alpha flag for the three
  // positions (alpha kinds 0, 2 and 1).
  static void ParseCompressionWords(std::string_view words, int codes[3], bool alpha[3]);

private:
  std::vector<std::unique_ptr<TextureCompress>> m_faces2;  // compressed chain per face
  const Kiv::Options* m_options = nullptr;
  bool m_forceOptions = false;
  bool m_chosenAlpha = true;
  bool m_bumpMap = false;
  uint32_t m_maxWidth = kDefaultMaxSize;
  uint32_t m_maxHeight = kDefaultMaxSize;
  std::string m_lastTextureError;
};
