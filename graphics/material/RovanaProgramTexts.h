#pragma once
// The program texts of the bump materials: one vertex program set and six
// pixel programs, registered with the display's program managers under the
// names below and then looked up by program name. Texts have CR LF line ends.
#include <string>
#include <vector>

namespace Kiv {

inline constexpr const char* kBumpVertexSetName = "RovanaBumpMaterial_Vtx";

// The vertex program set "RovanaBumpMaterial_Vtx".
const std::string& BumpVertexProgramText();

struct PixelProgramText {
  const char* name;
  const std::string& text;
};
// The six pixel programs, each under its registration name.
const std::vector<PixelProgramText>& BumpPixelProgramTexts();
// The text of one pixel program; empty for an unknown name.
const std::string& BumpPixelProgramText(const std::string& name);

}  // namespace Kiv
