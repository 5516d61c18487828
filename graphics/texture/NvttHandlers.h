#pragma once
// Where the texture compressor's images go. Kept out of TextureCompress.h
// so that only the compressor and its tests see it.
#include <memory>
#include <string>

#include "graphics/texture/TextureCompress.h"

// Receives the compressor's images, one block bitmap (engine format 5) per
// image, and appends them to a chain.
class OurOutputHandler final {
public:
  explicit OurOutputHandler(TextureCompress& target) : m_target(target) {}
  void beginImage(int size, int width, int height);
  // Refused (false) with no image begun or when the data would pass its size.
  [[nodiscard]] bool writeData(const void* data, int size);
  // Appends the image still held; false when an image was refused or is short.
  [[nodiscard]] bool Finish();

private:
  TextureCompress& m_target;
  std::unique_ptr<Kiv::Bitmap> m_current;
  int m_size = 0;
  int m_written = 0;
  bool m_failed = false;
};
