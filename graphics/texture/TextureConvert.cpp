#include "graphics/texture/TextureConvert.h"

#include <algorithm>
#include <atomic>
#include <deque>
#include <memory>
#include <optional>
#include <thread>

#include <sys/stat.h>

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

// The folder of the content set a description is converted in. A named set
// is one existing folder of the content root (or of the user data and the
// installation without one), taken with its links followed; empty when the
// name is no such folder ("..", "a/b", a name nothing holds).
std::string SetFolderFor(const std::string& setName, const std::string& path, const std::string& walkRoot) {
  const std::string root = GetContentRootPath();
  if (!setName.empty()) {
    if (setName == "." || setName == ".." || setName.find_first_of("/\\") != std::string::npos) return {};
    const std::string folder =
        root.empty() ? GetContentFolderPath(setName) : Kiv::File::Path(root).Join(setName).Str();
    std::optional<std::string> real = folder.empty() ? std::nullopt : Kiv::File::RealPath(folder);
    return real && Kiv::File::IsDirectory(*real) ? *real : std::string();
  }
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
  // A chain that never ran leaves its release to the destructor.
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
                                     const std::string& walkRoot, bool outputAsSpelled) {
  m_setName = setName;
  m_path = path;
  m_log = log;
  m_success = true;
  m_outputAsSpelled = outputAsSpelled;
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
    // A stopped queue runs nothing.
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
  // An old output stays until the new one is complete; the writer replaces it.
  if (m_prepared) Load();
}

