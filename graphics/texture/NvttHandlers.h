#pragma once
// The texture compressor's callbacks into nvtt. Kept out of TextureCompress.h
// so that nvtt's header reaches only the compressor and its tests.
#include <memory>
#include <string>

#include <nvtt/nvtt.h>

#include "graphics/texture/TextureCompress.h"

// Receives the compressor's images, one block bitmap (engine format 5) per
// image, and appends them to a chain.
class OurOutputHandler final : public nvtt::OutputHandler {
public:
  explicit OurOutputHandler(TextureCompress& target) : m_target(target) {}
  void beginImage(int size, int width, int height, int depth, int face, int miplevel) override;
  // Refused (false) with no image begun or when the data would pass its size.
  bool writeData(const void* data, int size) override;
  // Appends the image still held; false when an image was refused or is short.
  bool Finish();

private:
  TextureCompress& m_target;
  std::unique_ptr<Kiv::Bitmap> m_current;
  int m_size = 0;
  int m_written = 0;
  bool m_failed = false;
};

// Keeps the compressor's error text for the job that runs it.
class OurErrorHandler final : public nvtt::ErrorHandler {
public:
  explicit OurErrorHandler(std::string& text) : m_text(text) {}
  void error(nvtt::Error e) override;

private:
  std::string& m_text;
};
