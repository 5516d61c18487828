#pragma once
// Texture resources of the engine layer. A TextureResource is one texture
// known by name inside a resource folder: Lock loads it, Unlock frees it. An
// AsciiTextureResource loads from a texture description (the settings text
// described in docs/texture-formats.md) naming its source images.
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "kiv/Bitmap.h"
#include "kiv/ChunkFile.h"
#include "kiv/RefCount.h"
#include "kiv/Options.h"

namespace Kiv {

// The form tag of a ".texture" chunk file (bytes "MMTF" on disk).
inline constexpr uint32_t kTextureFormTag = 0x46544D4D;

// Texture format codes.
enum TextureFormatCode : int {
  kTexRGBA32 = 1,  // uncompressed with alpha
  kTexRGBX32 = 3,  // uncompressed, opaque
  kTexRGB24 = 5,   // uncompressed, three bytes per pixel
  kTexDXT1 = 10,   // DXT1, or DXT1a with alpha
  kTexDXT3 = 11,
  kTexDXT5 = 12,
};

// A copy of a bitmap (formats 1 to 4) resampled to width x height: every
// target pixel averages the source pixels its area covers. Null for block
// data or a bad size.
std::unique_ptr<Bitmap> ScaleBitmap(const Bitmap& source, int width, int height);

// What a ".texture" file holds, read from its headers alone.
struct TextureFileFacts {
  uint32_t format = 0;  // a TextureFormatCode
  uint32_t width = 0, height = 0, faces = 0, levels = 0;
};
// Whether a ".texture" file is whole: the container and its form, a header
// of a known format and a sound size, and every level of every face once,
// of that level's size and with as many bytes as its size and format need.
// Only the headers are read; the pixel data is not decoded. False with why.
[[nodiscard]] bool ProbeTextureFile(std::string_view path, TextureFileFacts& out, std::string* why = nullptr);
[[nodiscard]] bool ProbeTextureMemory(const uint8_t* data, size_t size, TextureFileFacts& out,
                                      std::string* why = nullptr);

// Settings of a texture as its description and the options give them.
struct TextureSettings {
  uint8_t alphaKind = 255;      // 0 none, 1 graded, 2 masked (0 or 255 only), 255 not known yet
  bool alphaKindGiven = false;  // AlphaHint named it; the images do not decide
  uint8_t compressionHint = 4;  // 0 none, 1 dxt1, 2 dxt3, 3 dxt5, 4 leave it to the options
  uint8_t normalMap = 0;
  uint8_t modifyMap = 0;         // 1: the green channel is flipped when compressed
  uint8_t wrapS = 2, wrapT = 2;  // 2 repeat, 1 clamp
  bool useMipMaps = true;
  uint32_t anisotropy = 1;
  std::string autoMip = "auto", magFilter = "linear", minFilter = "linear", mipFilter = "linear";
};

class TextureResource : public ReferenceCountMP {
public:
  // name: the file of the texture relative to folder.
  TextureResource(std::string name, std::string folder);
  ~TextureResource() override;
  TextureResource(const TextureResource&) = delete;
  TextureResource& operator=(const TextureResource&) = delete;

  // Counted like every engine object: created with no holder; hold it
  // through Kiv::Ref, and the last release deletes it.

  const std::string& Name() const { return m_name; }
  // Residency priority for the display (0: the first to let go of).
  void SetPriority(float priority) { m_priority.store(priority, std::memory_order_relaxed); }
  float GetPriority() const { return m_priority.load(std::memory_order_relaxed); }
  const std::string& Folder() const { return m_folder; }
  std::string FilePath() const;

  // The first lock loads the texture; 0 success, else failure (LoadError()
  // says why) and the lock is not held. Each successful Lock needs an Unlock.
  int Lock();
  void Unlock();
  [[nodiscard]] bool IsLocked() const { return m_lockCount > 0; }
  const std::string& LoadError() const { return m_loadError; }