void UMBTextureConvertFileRPC::Load() {
  m_folder = RovanaResourceDatabase::Open(m_setName, m_setFolder);
  if (!m_folder) {
    Error("$umbtexture_invalid_subst", "archive", SetLabel());
    return;
  }
  // Read under its own name by the class its conversion name chooses: the
  // user's file keeps its name, spelling and text whenever the run stops, and
  // leaves nothing behind to put back.
  const Kiv::Ref<Kiv::TextureResource> resource = m_folder->GetTextureResource(m_sourceName, m_convName);
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
      if (!m_resource->SaveCompressed(output, hardware, m_outputAsSpelled)) {
        Error("Unable to write output file '$(FILE_NAME)'", "file_name", m_outputName);
        if (m_log && !m_resource->LastTextureError().empty())
          m_log->AddResult(ResultsLog::kInformation, nullptr, m_resource->LastTextureError());
      }
    }
  } catch (const std::exception& e) {
    Error("Exception '$(ERROR)' thrown while processing '$(FILE_NAME)'", "error", e.what(), "file_name",
          m_outputName);
  }
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
    // The listing is taken whole before any job writes a file in it. It is
    // sorted without regard to case, so names that differ only in case meet.
    Kiv::File::Find find(Kiv::File::Path(folder).Join("*").Str());
    struct Entry {
      std::string name, path;
      bool folder;
    };
    std::vector<Entry> entries;
    entries.reserve(find.Count());
    while (find.Next()) entries.push_back({find.Name(), find.FullPath(), find.IsDirectory()});
    const auto sameButCase = [&](size_t i, size_t j) {
      return j < entries.size() && IsTextureTxtFile(entries[j].name) &&
             Kiv::CompareNoCase(entries[i].name, entries[j].name) == 0;
    };
    for (size_t i = 0; i < entries.size(); ++i) {
      const std::string& name = entries[i].name;
      const std::string& path = entries[i].path;
      if (entries[i].folder) {
        if (Kiv::File::IsSymlink(path)) continue;  // a linked folder could lead back up
        if (!Walk(path, depth + 1)) ok = false;
      } else if (IsTextureTxtFile(name)) {
        if (m_counting) {
          ++m_found;
          continue;
        }
        // Beside a description whose name differs only in case, each output
        // keeps its own description's spelling rather than replacing the other's.
        const bool sibling = (i > 0 && sameButCase(i, i - 1)) || sameButCase(i, i + 1);
        auto record = std::make_unique<UMBTextureConvertFileRPC>(&m_queue);
        record->Start(m_setName, path, &m_log, m_root, sibling);
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

// One result with its "$(NAME)" parameters.
void Report(ResultsLog& log, std::string_view text,
            std::initializer_list<std::pair<const char*, std::string>> params,
            int severity = ResultsLog::kError) {
  SoupRef soup;
  for (const auto& [name, value] : params) soup.SetNamedTag(Kiv::PString(name), value);
  log.AddResult(severity, nullptr, text, soup);
}

// Puts back the descriptions that conversions of earlier versions, which
// renamed them while they loaded, left under their conversion name when they
// were stopped ("name.texture.convert-tex.txt" becomes "name.texture.txt"
// again) unless a description of that name exists, and says so. False when
// one could not be put back.
bool RestoreLeftovers(const std::string& folder, int depth, ResultsLog& log) {
  if (depth > kMaxFolderDepth || !Kiv::File::IsDirectory(folder)) return true;
  bool ok = true;
  Kiv::File::Find find(Kiv::File::Path(folder).Join("*").Str());
  while (find.Next()) {
    const std::string& name = find.Name();
    if (find.IsDirectory()) {
      if (!Kiv::File::IsSymlink(find.FullPath()) && !RestoreLeftovers(find.FullPath(), depth + 1, log))
        ok = false;
      continue;
    }
    if (name.size() <= kConversionSuffix.size() ||
        Kiv::CompareNoCase(std::string_view(name).substr(name.size() - kConversionSuffix.size()),
                           kConversionSuffix) != 0)
      continue;
    const std::string source = name.substr(0, name.size() - kConversionSuffix.size()) + ".txt";
    if (!IsTextureTxtFile(source)) continue;
    // As spelled: a description whose name differs only in case is another one.
    const std::string from = Kiv::File::Path(folder).Join(name).Str();
    const std::string to = Kiv::File::Path(folder).Join(source).Str();
    struct stat st;
    if (::lstat(to.c_str(), &st) == 0) continue;
    if (!Kiv::File::RenameAsSpelledNoReplace(from, to)) {
      ok = false;
      Report(log, "Unable to rename file '$(FILE_NAME)' in subst '$(ARCHIVE)'",
             {{"file_name", name}, {"archive", folder}});
      Report(log, Kiv::File::LastError(), {}, ResultsLog::kInformation);
      continue;
    }
    Report(log, "Restored texture description '$(FILE_NAME)' left behind by an interrupted conversion",
           {{"file_name", Kiv::File::Path(folder).Join(source).Str()}}, ResultsLog::kWarning);
  }
  return ok;
}

// The folder to convert in a content set whose folder (links followed) is
// setFolder, links followed too; empty when it lies outside the set: a
// relative folder that climbs out as spelled, or any folder whose real place
// is elsewhere. A folder that does not exist is judged as spelled (the walk
// then says it cannot search it).
std::string FolderInsideSet(const std::string& setFolder, const std::string& folder) {
  const Kiv::File::Path given(folder);
  if (!given.IsAbsolute() && Kiv::File::Path(folder).Normalise().ExtractFirstPath() == "..") return {};
  const std::string joined = given.IsAbsolute() ? folder : Kiv::File::Path(setFolder).Join(folder).Str();
  if (const std::optional<std::string> real = Kiv::File::RealPath(joined))
    return *real == setFolder || Kiv::IsInsideFolderResolved(setFolder, *real) ? *real : std::string();
  Kiv::File::Path relative(Kiv::AbsolutePath(joined));
  return relative.MakeRelativeTo(Kiv::File::Path(setFolder)) && Kiv::IsNameInsideFolder(relative.Str())
             ? joined
             : std::string();
}

}  // namespace

uint32_t ConvertTexturesInFolder(const std::string& setName, const std::string& folder, ResultsLog& log) {
  std::string top = folder;
  // A request that names a content set converts only inside it: the set and
  // the folder are checked before anything in them is read or written.
  if (!setName.empty()) {
    const std::string setFolder = SetFolderFor(setName, top, top);
    if (setFolder.empty()) {
      Report(log, "$umbtexture_invalid_subst", {{"archive", setName}});
      return kTextureConvertFailed;
    }
    if (!top.empty()) {
      top = FolderInsideSet(setFolder, folder);
      if (top.empty()) {
        Report(log, "The folder '$(FILE_NAME)' leads outside the content set '$(ARCHIVE)'",
               {{"file_name", folder}, {"archive", setName}});
        return kTextureConvertFailed;
      }
    }
  }
  // One conversion of a tree at a time, in this process or any other: a
  // second one waits, so two never write one output at once, nor does one
  // put back what another is working on. A killed process holds no lock.
  const Kiv::FolderTreeLock lock(top);
  if (!lock.IsLocked() && Kiv::File::IsDirectory(top)) {
    SoupRef params;
    params.SetNamedTag(Kiv::PString("file_name"), top);
    params.SetNamedTag(Kiv::PString("error"), Kiv::File::LastError());
    log.AddResult(ResultsLog::kError, nullptr,
                  "Unable to keep other conversions off '$(FILE_NAME)': $(ERROR)", params);
    return kTextureConvertFailed;
  }
  const bool restored = RestoreLeftovers(top, 0, log);
  FolderConversion conversion(setName, top, log);
  if (g_progress) conversion.ReportTo(g_progress, conversion.Count(top));
  bool ok = conversion.Walk(top, 0);
  conversion.FinishAll();
  if (conversion.ChainFailed()) return kTextureConvertJobError;
  return ok && restored && conversion.AllSucceeded() ? kTextureConvertDone : kTextureConvertFailed;
}

uint32_t ConvertTexturesInFolderCommand(const std::string& setName, const std::string& folder,
                                        ResultsLog& log) {
  return ConvertTexturesInFolder(setName, folder, log);
}
