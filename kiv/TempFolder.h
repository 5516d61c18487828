#pragma once
// A fresh folder of its own under the system's temporary folder, removed with
// everything in it when the object goes: the one scratch folder of tests,
// benchmarks and fuzz targets.
#include <string>
#include <string_view>

namespace Kiv {

class TempFolder {
public:
  // The folder is named "<prefix>-" and eight lower-case hex digits under
  // $TMPDIR (else /tmp); Root() is empty when it cannot be made.
  explicit TempFolder(std::string_view prefix = "rovana");
  ~TempFolder();
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;

  const std::string& Root() const { return m_root; }
  // The path of relative below the root.
  std::string Path(std::string_view relative) const;
  // Makes the folder (and its parents) and returns its path.
  std::string MakeDir(std::string_view relative) const;
  // Writes the bytes to the file, making its folders, and returns its path.
  std::string Write(std::string_view relative, std::string_view bytes) const;

private:
  std::string m_root;
};

}  // namespace Kiv
