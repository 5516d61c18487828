#pragma once
// Shared by the fuzz targets that take more than one piece of outside data
// from one input.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// A command line: `program`, then the input's pieces between NUL bytes.
inline std::vector<std::string> FuzzArguments(const uint8_t* data, size_t size, const char* program) {
  std::vector<std::string> args{program};
  const char* text = reinterpret_cast<const char*>(data);
  for (size_t start = 0; start <= size;) {
    const void* nul = std::memchr(text + start, 0, size - start);
    const size_t end = nul ? size_t(static_cast<const char*>(nul) - text) : size;
    args.emplace_back(text + start, end - start);
    start = end + 1;
  }
  return args;
}

// The input before the first line `marker`, and after it (empty when none).
inline std::pair<std::string_view, std::string_view> FuzzParts(const uint8_t* data, size_t size,
                                                               std::string_view marker) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const std::string line = "\n" + std::string(marker) + "\n";
  const size_t cut = input.find(line);
  if (cut == std::string_view::npos) return {input, {}};
  return {input.substr(0, cut), input.substr(cut + line.size())};
}
