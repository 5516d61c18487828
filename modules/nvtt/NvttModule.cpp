// The texture compressor's module: runs nvtt for the texture commands, which
// open it on first use (see graphics/texture/NvttModule.h).
#include <cstring>
#include <exception>
#include <string>

#include <nvtt/nvtt.h>

#include "graphics/texture/NvttModule.h"
#include "modules/nvtt/NvttErrors.h"

namespace {

// Hands nvtt's images on to the caller's functions.
class Forward final : public nvtt::OutputHandler {
public:
  explicit Forward(const RovanaNvttOutput& output) : m_output(output) {}
  void beginImage(int size, int width, int height, int /*depth*/, int /*face*/, int /*miplevel*/) override {
    m_output.begin(m_output.context, size, width, height);
  }
  bool writeData(const void* data, int size) override {
    return m_output.write(m_output.context, data, size) != 0;
  }

private:
  const RovanaNvttOutput& m_output;
};

nvtt::Format Format(int32_t format) {
  switch (format) {
    case kRovanaNvttDXT1: return nvtt::Format_DXT1;
    case kRovanaNvttDXT1a: return nvtt::Format_DXT1a;
    case kRovanaNvttDXT3: return nvtt::Format_DXT3;
    case kRovanaNvttDXT5: return nvtt::Format_DXT5;
    default: return nvtt::Format_RGBA;
  }
}

bool Run(const RovanaNvttJob& job, std::string& error) {
  nvtt::InputOptions input;
  input.setMipmapGeneration(job.mipmap != 0, -1);
  input.setNormalMap(job.normalMap != 0);
  input.setWrapMode(job.wrap ? nvtt::WrapMode_Repeat : nvtt::WrapMode_Clamp);
  input.setTextureLayout(nvtt::TextureType_2D, job.width, job.height, 1);
  input.setFormat(nvtt::InputFormat_BGRA_8UB);
  input.setMipmapData(job.bgra, job.width, job.height, 1, 0, 0);
  // Normal maps average plainly; colour maps get filter value 3, which nvtt
  // has no name for and runs as its Kaiser filter, so it is named as that.
  input.setMipmapFilter(job.normalMap ? nvtt::MipmapFilter_Box : nvtt::MipmapFilter_Kaiser);

  nvtt::CompressionOptions compression;
  compression.setFormat(Format(job.format));
  compression.setQuality(nvtt::Quality_Production);

  Forward handler(job.output);
  OurErrorHandler errors(error);
  nvtt::OutputOptions outputOptions;
  outputOptions.setOutputHandler(&handler);
  outputOptions.setErrorHandler(&errors);
  outputOptions.setOutputHeader(false);

  nvtt::Compressor compressor;
  compressor.enableCudaAcceleration(job.hardware != 0);
  return compressor.process(input, compression, outputOptions);
}

int Compress(RovanaNvttJob* job) {
  if (!job) return 0;
  job->error[0] = '\0';
  std::string error;
  bool ok = false;
  // Nothing may unwind into the caller, which is not C++ as far as this
  // module knows.
  try {
    ok = Run(*job, error);
  } catch (const std::exception& e) {
    error = e.what();
  } catch (...) {
    error = "texture compressor failed";
  }
  std::strncpy(job->error, error.c_str(), sizeof job->error - 1);
  job->error[sizeof job->error - 1] = '\0';
  return ok ? 1 : 0;
}

const RovanaNvttModule kModule{kRovanaNvttVersion, &Compress};

}  // namespace

extern "C" __attribute__((visibility("default"))) const RovanaNvttModule* RovanaNvttEntry(void) {
  return &kModule;
}
