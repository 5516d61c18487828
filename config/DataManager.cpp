#include "config/DataManager.h"

#include <algorithm>

#include "config/Container.h"
#include "config/TagNames.h"
#include "foundation/Log.h"
#include "kiv/String.h"
#include "umbclient/ContentFolders.h"

namespace OBLLib {

namespace {
DataManager* g_instance = nullptr;

// Files above these sizes are skipped with a log line: the lists are short
// option tables and the schema a few hundred definitions.
constexpr uint64_t kMaxDataFileBytes = 16u << 20;
constexpr int64_t kMaxSchemaFileBytes = 64 << 20;
constexpr int64_t kMaxPersonalDetailsBytes = 1 << 20;

const char* const kSchemaFiles[] = {"inheritance.txt", "kind.txt", "container.txt"};
constexpr const char* kPersonalDetails = "personalDetails.txt";

std::string_view TrimLineEnd(std::string_view s) {
  while (!s.empty() && (s.back() == '\r' || s.back() == '\n')) s.remove_suffix(1);
  return s;
}
}  // namespace

bool DataFileList::HasKey(std::string_view text) const {
  return lowerKeys.count(Kiv::ToLowerAscii(text)) != 0;
}

// ---- life cycle ----

DataManager::DataManager(const char* rootFolder) : m_rootFolder(rootFolder ? rootFolder : "") {}

DataManager::~DataManager() {
  ClearLiveObjects();
  ReleaseAssetFolder();
}

bool DataManager::Create(const char* rootFolder) {
  if (g_instance) Destroy();
  g_instance = new DataManager(rootFolder);
  return true;
}

DataManager* DataManager::Instance() {
  if (!g_instance) ReportFatalError("DataManager::Instance> datamanger not initialised");
  if (!g_instance->m_initialised) {
    g_instance->m_initialised = true;
    // A missing data folder leaves empty details; the schema load says what is missing.
    (void)g_instance->EnsureInitialised();
  }
  return g_instance;
}

DataManager* DataManager::Existing() { return g_instance; }

void DataManager::Destroy() {
  DataManager* dm = g_instance;
  if (!dm) return;
  if (!dm->SavePersonalDetails()) LogLine("DataManager::Destroy> unable to save '%s'", kPersonalDetails);
  dm->UnloadSchema();
  // A node that is not in the graph has nothing to remove.
  if (dm->m_kernel && dm->m_sceneRoot) (void)dm->m_kernel->GetSceneGraph().Remove(dm->m_sceneRoot.get());
  if (dm->m_view && dm->m_view->scene == dm->m_sceneRoot) dm->m_view->scene.reset();
  if (dm->m_kernel && Kiv::RenderKernel::Current() == dm->m_kernel) Kiv::RenderKernel::SetCurrent(nullptr);
  g_instance = nullptr;
  delete dm;
}

bool DataManager::SetUpScene(const Kiv::RenderContext& context) {
  m_kernel = context.kernel;
  m_sceneRoot = std::make_shared<Kiv::Particle>(Kiv::PString("OBLLibSceneRoot"));
  // A node made just before has no parent, so it is not refused.
  if (m_kernel) (void)m_kernel->GetSceneGraph().Add(m_sceneRoot);
  if (context.view) {
    m_view = context.view;
    m_view->scene = m_sceneRoot;
    const float origin[3] = {0, 0, 0};
    const float black[4] = {0, 0, 0, 1};
    m_light = std::make_shared<Kiv::ParallelLight>(origin, m_view->direction, 100000.0f, black, 3);
    m_light->flags |= 1u << 2;
    const float ambient[4] = {0.1f, 0.1f, 0.1f, 1.0f}, diffuse[4] = {0.7f, 0.7f, 0.7f, 1.0f},
                specular[4] = {0.6f, 0.6f, 0.6f, 1.0f};
    std::copy_n(ambient, 4, m_light->ambient);
    std::copy_n(diffuse, 4, m_light->diffuse);
    std::copy_n(specular, 4, m_light->specular);
    if (m_kernel && m_kernel->GetDisplay()) {
      m_kernel->GetDisplay()->SetFogDensity(1e-18f);
      m_kernel->GetDisplay()->SetFogMode(3);
    }
    // A node made just before has no parent, so it is not refused.
    (void)m_sceneRoot->Add(m_light);
  }
  Kiv::RenderKernel::SetCurrent(m_kernel);
  return true;
}

bool DataManager::EnsureInitialised() {
  if (!Kiv::File::IsDirectory(m_rootFolder.View())) {
    LogLine("DataManager::EnsureInitialised> data folder '%s' not found", m_rootFolder.c_str());
    return false;
  }
  // A details file that does not read leaves the record empty.
  (void)LoadPersonalDetails();
  return true;
}

// ---- schema ----

bool DataManager::LoadSchema() {
  // Loaded once; a failed load is not retried, and its failure is remembered.
  if (m_schemaLoaded) return m_schemaResult;
  m_schemaLoaded = true;
  m_schema.Clear();
  m_schemaStatus = Kiv::Status::OK();
  m_schemaNotes.clear();

  std::string files;  // the schema files, named when none gives a definition
  for (const char* file : kSchemaFiles) {
    std::string path = m_rootFolder.Str() + file;
    files += (files.empty() ? "'" : ", '") + Kiv::AbsolutePath(path) + "'";
    // A missing file leaves its definitions absent, which is no fault by
    // itself; it is told, as is one that is there and does not read, since
    // the assets of its kinds are judged without it.
    if (Kiv::FileExists(path) != 0) {
      LogLine("DataManager::LoadSchema> no schema file '%s'", path.c_str());
      m_schemaNotes.push_back("The installation has no schema file '" + Kiv::AbsolutePath(path) +
                              "'; its definitions are missing.");
      continue;
    }
    SoupRef soup;
    const bool tooLarge = Kiv::File::FileSize(path) > kMaxSchemaFileBytes;
    if (tooLarge || !LoadSoupFile(soup, {}, path, "txt")) {
      LogLine("DataManager::LoadSchema> unable to read schema file '%s'", path.c_str());
      m_schemaNotes.push_back("The schema file '" + Kiv::AbsolutePath(path) +
                              (tooLarge ? "' is too large" : "' does not read") +
                              "; its definitions are missing.");
      continue;
    }
    // A later definition of a name replaces an earlier one; the definition
    // soup is shared, not copied.
    for (size_t i = 0; i < soup.CountTags(); ++i) {
      Kiv::PString name = soup.GetIndexedTagName(i);
      SoupRef definition = soup.GetIndexedSoup(i);
      if (!definition) {
        LogLine("DataManager::LoadSchema> '%s' in '%s' is not a definition", name.c_str(), path.c_str());
        continue;
      }
      // A child made here cannot hold the soup it enters.
      (void)m_schema.SetNamedSoup(name, definition);
    }
  }
  if (!m_schema) {
    LogLine("DataManager::LoadSchema> no definitions in '%s'", m_rootFolder.c_str());
    m_schemaStatus = Kiv::Status::NotFound("none of the schema files " + files + " gives a definition");
    m_schemaResult = false;
    return false;
  }
  m_schemaResult = LoadDataFiles();
  if (!m_schemaResult)
    m_schemaStatus = Kiv::Status::IOError("unable to list the data folder '" +
                                          Kiv::AbsolutePath(m_rootFolder.View()) + "'");
  return m_schemaResult;
}

bool DataManager::LoadDataFiles() {
  if (!Kiv::File::IsDirectory(m_rootFolder.View())) {
    LogLine("DataManager::LoadSchema> unable to list '%s'", m_rootFolder.c_str());
    return false;
  }
  Kiv::File::Find find(m_rootFolder.Str() + "*.*");
  while (find.Next()) {
    if (find.IsDirectory()) continue;
    std::string text;
    if (!Kiv::File::ReadWholeFile(find.FullPath(), text, kMaxDataFileBytes)) {
      LogLine("DataManager::LoadSchema> skipped data file '%s'", find.FullPath().c_str());
      continue;
    }
    DataFileList list;
    // Saved by an editor that marks UTF-8, the list still starts with its first entry.
    std::string_view rest = Kiv::SkipByteOrderMark(text);
    bool toldNul = false;
    for (int number = 1; !rest.empty(); ++number) {
      size_t end = rest.find('\n');
      std::string_view line = rest.substr(0, end);
      rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
      // A NUL byte ends the text of its line; the lines after it still count.
      if (size_t nul = line.find('\0'); nul != std::string_view::npos) {
        if (!toldNul)
          LogLine("DataManager::LoadSchema> data file '%s' line %d: text after a NUL byte ignored",
                  find.FullPath().c_str(), number);
        toldNul = true;
        line = line.substr(0, nul);
      }
      size_t blank = line.find(' ');
      Kiv::PString key, value;
      if (blank == std::string_view::npos) {
        key = Kiv::PString(TrimLineEnd(line));
      } else {
        key = Kiv::PString(line.substr(0, blank));
        value = Kiv::PString(TrimLineEnd(line.substr(blank + 1)));
      }
      list.lowerKeys.insert(Kiv::ToLowerAscii(key.View()));
      list.lines.emplace_back(std::move(key), std::move(value));
    }
    m_dataFiles[Kiv::ToLowerAscii(find.Name())] = std::move(list);
  }
  return true;
}

const DataFileList* DataManager::GetDataFile(const Kiv::PString& fileName) const {
  auto found = m_dataFiles.find(Kiv::ToLowerAscii(fileName.View()));
  return found == m_dataFiles.end() ? nullptr : &found->second;
}

void DataManager::UnloadSchema() {
  if (!m_schemaLoaded) return;
  ClearLiveObjects();
  ReleaseAssetFolder();
  m_firstTags.Clear();
  m_secondTags.Clear();
  m_dataFiles.clear();
  m_schema.Clear();
  m_schemaLoaded = false;
  m_schemaResult = false;
  m_schemaStatus = Kiv::Status::OK();
  m_schemaNotes.clear();
}

// ---- personal details ----

bool DataManager::LoadPersonalDetails() {
  m_personalRead = true;
  std::string path = m_rootFolder.Str() + kPersonalDetails;
  if (Kiv::FileExists(path) != 0) return true;
  SoupRef soup;
  if (Kiv::File::FileSize(path) > kMaxPersonalDetailsBytes || !LoadSoupFile(soup, {}, path, "txt")) {
    // Keep the user's file as it is: it is not rewritten at shut-down.
    LogLine("DataManager::LoadPersonalDetails> unable to read '%s'", path.c_str());
    m_personalUnreadable = true;
    return false;
  }
  m_personalUnreadable = false;
  m_personal.author = soup.GetNamedTag(tn::author);
  m_personal.organisation = soup.GetNamedTag(tn::organisation);
  m_personal.email = soup.GetNamedTag(tn::email);
  m_personal.website = soup.GetNamedTag(tn::website);
  m_personal.license = soup.GetNamedTag(tn::license);
  m_personal.isInputBoxOn = soup.GetNamedTagAsInt(tn::isinputboxon, 0) != 0;
  m_personalOnDisk = true;
  m_personalOnDiskValues = m_personal;
  return true;
}

bool DataManager::SavePersonalDetails() {
  if (m_personalUnreadable) return false;
  // A manager that never read the file (a command that did not need it)
  // knows nothing to write: the user's details stay as they are.
  if (!m_personalRead && m_personal == PersonalDetails{}) return true;
  // A file that already says the same is left alone: no rewrite (and no
  // disk sync) at every exit.
  if (m_personalOnDisk && m_personal == m_personalOnDiskValues) return true;
  SoupRef soup = SoupRef::NewContainer();
  soup.SetNamedTag(tn::author, m_personal.author.View());
  soup.SetNamedTag(tn::organisation, m_personal.organisation.View());
  soup.SetNamedTag(tn::email, m_personal.email.View());
  soup.SetNamedTag(tn::website, m_personal.website.View());
  soup.SetNamedTag(tn::license, m_personal.license.View());
  soup.SetNamedTagInt(tn::isinputboxon, m_personal.isInputBoxOn ? 1 : 0);
  if (!SaveSoupFile(soup, {}, m_rootFolder.Str() + kPersonalDetails, "txt")) return false;
  m_personalOnDisk = true;
  m_personalOnDiskValues = m_personal;
  return true;
}

// ---- asset under check ----

void DataManager::ReleaseAssetFolder() {
  if (m_assetFolderHandle) FolderCache::Release(m_assetFolderHandle);
  m_assetFolderHandle = nullptr;
}

ContentFolder* DataManager::SetCurrentAsset(const Kiv::PString& assetName, const Kiv::File::Path& folder) {
  ReleaseAssetFolder();
  ++m_checkSerial;
  // What the previous asset set (an "alias", a mesh that failed) says nothing
  // about this one.
  borrowedMesh = false;
  meshFailure = false;
  m_assetName = assetName;
  assetFolder = folder;
  contentFolder = Kiv::File::Path(assetName.View()).IsAbsolute() ? assetName.Str()
                                                                 : GetContentFolderPath(assetName.View());
  std::string root = GetContentRootPath();
  std::string path = root.empty() ? assetName.Str() : Kiv::File::Path(root).Join(assetName.View()).Str();
  m_assetFolderHandle = OpenContentFolder(path);
  return m_assetFolderHandle;
}

std::string DataManager::PathInAsset(std::string_view contentPath) const {
  Kiv::File::Path path(contentPath);
  // A path outside the asset folder is named as it is.
  (void)path.MakeRelativeTo(assetFolder);
  return path.Str();
}

// ---- registries ----

void DataManager::RegisterTagBySource(const Kiv::PString& key, Tag* tag) {
  tag->filedByKey = true;
  m_keyRegistry[key].Append(tag);
}

void DataManager::RegisterObjectByKey(const Kiv::PString& key, Container* container) {
  m_objectRegistry[key].Append(container);
  container->registryKeys.push_back(key);
}

void DataManager::RegisterTag(Tag* tag) {
  tag->filedFirst = true;
  // One already entered keeps its place.
  (void)m_firstTags.AppendUnique(tag);
}

void DataManager::RegisterUniqueTag(Tag* tag) {
  tag->filedSecond = true;
  m_secondTags.Append(tag);
}

bool DataManager::IsPathRegistered(const Kiv::PString& path, const Kiv::PString& key) const {
  if (const PtrList<Container>* list = ObjectsByKey(key)) {
    for (const Container* c : *list)
      if (c->name == path) return true;
  }
  // The meshes' points stand filed under "attachment" for as long as the
  // meshes are loaded: the config's attachment tags name them.
  const bool attachment = key == tn::attachment;
  for (const auto& [id, object] : m_liveObjects)
    if (object && (object->ListsFile(path) || (attachment && object->ListsAttachment(path)))) return true;
  return false;
}

void DataManager::UnregisterTag(const Tag* tag) {
  // Tags are filed under a few source names only: each list is asked, which
  // spares every registration a reverse index.
  if (tag->filedByKey)
    for (auto& [key, list] : m_keyRegistry) list.RemoveAll(tag);
  if (tag->filedFirst) m_firstTags.RemoveAll(tag);
  if (tag->filedSecond) m_secondTags.RemoveAll(tag);
}

void DataManager::ForgetContainer(const Container* container) {
  if (container->hasLiveObject) {
    if (auto found = m_liveObjects.find(container->Id()); found != m_liveObjects.end()) {
      if (found->second.get() == m_currentMesh) m_currentMesh = nullptr;
      m_liveObjects.erase(found);
    }
  }
  // A key listed twice finds no container the second time.
  container->registryKeys.ForEach([&](const Kiv::PString& key) {
    if (auto list = m_objectRegistry.find(key); list != m_objectRegistry.end())
      list->second.RemoveAll(container);
  });
}

void DataManager::ClearKeyList(const Kiv::PString& key) {
  if (auto list = m_keyRegistry.find(key); list != m_keyRegistry.end()) list->second.Clear();
}

const PtrList<Tag>* DataManager::TagsBySource(const Kiv::PString& key) const {
  auto found = m_keyRegistry.find(key);
  return found == m_keyRegistry.end() ? nullptr : &found->second;
}

const PtrList<Container>* DataManager::ObjectsByKey(const Kiv::PString& key) const {
  auto found = m_objectRegistry.find(key);
  return found == m_objectRegistry.end() ? nullptr : &found->second;
}

// ---- live objects ----

void DataManager::SetLiveObject(const Container* container, std::unique_ptr<LiveObject> object) {
  container->hasLiveObject = true;
  auto& slot = m_liveObjects[container->Id()];
  if (slot && slot.get() == m_currentMesh) m_currentMesh = nullptr;
  slot = std::move(object);
}

LiveObject* DataManager::GetLiveObject(const Container* container) const {
  auto found = m_liveObjects.find(container->Id());
  return found == m_liveObjects.end() ? nullptr : found->second.get();
}

void DataManager::ClearLiveObjects() {
  // The current mesh is one of them: it must not outlive the map.
  m_currentMesh = nullptr;
  m_liveObjects.clear();
}

}  // namespace OBLLib
