#include "kiv/JpegDecode.h"

#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

#include <jpeglib.h>
#include <jerror.h>

#include "kiv/OnDemandLibrary.h"

namespace Kiv {

namespace {

#define JPEG_FUNCTIONS(X)    \
  X(jpeg_CreateDecompress)   \
  X(jpeg_destroy_decompress) \
  X(jpeg_finish_decompress)  \
  X(jpeg_mem_src)            \
  X(jpeg_read_header)        \
  X(jpeg_read_scanlines)     \
  X(jpeg_start_decompress)   \
  X(jpeg_std_error)

KIV_ON_DEMAND_FUNCTIONS(JpegFunctions, Jpeg, ROVANA_JPEG_LIBRARY, JPEG_FUNCTIONS)

struct ErrorManager {
  jpeg_error_mgr base;
  std::jmp_buf jump;
  char message[JMSG_LENGTH_MAX];
  bool truncated;
};

void OnError(j_common_ptr cinfo) {
  auto* err = reinterpret_cast<ErrorManager*>(cinfo->err);
  (*cinfo->err->format_message)(cinfo, err->message);
  std::longjmp(err->jump, 1);
}

// Warnings are not printed; a premature end of data is remembered, because
// the library would otherwise pad the picture with grey and succeed.
void OnMessage(j_common_ptr cinfo, int level) {
  auto* err = reinterpret_cast<ErrorManager*>(cinfo->err);
  if (level < 0 && cinfo->err->msg_code == JWRN_JPEG_EOF) err->truncated = true;
}

// A progressive file may hold any number of scans; beyond this many it is
// refused rather than decoded for minutes.
constexpr int kMaxScans = 256;

void OnProgress(j_common_ptr cinfo) {
  if (cinfo->is_decompressor) {
    auto* d = reinterpret_cast<j_decompress_ptr>(cinfo);
    if (d->input_scan_number > kMaxScans) {
      auto* err = reinterpret_cast<ErrorManager*>(cinfo->err);
      std::snprintf(err->message, sizeof err->message, "more than %d scans", kMaxScans);
      std::longjmp(err->jump, 1);
    }
  }
}

// Everything between setjmp and a longjmp from the library is plain C data:
// no destructor is ever skipped. The rows go to memory from malloc, freed
// here when the library gives up and else handed to the image.
struct DecodeState {
  jpeg_decompress_struct cinfo;
  ErrorManager err;
  jpeg_progress_mgr progress;
  uint8_t* rows;
  size_t rowBytes;
};

int Decode(DecodeState& s, const uint8_t* data, size_t size, int maxSide, int64_t maxPixels, JpegImage& out,
           char* reason, size_t reasonSize) {
  s.cinfo.err = Jpeg().jpeg_std_error(&s.err.base);
  s.err.base.error_exit = OnError;
  s.err.base.emit_message = OnMessage;
  s.err.truncated = false;
  s.err.message[0] = 0;
  if (setjmp(s.err.jump)) {
    std::snprintf(reason, reasonSize, "%s", s.err.message);
    Jpeg().jpeg_destroy_decompress(&s.cinfo);
    std::free(s.rows);
    s.rows = nullptr;
    return 0;
  }
  Jpeg().jpeg_CreateDecompress(&s.cinfo, JPEG_LIB_VERSION, sizeof(jpeg_decompress_struct));
  s.cinfo.mem->max_memory_to_use = 512L * 1024 * 1024;
  s.progress.progress_monitor = OnProgress;
  s.cinfo.progress = &s.progress;
  Jpeg().jpeg_mem_src(&s.cinfo, data, static_cast<unsigned long>(size));
  Jpeg().jpeg_read_header(&s.cinfo, TRUE);
  if (s.cinfo.image_width == 0 || s.cinfo.image_height == 0 ||
      s.cinfo.image_width > static_cast<JDIMENSION>(maxSide) ||
      s.cinfo.image_height > static_cast<JDIMENSION>(maxSide) ||
      static_cast<int64_t>(s.cinfo.image_width) * s.cinfo.image_height > maxPixels) {
    std::snprintf(reason, reasonSize, "declares %u x %u pixels, more than allowed", s.cinfo.image_width,
                  s.cinfo.image_height);
    Jpeg().jpeg_destroy_decompress(&s.cinfo);
    return 0;
  }
  bool cmyk = s.cinfo.jpeg_color_space == JCS_CMYK || s.cinfo.jpeg_color_space == JCS_YCCK;
  bool gray = s.cinfo.jpeg_color_space == JCS_GRAYSCALE;
  s.cinfo.out_color_space = cmyk ? JCS_CMYK : (gray ? JCS_GRAYSCALE : JCS_RGB);
  Jpeg().jpeg_start_decompress(&s.cinfo);
  int inChannels = s.cinfo.output_components;
  out.width = static_cast<int>(s.cinfo.output_width);
  out.height = static_cast<int>(s.cinfo.output_height);
  out.channels = gray ? 1 : 3;
  s.rowBytes = static_cast<size_t>(out.width) * static_cast<size_t>(inChannels);
  // The rows are written in place, CMYK rows wider than the RGB result, so
  // the buffer takes the larger layout.
  s.rows = static_cast<uint8_t*>(std::malloc(s.rowBytes * static_cast<size_t>(out.height)));
  if (!s.rows) {
    std::snprintf(reason, reasonSize, "out of memory for %d x %d pixels", out.width, out.height);
    Jpeg().jpeg_destroy_decompress(&s.cinfo);
    return 0;
  }
  while (s.cinfo.output_scanline < s.cinfo.output_height) {
    JSAMPROW row = s.rows + s.rowBytes * s.cinfo.output_scanline;
    Jpeg().jpeg_read_scanlines(&s.cinfo, &row, 1);
  }
  Jpeg().jpeg_finish_decompress(&s.cinfo);
  Jpeg().jpeg_destroy_decompress(&s.cinfo);
  out.pixels.Adopt(std::exchange(s.rows, nullptr), s.rowBytes * static_cast<size_t>(out.height));
  if (s.err.truncated) {
    std::snprintf(reason, reasonSize, "truncated JPEG data");
    return 0;
  }
  if (cmyk) {
    // Adobe writes CMYK inverted: each channel times K gives the colour.
    size_t count = static_cast<size_t>(out.width) * static_cast<size_t>(out.height);
    uint8_t* p = out.pixels.data();
    for (size_t i = 0; i < count; ++i) {
      unsigned k = p[4 * i + 3];
      p[3 * i] = static_cast<uint8_t>(p[4 * i] * k / 255);
      p[3 * i + 1] = static_cast<uint8_t>(p[4 * i + 1] * k / 255);
      p[3 * i + 2] = static_cast<uint8_t>(p[4 * i + 2] * k / 255);
    }
    (void)out.pixels.Resize(count * 3);  // shrinking always succeeds
  }
  return 1;
}

}  // namespace

bool DecodeJpeg(const uint8_t* data, size_t size, int maxSide, int64_t maxPixels, JpegImage& out,
                std::string& error) {
  out = JpegImage();
  // The decoder is opened by the first JPEG image.
  if (std::string why; !Jpeg(why)) {
    error = "JPEG images cannot be read: " + why;
    return false;
  }
  DecodeState state;
  std::memset(&state, 0, sizeof state);
  char reason[JMSG_LENGTH_MAX + 64] = {};
  if (!Decode(state, data, size, maxSide, maxPixels, out, reason, sizeof reason)) {
    error = reason[0] ? reason : "corrupt JPEG data";
    out = JpegImage();
    return false;
  }
  return true;
}

}  // namespace Kiv
