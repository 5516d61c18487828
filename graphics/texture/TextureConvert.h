#pragma once
// Texture conversion: every texture description ("*.texture.txt") below a
// folder becomes a ".texture" file beside it. Each description is one job:
// its preparation runs on the calling thread, its load, write and release
// steps run as a worker call chain, several jobs at once.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "foundation/Jobs.h"
#include "graphics/texture/ImageMemory.h"
#include "kiv/RefCount.h"
#include "kiv/Options.h"

class ResultsLog;
class RovanaResourceDatabase;
class CompressAsciiResource;

// Results of a folder conversion.
enum : uint32_t {
  kTextureConvertFailed = 0,    // a file failed or a folder cannot be searched
  kTextureConvertJobError = 1,  // a job's call chain failed
  kTextureConvertDone = 2,      // every file converted, or none found
};

// Converts every texture description below folder (recursively), once no
// other conversion of the same tree, or of one inside or around it, runs in
// any process. setName names the content set (may be empty): the folder, a
// relative one taken in the set, must then lie in the set, links followed, and
// a name that is no content set's is refused; both before anything is read.
// log receives one result per failure.
uint32_t ConvertTexturesInFolder(const std::string& setName, const std::string& folder, ResultsLog& log);
// The "compresstexture" command: forwards to ConvertTexturesInFolder.
uint32_t ConvertTexturesInFolderCommand(const std::string& setName, const std::string& folder,
                                        ResultsLog& log);

// Called on the converting thread as a folder conversion goes: how many
// descriptions are finished, of how many the folder holds (counted first, only
// while a callback is set). Empty: none, and the folder is walked once.
using TextureConversionProgress = std::function<void(size_t done, size_t total)>;
void SetTextureConversionProgress(TextureConversionProgress progress);

// How many worker threads compress at once; 0 (the default) uses one per
// processor core the process may run on. The output bytes do not depend on it.
void SetTextureConversionWorkers(unsigned workers);
unsigned GetTextureConversionWorkers();

// One conversion job. Lives until the folder walk has waited for it.
class UMBTextureConvertFileRPC {
public:
  // queue: where the call chain runs (null: the process queue).
  explicit UMBTextureConvertFileRPC(JobQueue* queue = nullptr);
  // Waits for the chain, then puts back whatever a step left undone.
  ~UMBTextureConvertFileRPC();
  UMBTextureConvertFileRPC(const UMBTextureConvertFileRPC&) = delete;
  UMBTextureConvertFileRPC& operator=(const UMBTextureConvertFileRPC&) = delete;

  // Fills the record, prepares its names at once and starts the chain of the
  // load, write and release steps. walkRoot: the folder being converted, the
  // content set when no other one holds the file. outputAsSpelled: the output
  // is named exactly after the description (another description's name
  // differs from it only in case).
  void Start(const std::string& setName, const std::string& path, ResultsLog* log,
             const std::string& walkRoot, bool outputAsSpelled = false);

  [[nodiscard]] bool Succeeded() const { return m_success; }
  RovanaWorkerCallChain& Chain() { return m_chain; }
  // The description's name relative to its content set.
  const std::string& SourceName() const { return m_sourceName; }

private:
  void Prepare(const std::string& walkRoot);
  void ConvertFile(void*);
  void Load();  // the description under its conversion name into m_resource
  void WriteOutput(void*);
  void ReleaseResource(void*);
  std::string SetLabel() const;
  void Error(std::string_view text, const char* name1, const std::string& value1, const char* name2 = nullptr,
             const std::string& value2 = std::string());

  std::string m_setName;
  std::string m_path;
  ResultsLog* m_log = nullptr;
  bool m_success = true;
  RovanaWorkerCallChain m_chain;
  std::unique_ptr<RovanaResourceDatabase> m_folder;
  Kiv::Ref<CompressAsciiResource> m_resource;
  bool m_prepared = false;
  bool m_loaded = false;
  bool m_outputAsSpelled = false;
  std::string m_walkRoot;    // the folder being converted; images stay inside it
  std::string m_setFolder;   // the content set's folder
  std::string m_convName;    // the name whose suffix chooses the converting resource
  std::string m_sourceName;  // the description's own name
  std::string m_outputName;  // the ".texture" file
  Kiv::Options m_options;
  ImageMemory::Share m_imageMemory{ImageMemory::Process()};  // for the loaded images, until released
};
