#include "graphics/texture/CompressAsciiResource.h"

#include <algorithm>
#include <cctype>
#include <charconv>

#include "kiv/ChunkFile.h"
#include "kiv/File.h"

CompressAsciiResource::~CompressAsciiResource() = default;

namespace {

std::string_view TrimBlanks(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

// A size limit; 0 for a value that is missing, not a number or below 1.
uint32_t ParseLimit(std::string_view text) {
  text = TrimBlanks(text);
  uint64_t value = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size() || value < 1) return 0;
  return static_cast<uint32_t>(std::min<uint64_t>(value, CompressAsciiResource::kLargestMaxSize));
}

}  // namespace

void CompressAsciiResource::ParseCompressionWords(std::string_view words, int codes[3], bool alpha[3]) {
  for (int i = 0; i < 3; ++i) {
    codes[i] = Kiv::kTexRGBA32;
    alpha[i] = true;
  }
  for (int position = 0; position < 3 && !words.empty(); ++position) {
    size_t comma = words.find(',');
    std::string word(TrimBlanks(words.substr(0, comma)));
    words = comma == std::string_view::npos ? std::string_view() : words.substr(comma + 1);
    for (char& c : word) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (word == "auto" && position == 0) {
      codes[0] = Kiv::kTexDXT1, alpha[0] = false;
      codes[1] = Kiv::kTexDXT1, alpha[1] = true;
      codes[2] = Kiv::kTexDXT5, alpha[2] = true;
      return;
    }
    if (word == "dxt1")
      codes[position] = Kiv::kTexDXT1, alpha[position] = false;
    else if (word == "dxt1a")
      codes[position] = Kiv::kTexDXT1;
    else if (word == "dxt3")
      codes[position] = Kiv::kTexDXT3;
    else if (word == "dxt5")
      codes[position] = Kiv::kTexDXT5;
    // "none" and unrecognised words keep code 1 with alpha.
  }
}

int CompressAsciiResource::LoadTxt() {
  if (!m_options) return Fail("no conversion options");
  m_forceOptions = m_options->Has("forceOptions");
  m_bumpMap = m_options->Has("BumpMap");
  std::string sizes;
  if (m_options->Get("MaxTextureSize", sizes)) {
    size_t comma = sizes.find(',');
    // Limits that are not positive numbers leave the default in place.
    if (uint32_t w = ParseLimit(std::string_view(sizes).substr(0, comma))) m_maxWidth = w;
    if (comma != std::string::npos)
      if (uint32_t h = ParseLimit(std::string_view(sizes).substr(comma + 1))) m_maxHeight = h;
  }
  if (m_forceOptions) {
    int result = Kiv::AsciiTextureResource::LoadTxt();
    if (result != 0) return result;
  }
  static const char* const kKeys[] = {"Hint",      "AlphaHint", "Anisotropy", "AutoMip",
                                      "MagFilter", "MinFilter", "MipFilter",  "Tile"};
  Kiv::Options config;
  for (const char* key : kKeys) {
    std::string value;
    if (m_options->Get(key, value)) config.Set(key, value);
  }
  if (!LoadTextureOptions(config)) return Fail("bad conversion option: " + m_loadError);
  if (m_forceOptions) return 0;
  return Kiv::AsciiTextureResource::LoadTxt();
}

void CompressAsciiResource::GetSize(uint32_t& width, uint32_t& height) const {
  uint32_t w, h;
  GetBaseSize(w, h);
  if (w == 0 || h == 0) {
    width = w, height = h;
    return;
  }
  if (w > m_maxWidth) {
    h = std::max<uint32_t>(1, static_cast<uint32_t>(static_cast<double>(h) / w * m_maxWidth));
    w = m_maxWidth;
  }
  if (h > m_maxHeight) {
    w = std::max<uint32_t>(1, static_cast<uint32_t>(static_cast<double>(w) / h * m_maxHeight));
    h = m_maxHeight;
  }
  width = w, height = h;
}

uint32_t CompressAsciiResource::GetNumMipLevels() const {
  uint32_t w, h, bw, bh;
  GetSize(w, h);
  GetBaseSize(bw, bh);
  return std::min(MipCountForSize(w, h, UseMipMaps()), MipCountForSize(bw, bh, UseMipMaps()));
}

