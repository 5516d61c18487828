#pragma once
// One face of a texture as a chain of mip images, made from a 32-bit bitmap
// either uncompressed (each level half the size of the one before, down to
// 1 x 1) or block-compressed through NVIDIA Texture Tools.
#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "kiv/Bitmap.h"

class TextureCompress {
public:
  TextureCompress() = default;
  virtual ~TextureCompress() = default;
  TextureCompress(const TextureCompress&) = delete;
  TextureCompress& operator=(const TextureCompress&) = delete;

  // Compresses source (engine format 2 or 3; its alpha may be changed) into
  // target, which must be empty, as format code 1, 3, 5, 10, 11 or 12. On
  // failure target is left empty and errorText, when given, holds the
  // compressor's error text (empty when it gave none).
  [[nodiscard]] static bool Compress(Kiv::Bitmap& source, TextureCompress& target, int code, bool alpha,
                                     bool wrap, bool normalMap, bool mipmap, bool hardware,
                                     std::string* errorText = nullptr);

  size_t Count() const { return m_images.size(); }
  // Level i of the chain; null past the end.
  const Kiv::Bitmap* Get(size_t i) const { return i < m_images.size() ? m_images[i].get() : nullptr; }
  void Append(std::unique_ptr<Kiv::Bitmap> image) { m_images.push_back(std::move(image)); }
  // The last level; null when there is none.
  Kiv::Bitmap* Back() { return m_images.empty() ? nullptr : m_images.back().get(); }
  void Clear() { m_images.clear(); }

private:
  std::vector<std::unique_ptr<Kiv::Bitmap>> m_images;
};
