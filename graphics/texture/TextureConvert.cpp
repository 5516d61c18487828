#include "graphics/texture/TextureConvert.h"

#include <algorithm>
#include <atomic>
#include <deque>
#include <memory>
#include <optional>
#include <thread>

#include "foundation/FileUtil.h"
#include "foundation/InterfaceTextDB.h"
#include "foundation/ResultsLog.h"
#include "foundation/Soup.h"
#include "kiv/File.h"
#include "kiv/String.h"
#include "graphics/texture/CompressAsciiResource.h"
#include "graphics/texture/RovanaResourceDatabase.h"
#include "umbclient/AssetRequests.h"
#include "umbclient/ContentFolders.h"

namespace {

std::atomic<unsigned> g_workers{0};

// Job flags of the three chain steps: the load runs on the thread that
// walks the folder, the write and the release on workers.
constexpr uint32_t kConvertFileFlags = 11;
constexpr uint32_t kWriteOutputFlags = 24;
constexpr uint32_t kReleaseFlags = 9;

constexpr int kMaxFolderDepth = 64;

// The folder of the content set a description is converted in.
std::string SetFolderFor(const std::string& setName, const std::string& path, const std::string& walkRoot) {
  const std::string root = GetContentRootPath();
  if (!setName.empty())
    return root.empty() ? GetContentFolderPath(setName) : Kiv::File::Path(root).Join(setName).Str();
  if (!root.empty()) return root;
  std::string key, relative;
  if (SplitContentPath(path, key, relative)) return GetContentFolderPath(key);
  return walkRoot;
}

}  // namespace

void SetTextureConversionWorkers(unsigned workers) { g_workers = workers; }

namespace {
TextureConversionProgress g_progress;
}

void SetTextureConversionProgress(TextureConversionProgress progress) { g_progress = std::move(progress); }

unsigned GetTextureConversionWorkers() {
  unsigned n = g_workers.load();
  return n == 0 ? Kiv::UsableCores() : n;
}

// ---------------------------------------------------------------------------
// One job.

UMBTextureConvertFileRPC::UMBTextureConvertFileRPC(JobQueue* queue) : m_chain(queue) {}

UMBTextureConvertFileRPC::~UMBTextureConvertFileRPC() {
  m_chain.WaitUntilDone();
  // A chain that never ran leaves its restoring steps to the destructor.
  MoveBack();
  ReleaseResource(nullptr);
}

void UMBTextureConvertFileRPC::Error(std::string_view text, const char* name1, const std::string& value1,
                                     const char* name2, const std::string& value2) {
  m_success = false;
  if (!m_log) return;
  SoupRef params;
  params.SetNamedTag(Kiv::PString(name1), value1);
  if (name2) params.SetNamedTag(Kiv::PString(name2), value2);
  m_log->AddResult(ResultsLog::kError, nullptr, text, params);
}

// The set named in messages: its name, or for a plain folder walk the folder
// the description is converted in.
std::string UMBTextureConvertFileRPC::SetLabel() const { return m_setName.empty() ? m_setFolder : m_setName; }

void UMBTextureConvertFileRPC::Start(const std::string& setName, const std::string& path, ResultsLog* log,
                                     const std::string& walkRoot) {
  m_setName = setName;
  m_path = path;
  m_log = log;
  m_success = true;
  Prepare(walkRoot);
  // The chain is not running yet, so no step is refused.
  (void)m_chain.AddStep(std::make_unique<TCXCallbackCPPVoidPtr<UMBTextureConvertFileRPC>>(
                            this, &UMBTextureConvertFileRPC::ConvertFile),
                        kConvertFileFlags);
  // The chain is not running yet, so no step is refused.
  (void)m_chain.AddStep(std::make_unique<TCXCallbackCPPVoidPtr<UMBTextureConvertFileRPC>>(
                            this, &UMBTextureConvertFileRPC::WriteOutput),
                        kWriteOutputFlags);
  // The chain is not running yet, so no step is refused.
  (void)m_chain.AddStep(std::make_unique<TCXCallbackCPPVoidPtr<UMBTextureConvertFileRPC>>(
                            this, &UMBTextureConvertFileRPC::ReleaseResource),
                        kReleaseFlags);
  if (m_chain.StepCount() > 0 && !m_chain.Start()) {
    // A stopped queue runs nothing; the description was never moved.
    Error("Unable to write output file '$(FILE_NAME)'", "file_name",
          m_outputName.empty() ? m_path : m_outputName);
  }
}