int CompressAsciiResource::ChooseFormat() {
  int code = Kiv::kTexRGBA32;
  bool chosenAlpha = true;
  int forcedCode = Kiv::kTexRGBA32;
  bool forcedAlpha = false;
  if (!m_options || m_settings.alphaKind == 255) {
    m_chosenAlpha = true;
    return Kiv::kTexRGBA32;
  }
  std::string words;
  if (m_options->Get("Compression", words)) {
    // A masked normal map keeps graded alpha: its alpha carries data.
    if (GetNormalMapHint() != 0 && m_settings.alphaKind == 2) m_settings.alphaKind = 1;
    int codes[3];
    bool alphas[3];
    ParseCompressionWords(words, codes, alphas);
    const int position = m_settings.alphaKind == 0 ? 0 : (m_settings.alphaKind == 2 ? 1 : 2);
    forcedCode = codes[position];
    forcedAlpha = alphas[position];
    chosenAlpha = forcedAlpha;
  }
  const uint8_t alphaKind = m_settings.alphaKind;
  const uint8_t hint = m_settings.compressionHint;
  uint32_t w, h;
  GetSize(w, h);
  if (std::max(w, h) >= 64 && std::min(w, h) >= 8 && hint > 3) {
    code = forcedCode;
  } else if (hint == 1) {
    code = Kiv::kTexDXT1, chosenAlpha = alphaKind != 0;
  } else if (hint == 2) {
    code = Kiv::kTexDXT3, chosenAlpha = true;
  } else if (hint == 3) {
    code = Kiv::kTexDXT5, chosenAlpha = true;
  } else if (alphaKind == 0) {
    code = Kiv::kTexRGBX32, chosenAlpha = false;
  } else {
    code = Kiv::kTexRGBA32, chosenAlpha = true;
  }
  if (m_forceOptions) code = forcedCode, chosenAlpha = forcedAlpha;
  if (w % 4 != 0 || h % 4 != 0) code = chosenAlpha ? Kiv::kTexRGBA32 : Kiv::kTexRGBX32;
  m_chosenAlpha = chosenAlpha;
  return code;
}

bool CompressAsciiResource::GetMipLock() {
  if (!Kiv::TextureResource::GetMipLock()) return false;
  if (!CompressMips(true)) {
    // The lock was taken above.
    (void)GetMipUnlock();
    return false;
  }
  return true;
}

const Kiv::Bitmap* CompressAsciiResource::GetMip(uint32_t level, uint32_t face) const {
  if (face >= m_faces2.size()) return nullptr;
  return m_faces2[face]->Get(level);
}

bool CompressAsciiResource::GetMipUnlock() {
  if (!Kiv::TextureResource::GetMipUnlock()) return false;
  m_faces2.clear();
  return true;
}

bool CompressAsciiResource::CompressMips(bool hardware) {
  m_faces2.clear();  // frees the lists of an earlier run
  m_lastTextureError.clear();
  uint32_t bw, bh, w, h;
  GetBaseSize(bw, bh);
  GetSize(w, h);
  for (uint32_t face = 0; face < GetDepth(); ++face) {
    const Kiv::Bitmap* base = Kiv::TextureResource::GetMip(0, face);
    if (!base) {
      m_faces2.clear();
      return false;
    }
    std::unique_ptr<Kiv::Bitmap> source;
    if (w != bw || h != bh)
      source = Kiv::ScaleBitmap(*base, static_cast<int>(w), static_cast<int>(h));
    else
      source = std::make_unique<Kiv::Bitmap>(*base);
    if (!source || source->IsEmpty()) {
      m_faces2.clear();
      return false;
    }
    if (GetModifyMap() == 1 && source->GetFormat() != Kiv::Bitmap::FormatRGBX32) {
      uint8_t* p = source->Data();
      const size_t count = static_cast<size_t>(source->Width()) * static_cast<size_t>(source->Height());
      for (size_t i = 0; i < count; ++i, p += 4)
        if (p[0] | p[1] | p[2] | p[3]) p[1] = static_cast<uint8_t>(255 - p[1]);
    }
    const bool wrap = m_settings.wrapS == 2 || m_settings.wrapT == 2;
    const bool normalMap = GetNormalMapHint() != 0;
    const int code = ChooseFormat();
    auto list = std::make_unique<TextureCompress>();
    if (!TextureCompress::Compress(*source, *list, code, m_chosenAlpha, wrap, normalMap, UseMipMaps(),
                                   hardware, &m_lastTextureError)) {
      m_faces2.clear();
      return false;
    }
    m_faces2.push_back(std::move(list));
  }
  return true;
}

bool CompressAsciiResource::SaveCompressed(const std::string& path, bool hardware, bool asSpelled) {
  if (!CompressMips(hardware)) return false;
  Kiv::ChunkFileWriter out(Kiv::kTextureFormTag);
  if (!SaveLockedInternal(out)) return false;
  const std::vector<uint8_t>& bytes = out.Bytes();
  const bool written = asSpelled ? Kiv::File::ReplaceFileAtomicAsSpelled(path, bytes.data(), bytes.size())
                                 : Kiv::File::ReplaceFileAtomic(path, bytes.data(), bytes.size());
  // The system's reason goes with the failure report.
  if (!written) m_lastTextureError = Kiv::File::LastError();
  return written;
}
