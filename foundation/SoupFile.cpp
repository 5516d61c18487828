// Loading and saving soups as files, in the form their extension names.
#include <string>
#include <vector>

#include "foundation/Soup.h"
#include "kiv/File.h"
#include "foundation/Log.h"
#include "kiv/String.h"

namespace {

enum class SoupForm { Unknown, Text, Binary };

SoupForm FormOf(std::string_view path, std::string_view ext) {
  std::string e = ext.empty() ? Kiv::File::Path(path).GetExt() : std::string(ext);
  if (!e.empty() && e.front() == '.') e.erase(0, 1);
  e = Kiv::ToLowerAscii(e);
  if (e == "txt") return SoupForm::Text;
  if (e == "chump" || e == "cdp" || e == "cdp2") return SoupForm::Binary;
  return SoupForm::Unknown;
}

std::string FullPath(std::string_view baseFolder, std::string_view path) {
  if (baseFolder.empty()) return std::string(path);
  return Kiv::File::Path(baseFolder).Join(path).Str();
}

// Parses bytes in a known form; failure: the line to log about `full`.
bool ParseInForm(SoupForm form, std::string_view bytes, std::string_view full, SoupRef& soup,
                 std::string& failure) {
  if (form == SoupForm::Text) {
    std::string error;
    if (ParseSoupText(bytes, soup, &error)) return true;
    failure.assign("LoadSoupFile> '").append(full).append("' ").append(error);
    return false;
  }
  if (TDBBinaryFile::Decode(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), soup)) return true;
  failure.assign("LoadSoupFile> '").append(full).append("' is not a valid binary soup");
  return false;
}

// Reads the file (as spelled, or matched without regard to case) and parses it in its form.
bool LoadInForm(SoupRef& soup, const std::string& full, std::string_view path, std::string_view ext,
                uint64_t maxBytes, bool asSpelled) {
  soup.Clear();
  SoupForm form = FormOf(path, ext);
  if (form == SoupForm::Unknown) {
    LogLine("LoadSoupFile> '%s' is not a soup file type", full.c_str());
    return false;
  }
  // A large text is mapped: the parse copies what it keeps, so reading the
  // whole file first would only add its size to the peak.
  std::string bytes;
  Kiv::MappedFile mapped;
  if (asSpelled && form == SoupForm::Text
          ? !Kiv::File::ReadOrMapWholeFileAsSpelled(full, bytes, mapped, maxBytes)
      : asSpelled ? !Kiv::File::ReadWholeFileAsSpelled(full, bytes, maxBytes)
                  : !Kiv::File::ReadWholeFile(full, bytes, maxBytes))
    return false;
  std::string failure;
  const bool parsed = ParseInForm(
      form, mapped.Data() ? std::string_view(mapped.Data(), mapped.Size()) : std::string_view(bytes), full,
      soup, failure);
  if (mapped.Shrank()) {
    soup.Clear();
    LogLine("LoadSoupFile> '%s' changed while it was read", full.c_str());
    return false;
  }
  if (parsed) return true;
  LogLine("%s", failure.c_str());
  return false;
}

}  // namespace

bool LoadSoupFile(SoupRef& soup, std::string_view baseFolder, std::string_view path, std::string_view ext,
                  uint64_t maxBytes) {
  return LoadInForm(soup, FullPath(baseFolder, path), path, ext, maxBytes, false);
}

bool LoadSoupFileAsSpelled(SoupRef& soup, std::string_view path, uint64_t maxBytes) {
  return LoadInForm(soup, std::string(path), path, {}, maxBytes, true);
}

bool ParseSoupFileBytes(std::string_view bytes, std::string_view path, SoupRef& soup, std::string& failure) {
  soup.Clear();
  const SoupForm form = FormOf(path, {});
  if (form == SoupForm::Unknown) {
    failure.assign("LoadSoupFile> '").append(path).append("' is not a soup file type");
    return false;
  }
  if (ParseInForm(form, bytes, path, soup, failure)) return true;
  soup.Clear();
  return false;
}

bool SaveSoupFile(const SoupRef& soup, std::string_view baseFolder, std::string_view path,
                  std::string_view ext) {
  std::string full = FullPath(baseFolder, path);
  std::string bytes;
  bool encoded = false;
  switch (FormOf(path, ext)) {
    case SoupForm::Text: encoded = WriteSoupText(soup, bytes); break;
    case SoupForm::Binary: encoded = TDBBinaryFile::Encode(soup, bytes); break;
    case SoupForm::Unknown: break;
  }
  if (!encoded) {
    LogLine("SaveSoupFile> cannot write '%s' in this form", full.c_str());
    return false;
  }
  return Kiv::File::ReplaceFileAtomic(full, bytes);
}

bool LoadSoupFileWithBackup(std::string_view folder, std::string_view name, SoupRef& out) {
  if (LoadSoupFile(out, folder, name, "txt")) return true;
  std::string backup(name);
  backup += ".tmp";
  return LoadSoupFile(out, folder, backup, "txt");
}