void UMBTextureConvertFileRPC::Prepare(const std::string& walkRoot) {
  const std::string path = Kiv::AbsolutePath(m_path);
  m_walkRoot = Kiv::AbsolutePath(walkRoot);
  std::string setFolder = SetFolderFor(m_setName, path, m_walkRoot);
  Kiv::File::Path relative(path);
  if (setFolder.empty() || !relative.MakeRelativeTo(Kiv::File::Path(Kiv::AbsolutePath(setFolder)))) {
    Error("Unable to determine relative path for '$(FILE_NAME)'", "file_name", m_path);
    return;
  }
  m_setFolder = Kiv::AbsolutePath(setFolder);
  m_outputName = Kiv::File::Path(relative).SetExt("").Str();
  m_sourceName = relative.Str();
  m_convName = Kiv::File::Path(relative).SetExt("convert-tex.txt").Str();
  m_prepared = true;
}

void UMBTextureConvertFileRPC::ConvertFile(void*) {
  if (!m_prepared) return;
  // Renamed only while it loads, so that a run stopped at any moment leaves at
  // most the descriptions loading then under their conversion name: once
  // loaded, the texture needs the file no more and it is compressed with the
  // description back in place. An old output stays until the new one is
  // complete; the writer replaces it.
  if (!RenameFileUnder(m_setFolder.c_str(), m_sourceName, m_convName)) {
    Error("Unable to rename file '$(FILE_NAME)' in subst '$(ARCHIVE)'", "file_name", m_sourceName, "archive",
          SetLabel());
    return;
  }
  m_moved = true;
  Load();
  MoveBack();
}

void UMBTextureConvertFileRPC::Load() {
  m_folder = RovanaResourceDatabase::Open(m_setName, m_setFolder);
  if (!m_folder) {
    Error("$umbtexture_invalid_subst", "archive", SetLabel());
    return;
  }
  const Kiv::Ref<Kiv::TextureResource> resource = m_folder->GetTextureResource(m_convName);
  if (!resource) {
    Error("$umbtexture_open_error", "file_name", m_sourceName, "archive", SetLabel());
    return;
  }
  m_resource = dynamic_cast<CompressAsciiResource*>(resource.Get());
  if (!m_resource) {
    Error("$umbtexture_incorrect_resource", "file_name", m_sourceName, "archive", SetLabel());
    return;
  }
  // Fixed option text that parses.
  (void)m_options.SetRaw("-Automip=none -Compression=auto");
  m_resource->SetOptions(&m_options);
  m_resource->SetImageRoot(m_walkRoot);
  // Large images take turns: the load waits here, before it decodes, until
  // the memory it needs is free.
  m_resource->SetImageAdmit([this](int width, int height) {
    m_imageMemory.Take(ImageMemory::LoadBytes(width, height));
    return true;
  });
  if (m_resource->Lock() != 0) {
    Error("$umbtexture_load_error", "file_name", m_sourceName, "archive", SetLabel());
    // Say why: the key's text names the file, not the fault.
    if (m_log)
      m_log->AddResult(ResultsLog::kInformation, nullptr, m_sourceName + ": " + m_resource->LoadError());
    return;
  }
  if (!m_resource->Kiv::TextureResource::GetMipLock()) {
    Error("$umbtexture_lock_error", "file_name", m_sourceName, "archive", SetLabel());
    m_resource->Unlock();
    return;
  }
  m_loaded = true;
}

void UMBTextureConvertFileRPC::WriteOutput(void*) {
  try {
    if (m_loaded) {
      const bool hardware = !UMBQueryTextureOption();
      const std::string output = Kiv::File::Path(m_setFolder).Join(m_outputName).Str();
      if (!m_resource->SaveCompressed(output, hardware)) {
        Error("Unable to write output file '$(FILE_NAME)'", "file_name", m_outputName);
        if (m_log && !m_resource->LastTextureError().empty())
          m_log->AddResult(ResultsLog::kInformation, nullptr, m_resource->LastTextureError());
      }
    }
  } catch (const std::exception& e) {
    Error("Exception '$(ERROR)' thrown while processing '$(FILE_NAME)'", "error", e.what(), "file_name",
          m_outputName);
  }
  MoveBack();
}

