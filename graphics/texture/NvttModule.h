#pragma once
// The boundary between the texture compressor and nvtt. nvtt and the image
// libraries it pulls in live in a module of their own ("rovana_nvtt.so",
// built beside the programs), opened the first time a texture is block
// compressed, so no other command maps them. Only plain C types cross.
#include <cstdint>

extern "C" {

// The module's table: a module of another version is refused whole.
constexpr uint32_t kRovanaNvttVersion = 1;
constexpr const char* kRovanaNvttFile = "rovana_nvtt.so";
constexpr const char* kRovanaNvttEntry = "RovanaNvttEntry";

// What the compressor makes: the mip chain uncompressed (32-bit BGRA), or one
// level in a block format.
enum RovanaNvttFormat : int32_t {
  kRovanaNvttPlain = 0,
  kRovanaNvttDXT1 = 1,
  kRovanaNvttDXT1a = 2,  // DXT1 with one-bit alpha
  kRovanaNvttDXT3 = 3,
  kRovanaNvttDXT5 = 4,
};

// Where the images go: begin is called once per image, then write with its
// bytes in order; write returns 0 to refuse them.
struct RovanaNvttOutput {
  void* context;
  void (*begin)(void* context, int size, int width, int height);
  int (*write)(void* context, const void* data, int size);
};

struct RovanaNvttJob {
  const uint8_t* bgra;
  int32_t width, height;
  int32_t format;  // RovanaNvttFormat
  int32_t wrap, normalMap, mipmap, hardware;
  RovanaNvttOutput output;
  char error[256];  // the compressor's reason when it fails (may stay empty)
};

struct RovanaNvttModule {
  uint32_t version;  // kRovanaNvttVersion
  // One compressor run over one image: 1 when it succeeded, 0 when not.
  int (*compress)(RovanaNvttJob* job);
};

// The module's one exported function (named kRovanaNvttEntry).
const RovanaNvttModule* RovanaNvttEntry(void);

}  // extern "C"
