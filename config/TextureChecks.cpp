#include "config/TextureChecks.h"

#include <sys/stat.h>

#include <mutex>
#include <optional>
#include <string_view>
#include <unordered_map>
#include <utility>

#include "config/AssetFiles.h"
#include "config/AssetPaths.h"
#include "config/Container.h"
#include "config/DataManager.h"
#include "config/ErrorHandler.h"
#include "config/Messages.h"
#include "kiv/Bitmap.h"
#include "kiv/File.h"
#include "kiv/String.h"

namespace OBLLib {

namespace {

const Kiv::PString kDuplicateTexture("$obl_duplicatetexture");
const Kiv::PString kFailedLoad("$obl_texture_failedload");
const Kiv::PString kNonAnsi("$obl_non_ansi_texture");
const Kiv::PString kMissingPrimary("$obl_texture_missing_primary");
const Kiv::PString kMissingAlpha("$obl_texture_missing_alpha");
const Kiv::PString kNotPower2("$obl_texture_notpower2");
const Kiv::PString kNotSameSize("$obl_primaryalpha_notsamesize");
const Kiv::PString kConversionFailed("$obl_binary_texture_conversion_failed");
const Kiv::PString kSetAside("$obl_texture_set_aside");
const Kiv::PString kSetAsideBesideOther("$obl_texture_set_aside_beside_other");

// Settings lines are read in pieces of at most this many characters; a
// longer line continues as a piece of its own.
constexpr size_t kLinePiece = 511;
// Longest settings file read; a texture description is a few lines.
constexpr int64_t kMaxSettingsBytes = 1 << 20;

struct Settings {
  std::string primary, alpha;
  bool nonAnsi = false;
};

// One piece of a settings line: "Primary=" and "Alpha=" (case-sensitive, at
// the start) name the images, the last of each kind winning. A zero byte ends
// the piece's text.
void ReadPiece(std::string_view piece, Settings& out) {
  piece = piece.substr(0, piece.find('\0'));
  for (unsigned char c : piece)
    if (c >= 128) out.nonAnsi = true;
  while (!piece.empty() && (piece.back() == '\n' || piece.back() == '\r')) piece.remove_suffix(1);
  auto name = [&](std::string_view prefix, std::string& into) {
    if (piece.substr(0, prefix.size()) != prefix) return;
    std::string_view rest = piece.substr(prefix.size());
    into.clear();
    for (char c : rest)
      if (c != '\r' && c != '\n') into += c;
  };
  name("Primary=", out.primary);
  name("Alpha=", out.alpha);
}

// What an asset check has read of its descriptions: the mesh checks and
// the file checks both read them, each file once per check.
struct DescriptionCache {
  std::mutex mutex;
  bool keeping = false;
  std::unordered_map<std::string, std::pair<bool, Settings>> read;
};
DescriptionCache& Descriptions() {
  static DescriptionCache cache;
  return cache;
}

bool ReadSettingsFile(const std::string& path, Settings& out) {
  std::string text;  // a file over the limit does not read
  if (!Kiv::File::ReadWholeFile(path, text, kMaxSettingsBytes)) return false;
  std::string_view rest = text;
  while (!rest.empty()) {
    size_t end = rest.find('\n');
    end = end == std::string_view::npos ? rest.size() : end + 1;
    end = std::min(end, kLinePiece);
    ReadPiece(rest.substr(0, end), out);
    rest.remove_prefix(end);
  }
  return true;
}

bool ReadSettings(const std::string& path, Settings& out) {
  DescriptionCache& cache = Descriptions();
  std::lock_guard<std::mutex> lock(cache.mutex);
  if (!cache.keeping) return ReadSettingsFile(path, out);
  auto [it, made] = cache.read.try_emplace(path);
  if (made) it->second.first = ReadSettingsFile(path, it->second.second);
  if (it->second.first) out = it->second.second;
  return it->second.first;
}

class Walker {
public:
  // files: the asset's listings, when the walk runs in a whole asset check.
  explicit Walker(const std::string& top, AssetFiles* files = nullptr) : m_top(top), m_files(files) {
    const DataManager* dm = DataManager::Existing();
    m_noDuplicateCheck = dm && dm->checkOptions[0];
    m_conversionCheck = dm && dm->checkOptions[1];
    m_duplicateIsWarning = dm && BuildHundredths(dm->build) < 290;
  }