void UMBTextureConvertFileRPC::MoveBack() {
  if (!m_moved) return;
  m_moved = false;
  if (!RenameFileUnder(m_setFolder.c_str(), m_convName, m_sourceName))
    Error("Unable to rename file '$(FILE_NAME)' in subst '$(ARCHIVE)'", "file_name", m_convName, "archive",
          SetLabel());
}

void UMBTextureConvertFileRPC::ReleaseResource(void*) {
  if (m_loaded) {
    // The lock was taken above.
    (void)m_resource->GetMipUnlock();
    m_resource->Unlock();
    m_loaded = false;
  }
  if (m_resource) m_resource->SetImageAdmit({});
  m_resource.Reset();
  m_folder.reset();  // gives the content folder back to the folder cache
  m_imageMemory.Release();
}

// ---------------------------------------------------------------------------
// The folder walk.

namespace {

class FolderConversion {
public:
  FolderConversion(const std::string& setName, const std::string& root, ResultsLog& log)
      : m_setName(setName),
        m_root(root),
        m_log(log),
        m_queue(Kiv::CurrentThreadId(), GetTextureConversionWorkers()),
        m_maxPending(GetTextureConversionWorkers() + 1) {}

  // Every job is waited for and freed before the log can go.
  ~FolderConversion() {
    while (!m_pending.empty()) FinishOldest();
    m_queue.Stop();
    // The content folders the jobs opened are no longer held by anyone.
    FolderCache::Purge();
  }

  // Counts the descriptions Walk would convert, starting nothing and reporting nothing.
  size_t Count(const std::string& folder) {
    m_counting = true;
    m_found = 0;
    Walk(folder, 0);
    m_counting = false;
    return m_found;
  }

  bool Walk(const std::string& folder, int depth) {
    if (depth > kMaxFolderDepth || !Kiv::File::IsDirectory(folder)) {
      if (m_counting) return false;
      SoupRef params;
      params.SetNamedTag(Kiv::PString("file_name"), folder);
      m_log.AddResult(ResultsLog::kError, nullptr, "Unable to search path: '$(FILE_NAME)'", params);
      return false;
    }
    bool ok = true;
    // The listing is taken whole before any job renames a file in it.
    Kiv::File::Find find(Kiv::File::Path(folder).Join("*").Str());
    while (find.Next()) {
      const std::string path = find.FullPath();
      if (find.IsDirectory()) {
        if (Kiv::File::IsSymlink(path)) continue;  // a linked folder could lead back up
        if (!Walk(path, depth + 1)) ok = false;
      } else if (IsTextureTxtFile(find.Name())) {
        if (m_counting) {
          ++m_found;
          continue;
        }
        auto record = std::make_unique<UMBTextureConvertFileRPC>(&m_queue);
        record->Start(m_setName, path, &m_log, m_root);
        m_pending.push_back(std::move(record));
        // Bounded so the loaded textures in memory stay few.
        if (m_pending.size() >= m_maxPending) FinishOldest();
      }
    }
    return ok;
  }