  // Size of the loaded level-0 image.
  virtual void GetSize(uint32_t& width, uint32_t& height) const;
  uint32_t GetDepth() const { return static_cast<uint32_t>(m_faces.size()); }
  virtual uint32_t GetNumMipLevels() const;
  // The stored format: the result of ChooseFormat.
  virtual int GetFormat() { return ChooseFormat(); }
  virtual int ChooseFormat();

  // Access to the mip images while the texture is locked. The base holds only
  // level 0 of each face.
  [[nodiscard]] virtual bool GetMipLock();
  [[nodiscard]] virtual bool GetMipUnlock();
  virtual const Bitmap* GetMip(uint32_t level, uint32_t face) const;

  // Writes the texture to a ".texture" file (replacing it only when the whole
  // file was written), taking the mip lock for the write.
  [[nodiscard]] virtual bool Save(const std::string& path);
  // Writes the mip-locked texture's chunks: header, then each face's levels.
  [[nodiscard]] bool SaveLockedInternal(ChunkFileWriter& out);

  const TextureSettings& Settings() const { return m_settings; }
  uint8_t GetAlphaKind() const { return m_settings.alphaKind; }
  uint8_t GetCompressionHint() const { return m_settings.compressionHint; }
  uint8_t GetNormalMapHint() const { return m_settings.normalMap; }
  uint8_t GetModifyMap() const { return m_settings.modifyMap; }
  [[nodiscard]] bool UseMipMaps() const { return m_settings.useMipMaps; }

  // Number of levels of a full chain for a size (1 without mipmaps).
  static uint32_t MipCountForSize(uint32_t width, uint32_t height, bool mipmaps);

protected:
  virtual int Load() = 0;
  virtual void Unload();

  std::string m_name;
  std::string m_folder;
  TextureSettings m_settings;
  std::vector<Bitmap> m_faces;  // level 0 of each face
  std::string m_loadError;
  int m_lockCount = 0;
  int m_mipLockCount = 0;

private:
  std::atomic<float> m_priority{1.0f};
};

class AsciiTextureResource : public TextureResource {
public:
  using TextureResource::TextureResource;

  // Largest description accepted, and longest line.
  static constexpr size_t kMaxDescriptionBytes = 64 * 1024;
  static constexpr size_t kMaxLineLength = 512;

  // Reads the description file over the current settings and loads its
  // images. 0 success, 1 failure (LoadError() says why).
  virtual int LoadTxt();
  // Applies settings words given as key and value (the same words as the
  // description). False at the first unknown key or bad value.
  [[nodiscard]] bool LoadTextureOptions(const Options& config);

  // One settings line's key and value applied to settings; false with why
  // for an unknown key or bad value. "Primary" and "Alpha" are not settings.
  [[nodiscard]] static bool ApplySetting(TextureSettings& settings, std::string_view key,
                                         std::string_view value, std::string& why);
  // Parses a whole description text: the image names and the settings.
  [[nodiscard]] static bool ParseDescription(std::string_view text, TextureSettings& settings,
                                             std::string& primary, std::string& alpha, std::string& why);

  // When set, a description or an image whose real path (symbolic links
  // followed) lies outside this folder is refused like a name that climbs out
  // with "../".
  void SetImageRoot(std::string folder) { m_imageRoot = std::move(folder); }
  // When set, asked with each image's declared size before it is decoded
  // (Bitmap::Load); a refusal fails the load.
  void SetImageAdmit(Bitmap::Admit admit) { m_imageAdmit = std::move(admit); }

protected:
  int Load() override { return LoadTxt(); }
  int Fail(std::string why);
  // False with why when the named image leads outside the image root.
  [[nodiscard]] bool ImageInsideRoot(const std::string& folder, const std::string& name,
                                     std::string& why) const;

private:
  std::string m_imageRoot;
  Bitmap::Admit m_imageAdmit;
};

}  // namespace Kiv
