#include "graphics/texture/TextureCompress.h"

#include <algorithm>
#include <cstring>
#include <condition_variable>
#include <deque>
#include <functional>
#include <future>
#include <mutex>
#include <thread>

#include "kiv/TextureResource.h"

void OurOutputHandler::beginImage(int size, int width, int height, int /*depth*/, int /*face*/,
                                  int /*miplevel*/) {
  if (!Finish()) m_failed = true;
  m_current.reset();
  m_size = 0;
  m_written = 0;
  auto image = std::make_unique<Kiv::Bitmap>();
  if (size <= 0 || !image->Create(width, height, Kiv::Bitmap::FormatBlock, static_cast<size_t>(size))) {
    m_failed = true;
    return;
  }
  m_current = std::move(image);
  m_size = size;
}

bool OurOutputHandler::writeData(const void* data, int size) {
  if (!m_current || size < 0 || size > m_size - m_written) {
    m_failed = true;
    return false;
  }
  std::memcpy(m_current->Data() + m_written, data, static_cast<size_t>(size));
  m_written += size;
  return true;
}

bool OurOutputHandler::Finish() {
  if (!m_current) return !m_failed;
  if (m_written != m_size) m_failed = true;
  m_target.Append(std::move(m_current));
  m_current.reset();
  return !m_failed;
}

void OurErrorHandler::error(nvtt::Error e) {
  const char* text = nvtt::errorString(e);
  m_text = text ? text : "unknown texture compression error";
}

namespace {

// Pixels other than 0 become opaque.
void MakeOpaque(Kiv::Bitmap& bitmap) {
  uint8_t* p = bitmap.Data();
  const size_t count = static_cast<size_t>(bitmap.Width()) * static_cast<size_t>(bitmap.Height());
  for (size_t i = 0; i < count; ++i, p += 4)
    if (p[0] | p[1] | p[2] | p[3]) p[3] = 255;
}

bool CompressUncompressed(const Kiv::Bitmap& source, TextureCompress& target, int code) {
  auto level = std::make_unique<Kiv::Bitmap>(source);
  const Kiv::Bitmap::Format format = code == Kiv::kTexRGBA32   ? Kiv::Bitmap::FormatRGBA32
                                     : code == Kiv::kTexRGBX32 ? Kiv::Bitmap::FormatRGBX32
                                                               : Kiv::Bitmap::FormatRGB24;
  if (!level->ConvertTo(format)) return false;
  for (;;) {
    const int w = level->Width(), h = level->Height();
    std::unique_ptr<Kiv::Bitmap> next;
    if (w > 1 || h > 1) {
      next = Kiv::ScaleBitmap(*level, std::max(w / 2, 1), std::max(h / 2, 1));
      if (!next) return false;
    }
    target.Append(std::move(level));
    if (!next) return true;
    level = std::move(next);
  }
}

// One run of the block compressor into target.
bool RunCompressor(const Kiv::Bitmap& source, TextureCompress& target, int code, bool alpha, bool wrap,
                   bool normalMap, bool mipmap, bool hardware, std::string& error) {
  nvtt::InputOptions input;
  input.setMipmapGeneration(mipmap, -1);
  input.setNormalMap(normalMap);
  input.setWrapMode(wrap ? nvtt::WrapMode_Repeat : nvtt::WrapMode_Clamp);
  input.setTextureLayout(nvtt::TextureType_2D, source.Width(), source.Height(), 1);
  input.setFormat(nvtt::InputFormat_BGRA_8UB);
  input.setMipmapData(source.Data(), source.Width(), source.Height(), 1, 0, 0);
  // Normal maps average plainly; colour maps get the sharper Kaiser filter.
  input.setMipmapFilter(normalMap ? nvtt::MipmapFilter_Box : nvtt::MipmapFilter_Kaiser);

  nvtt::CompressionOptions compression;
  compression.setFormat(code == Kiv::kTexDXT1   ? (alpha ? nvtt::Format_DXT1a : nvtt::Format_DXT1)
                        : code == Kiv::kTexDXT3 ? nvtt::Format_DXT3
                                                : nvtt::Format_DXT5);
  compression.setQuality(nvtt::Quality_Production);

  OurOutputHandler output(target);
  OurErrorHandler errors(error);
  nvtt::OutputOptions outputOptions;
  outputOptions.setOutputHandler(&output);
  outputOptions.setErrorHandler(&errors);
  outputOptions.setOutputHeader(false);

  nvtt::Compressor compressor;
  compressor.enableCudaAcceleration(hardware);
  bool ok = compressor.process(input, compression, outputOptions);
  return output.Finish() && ok;
}

// Runs every block compression on one thread, one at a time: this library's
// DXT1 output changes when runs overlap or move between threads, and the
// output must not depend on how many jobs run at once.
bool OnCompressorThread(const std::function<bool()>& task) {
  struct Worker {
    std::mutex lock;
    std::condition_variable wake;
    std::deque<std::packaged_task<bool()>*> tasks;
    Worker() {
      std::thread([this] {
        for (;;) {
          std::unique_lock<std::mutex> hold(lock);
          wake.wait(hold, [this] { return !tasks.empty(); });
          std::packaged_task<bool()>* next = tasks.front();
          tasks.pop_front();
          hold.unlock();
          (*next)();
        }
      }).detach();
    }
  };
  static Worker* worker = new Worker;  // lives as long as the process
  std::packaged_task<bool()> job(task);
  std::future<bool> done = job.get_future();
  {
    std::lock_guard<std::mutex> hold(worker->lock);
    worker->tasks.push_back(&job);
  }
  worker->wake.notify_one();
  return done.get();
}

}  // namespace

bool TextureCompress::Compress(Kiv::Bitmap& source, TextureCompress& target, int code, bool alpha, bool wrap,
                               bool normalMap, bool mipmap, bool hardware, std::string* errorText) {
  std::string error;
  if (errorText) errorText->clear();
  target.Clear();
  const Kiv::Bitmap::Format format = source.GetFormat();
  if (format != Kiv::Bitmap::FormatRGBA32 && format != Kiv::Bitmap::FormatRGBX32) return false;
  if (format == Kiv::Bitmap::FormatRGBX32 || code == Kiv::kTexRGBX32) MakeOpaque(source);

  bool ok = false;
  switch (code) {
    case Kiv::kTexRGBA32:
    case Kiv::kTexRGBX32:
    case Kiv::kTexRGB24: ok = CompressUncompressed(source, target, code); break;
    case Kiv::kTexDXT1:
    case Kiv::kTexDXT3:
    case Kiv::kTexDXT5: {
      ok = OnCompressorThread([&] {
        return RunCompressor(source, target, code, alpha, wrap, normalMap, mipmap, hardware, error);
      });
      break;
    }
    default: error = "unknown texture format code " + std::to_string(code); break;
  }
  if (!ok) {
    target.Clear();
    if (errorText) *errorText = error;
  }
  return ok;
}