  bool Walk(const std::string& folder) {
    bool ok = true;
    for (const Listed& entry : EntriesOf(folder)) {
      const std::string full = Kiv::File::Path(folder).Join(entry.name).Str();
      // A linked folder may lead back up the tree: only real subfolders are walked.
      if (entry.directory && !entry.link) ok = Walk(full) && ok;
      ok = CheckEntry(full, entry.directory) && ok;
    }
    return ok;
  }

private:
  struct Listed {
    std::string name;
    bool directory, link;
  };
  // The folder's entries in Find's order; a folder (link or not) counts as one.
  std::vector<Listed> EntriesOf(const std::string& folder) {
    std::vector<Listed> out;
    if (m_files) {
      const std::string relative = Relative(folder);
      if (const std::vector<AssetFiles::Entry>* entries = m_files->List(relative)) {
        for (const AssetFiles::Entry& e : *entries) {
          const std::string name = relative.empty() ? e.name : relative + "/" + e.name;
          out.push_back({e.name, m_files->IsFolder(name), e.kind == Kiv::File::EntryKind::kLink});
        }
      }
      return out;
    }
    for (Kiv::File::Find find(Kiv::File::Path(folder).Join("*").Str()); find.Next();) {
      const std::string full = Kiv::File::Path(folder).Join(find.Name()).Str();
      out.push_back({find.Name(), find.IsDirectory(), find.IsDirectory() && Kiv::File::IsSymlink(full)});
    }
    return out;
  }
  bool Exists(const std::string& full) {
    return m_files ? m_files->Match(Relative(full)).has_value() : Kiv::File::Exists(full);
  }
  // As spelled: a file whose name differs only in case is another one.
  bool ExistsAsSpelled(const std::string& full) {
    if (!m_files) {
      struct stat st;
      return ::lstat(full.c_str(), &st) == 0;
    }
    const std::optional<std::string> found = m_files->Match(Relative(full));
    return found && *found == Relative(full);
  }

  // The path as findings name it: below the top folder, without the separator.
  std::string Relative(std::string_view path) const {
    path.remove_prefix(std::min(m_top.size(), path.size()));
    while (!path.empty() && (path.front() == '/' || path.front() == '\\')) path.remove_prefix(1);
    return std::string(path);
  }
  void Error(const Kiv::PString& key, std::initializer_list<FormatArg> args) {
    if (ErrorHandler* eh = ErrorHandler::Instance()) eh->Error(FormatMessage(key, args));
  }

  bool CheckEntry(const std::string& full, bool directory) {
    // Most files are neither textures nor settings files: their extension says so.
    const std::string_view name = std::string_view(full).substr(full.find_last_of("/\\") + 1);
    const size_t dot = name.rfind('.');
    if (dot == std::string_view::npos) return true;
    const std::string_view extension = name.substr(dot + 1);
    auto endsWith = [](std::string_view text, std::string_view tail) {
      return text.size() >= tail.size() &&
             Kiv::CompareNoCase(text.substr(text.size() - tail.size()), tail) == 0;
    };
    if (Kiv::CompareNoCase(extension, "txt") == 0) {
      const std::string_view stem = name.substr(0, dot);
      if (!endsWith(stem, ".texture") && !endsWith(stem, ".convert-tex")) return true;
    } else if (Kiv::CompareNoCase(extension, "texture") != 0) {
      return true;
    }
    const Kiv::File::Path path(full);
    const std::string ext = path.GetExt();
    if (Kiv::CompareNoCase(ext, "texture") == 0) {
      if (m_noDuplicateCheck || !Exists(full + ".txt")) return true;
      const Kiv::PString text = FormatMessage(kDuplicateTexture, {Relative(full)});
      if (ErrorHandler* eh = ErrorHandler::Instance()) {
        if (m_duplicateIsWarning)
          eh->Warning(text);
        else
          eh->Error(text);
      }
      return false;
    }
    if (Kiv::CompareNoCase(ext, "txt") != 0) return true;
    Kiv::File::Path stem = path;
    stem.SetExt("");
    if (stem.IsExt("convert-tex")) {
      Error(kFailedLoad, {Relative(full)});
      // A texture description that a stopped conversion left under its
      // conversion name: say so, and how to get it back.
      Kiv::File::Path description = stem;
      description.SetExt("");
      if (description.IsExt("texture")) {
        description.AddToLast(".txt");
        const std::string own = description.Str();
        if (ErrorHandler* eh = ErrorHandler::Instance())
          eh->Warning(FormatMessage(ExistsAsSpelled(own) ? kSetAsideBesideOther : kSetAside,
                                    {Relative(own), Relative(full)}));
      }
      return false;
    }
    if (!stem.IsExt("texture")) return true;
    return CheckSettingsFile(full, stem.Str(), directory);
  }

  struct Image {
    bool loaded = false;
    int width = 0, height = 0;
  };

