#pragma once
// Checks of the texture files in an asset folder: texture settings files
// ("*.texture.txt") and the images they name, converted textures beside
// their settings files, and conversion descriptors left behind. Findings go
// to the error handler, unattributed.
#include <string>

namespace OBLLib {

class AssetFiles;

// Walks currentFolder and its subfolders (symbolic links to folders are not
// followed) and checks every texture file found; files are named in findings
// relative to topFolder. True when nothing was reported. Files are only read.
[[nodiscard]] bool ValidateTextureFiles(const std::string& topFolder, const std::string& currentFolder);
// The same over the asset folder of a whole asset check, from its listings.
[[nodiscard]] bool ValidateTextureFiles(AssetFiles& files);

// While kept (during one asset check), each description is read once and
// its content kept; turning keeping on or off forgets what was kept.
void KeepTextureDescriptions(bool keep);

// The image a texture description ("*.texture.txt") names on its "Primary="
// line (the last such line wins). False when the file does not read or has
// no such line.
[[nodiscard]] bool ReadTexturePrimary(const std::string& descriptionPath, std::string& primary);

}  // namespace OBLLib
