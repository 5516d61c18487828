#pragma once
// Shared by the benchmarks that run scripts against the native classes: the
// natives registered, a script compiled on the class libraries and loaded,
// and the asset database opened on a generated tree.
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "bench/asset_tree.h"
#include "gamescript/compiler/Driver.h"
#include "gamescript/runtime/Class.h"
#include "gamescript/runtime/Library.h"
#include "gamescript/runtime/Machine.h"
#include "kiv/TempFolder.h"
#include "scriptlib/ScriptNatives.h"
#include "umbclient/ContentFolders.h"
#include "umbclient/FolderAssetDatabase.h"
#include "umbclient/OpenDatabase.h"

// Registers the natives and compiles source, written to folder as fileName
// (".gs"), against the class libraries; loads it and returns its class
// className. Null after printing why.
inline GSRuntime::GSClass* CompileBenchClass(const Kiv::TempFolder& folder, const std::string& fileName,
                                             const char* source, const char* className) {
  if (!RegisterScriptNatives()) {
    std::printf("the script class libraries are not registered (%s)\n", ScriptLibrariesFolder().c_str());
    return nullptr;
  }
  const std::string path = folder.Write(fileName, source);
  GSCompiler::CompileLog log;
  std::vector<GSCompiler::IncludePath> includes{{Kiv::File::Path(ScriptLibrariesFolder()), {}}};
  if (GSCompiler::CompileFile(path.c_str(), (folder.Root() + "/").c_str(), includes, &log) != 0) {
    for (std::size_t i = 0; i < log.Count(); ++i) std::printf("%s\n", log.At(i));
    return nullptr;
  }
  const std::string library = fileName.substr(0, fileName.size() - 3) + ".gsl";
  GSRuntime::GSMachine& machine = GSRuntime::GSMachine::Instance();
  GSRuntime::GSLibrary* lib = machine.AddLibrary(folder.Root(), library.c_str())
                                  ? machine.GetLibraryByName(library.c_str())
                                  : nullptr;
  GSRuntime::GSClass* cls = lib ? lib->FindClass(className) : nullptr;
  if (!cls) std::printf("class %s not found in %s\n", className, library.c_str());
  return cls;
}

// The tags of asset i of the script benchmarks' trees: a scenery building.
inline void DescribeBuilding(int i, SoupRef& c) {
  c.SetNamedTag("username", "Building " + std::to_string(i));
  c.SetNamedTag("kind", "scenery");
  c.SetNamedTag("category-class", "BU");
}

// Opens the asset database on the tree's user data, with the asset-type
// table of the sample installation.
inline bool OpenBenchDatabase(const BenchAssetTree& tree) {
  SetInstallationRoot(ROVANA_SOURCE_DIR "/samples/install");
  auto database = std::make_unique<FolderAssetDatabase>(tree.root + "/user", tree.root + "/install");
  database->Rescan();
  return UMBOpenDatabase(std::move(database));
}