  // Checks one named image; false when it was reported. stop is set when it
  // did not load, which ends the checks of its settings file.
  bool CheckImage(const std::string& folder, const std::string& name, const std::string& settings,
                  const Kiv::PString& missingKey, Image& image, bool& stop) {
    const std::string lower = Kiv::ToLowerAscii(name);
    // Images are looked for inside the asset folder only.
    const std::string relativeFolder = Relative(folder);
    const std::optional<std::string> inside = JoinInsideContentFolder(relativeFolder, lower);
    // Named as the settings file writes it, or as the file system spells it
    // once found.
    std::string shown = Kiv::File::Path(relativeFolder).Join(name).Str();
    std::optional<std::string> full;
    bool isFolder = false;
    if (inside && m_files) {
      full = m_files->Find(*inside);
      const std::optional<std::string> onDisk = full ? m_files->Match(*inside) : std::nullopt;
      isFolder = onDisk && m_files->IsFolder(*onDisk);
    } else if (inside) {
      full = Kiv::ResolvePath(Kiv::File::Path(m_top).Join(*inside).View());
      if (full && !UsableThroughLinks(m_top, m_top, *full)) full.reset();
      isFolder = full && Kiv::File::IsDirectory(*full);
    }
    if (!full || isFolder) {
      Error(missingKey, {shown, Relative(settings)});
      return false;
    }
    shown = Kiv::SpelledOnDisk(*full, shown);
    // Only whether the image loads and its size are checked, so it is
    // probed rather than decoded, once however many settings files name it.
    auto [probed, made] = m_probed.try_emplace(*full);
    if (made) probed->second.loaded = Kiv::Bitmap::Probe(Kiv::PString(*full), probed->second.size);
    if (!probed->second.loaded || probed->second.size.width <= 0 || probed->second.size.height <= 0) {
      Error(kFailedLoad, {shown});
      stop = true;
      return false;
    }
    image.loaded = true;
    image.width = probed->second.size.width;
    image.height = probed->second.size.height;
    auto power2 = [](int d) { return (d & (d - 1)) == 0; };
    if (!power2(image.width) || !power2(image.height)) {
      Error(kNotPower2, {shown});
      return false;
    }
    return true;
  }

  bool CheckSettingsFile(const std::string& full, const std::string& binary, bool directory) {
    Settings settings;
    // A settings file linked from outside the asset is not read.
    const bool usable =
        m_files ? m_files->Find(Relative(full)).has_value() : UsableThroughLinks(m_top, m_top, full);
    if (directory || !usable || !ReadSettings(full, settings)) {
      // A settings file that cannot be read is reported, not passed over.
      Error(kFailedLoad, {Relative(full)});
      return false;
    }
    bool ok = true;
    if (settings.nonAnsi) {
      Error(kNonAnsi, {Relative(full)});
      ok = false;
    }
    Kiv::File::Path folderPath(full);
    folderPath.RemoveFileName();
    const std::string folder = folderPath.Str();
    Image primary, alpha;
    bool stop = false;
    if (!settings.primary.empty())
      ok = CheckImage(folder, settings.primary, full, kMissingPrimary, primary, stop) && ok;
    if (stop) return false;
    if (!settings.alpha.empty())
      ok = CheckImage(folder, settings.alpha, full, kMissingAlpha, alpha, stop) && ok;
    if (stop) return false;
    // Sizes are compared only between images that loaded.
    if (primary.loaded && alpha.loaded && (primary.width != alpha.width || primary.height != alpha.height)) {
      Error(kNotSameSize, {Relative(full)});
      ok = false;
    }
    if (m_conversionCheck && !Exists(binary)) {
      Error(kConversionFailed, {Relative(full)});
      ok = false;
    }
    return ok;
  }

  struct Probed {
    bool loaded = false;
    Kiv::Bitmap::Size size;
  };
  std::unordered_map<std::string, Probed> m_probed;
  std::string m_top;
  AssetFiles* m_files = nullptr;
  bool m_noDuplicateCheck = false;
  bool m_conversionCheck = false;
  bool m_duplicateIsWarning = false;
};

}  // namespace

bool ValidateTextureFiles(const std::string& topFolder, const std::string& currentFolder) {
  return Walker(topFolder).Walk(currentFolder);
}

bool ValidateTextureFiles(AssetFiles& files) { return Walker(files.Folder(), &files).Walk(files.Folder()); }

void KeepTextureDescriptions(bool keep) {
  DescriptionCache& cache = Descriptions();
  std::lock_guard<std::mutex> lock(cache.mutex);
  cache.keeping = keep;
  cache.read.clear();
}

bool ReadTexturePrimary(const std::string& descriptionPath, std::string& primary) {
  Settings settings;
  if (!ReadSettings(descriptionPath, settings) || settings.primary.empty()) return false;
  primary = settings.primary;
  return true;
}

}  // namespace OBLLib