  // Waits for every job; the overall flag and whether a chain failed.
  void FinishAll() {
    while (!m_pending.empty()) FinishOldest();
  }
  bool AllSucceeded() const { return m_allSucceeded; }
  bool ChainFailed() const { return m_chainFailed; }

private:
  void FinishOldest() {
    std::unique_ptr<UMBTextureConvertFileRPC> record = std::move(m_pending.front());
    m_pending.pop_front();
    record->Chain().WaitUntilDone();
    if (!record->Succeeded()) m_allSucceeded = false;
    if (record->Chain().Failed()) {
      m_chainFailed = true;
      std::string text = GetInterfaceText(Kiv::PString("$umb_texture_compress_err")).Str();
      text += " (" + record->SourceName() + ")";
      m_log.AddResult(ResultsLog::kError, nullptr, text);
    }
    ++m_done;
    if (m_progress) m_progress(m_done, std::max(m_done, m_total));
  }

public:
  // Reports each finished description to `progress`, of `total`.
  void ReportTo(TextureConversionProgress progress, size_t total) {
    m_progress = std::move(progress);
    m_total = total;
  }

private:
  std::string m_setName;
  std::string m_root;
  ResultsLog& m_log;
  JobQueue m_queue;
  size_t m_maxPending;
  std::deque<std::unique_ptr<UMBTextureConvertFileRPC>> m_pending;
  bool m_allSucceeded = true;
  bool m_chainFailed = false;
  bool m_counting = false;
  size_t m_found = 0;
  size_t m_done = 0;
  size_t m_total = 0;
  TextureConversionProgress m_progress;
};

constexpr std::string_view kConversionSuffix = ".convert-tex.txt";

// Puts back the descriptions a stopped conversion left under their
// conversion name ("name.texture.convert-tex.txt" becomes "name.texture.txt"
// again) unless a description of that name exists, and says so.
void RestoreLeftovers(const std::string& folder, int depth, ResultsLog& log) {
  if (depth > kMaxFolderDepth || !Kiv::File::IsDirectory(folder)) return;
  Kiv::File::Find find(Kiv::File::Path(folder).Join("*").Str());
  while (find.Next()) {
    const std::string& name = find.Name();
    if (find.IsDirectory()) {
      if (!Kiv::File::IsSymlink(find.FullPath())) RestoreLeftovers(find.FullPath(), depth + 1, log);
      continue;
    }
    if (name.size() <= kConversionSuffix.size() ||
        Kiv::CompareNoCase(std::string_view(name).substr(name.size() - kConversionSuffix.size()),
                           kConversionSuffix) != 0)
      continue;
    const std::string source = name.substr(0, name.size() - kConversionSuffix.size()) + ".txt";
    if (!IsTextureTxtFile(source) || !RenameFileUnder(folder.c_str(), name, source)) continue;
    SoupRef params;
    params.SetNamedTag(Kiv::PString("file_name"), Kiv::File::Path(folder).Join(source).Str());
    log.AddResult(ResultsLog::kWarning, nullptr,
                  "Restored texture description '$(FILE_NAME)' left behind by an interrupted conversion",
                  params);
  }
}

// True when a folder given relative to a content set's folder stays inside it,
// as spelled and after symbolic links.
bool StaysInsideSet(const std::string& setFolder, const std::string& relative) {
  Kiv::File::Path spelled(relative);
  if (spelled.Normalise().ExtractFirstPath() == "..") return false;
  const std::string joined = Kiv::File::Path(setFolder).Join(relative).Str();
  const std::optional<std::string> real = Kiv::File::RealPath(joined);
  if (!real) return true;  // missing: the walk says so
  return real == Kiv::File::RealPath(setFolder) || Kiv::IsInsideFolderResolved(setFolder, joined);
}

}  // namespace

uint32_t ConvertTexturesInFolder(const std::string& setName, const std::string& folder, ResultsLog& log) {
  std::string top = folder;
  // Inside a named content set a relative folder lies in the set.
  if (!setName.empty() && !top.empty() && !Kiv::File::Path(top).IsAbsolute()) {
    std::string setFolder = SetFolderFor(setName, top, top);
    if (!setFolder.empty()) {
      if (!StaysInsideSet(setFolder, top)) {
        SoupRef params;
        params.SetNamedTag(Kiv::PString("file_name"), top);
        params.SetNamedTag(Kiv::PString("archive"), setName);
        log.AddResult(ResultsLog::kError, nullptr,
                      "The folder '$(FILE_NAME)' leads outside the content set '$(ARCHIVE)'", params);
        return kTextureConvertFailed;
      }
      top = Kiv::File::Path(setFolder).Join(top).Str();
    }
  }
  // One conversion of a tree at a time, in this process or any other: a
  // second one waits, so it never takes the descriptions another has set aside
  // for ones an interrupted conversion left. A killed process holds no lock.
  const Kiv::FolderTreeLock lock(top);
  if (!lock.IsLocked() && Kiv::File::IsDirectory(top)) {
    SoupRef params;
    params.SetNamedTag(Kiv::PString("file_name"), top);
    params.SetNamedTag(Kiv::PString("error"), Kiv::File::LastError());
    log.AddResult(ResultsLog::kError, nullptr,
                  "Unable to keep other conversions off '$(FILE_NAME)': $(ERROR)", params);
    return kTextureConvertFailed;
  }
  RestoreLeftovers(top, 0, log);
  FolderConversion conversion(setName, top, log);
  if (g_progress) conversion.ReportTo(g_progress, conversion.Count(top));
  bool ok = conversion.Walk(top, 0);
  conversion.FinishAll();
  if (conversion.ChainFailed()) return kTextureConvertJobError;
  return ok && conversion.AllSucceeded() ? kTextureConvertDone : kTextureConvertFailed;
}

uint32_t ConvertTexturesInFolderCommand(const std::string& setName, const std::string& folder,
                                        ResultsLog& log) {
  return ConvertTexturesInFolder(setName, folder, log);
}
