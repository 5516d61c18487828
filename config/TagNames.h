#pragma once
// The words the config-schema library compares tag names, kinds, definition
// keys and type words against. Each is an interned string made once before
// main, so a comparison is a comparison of handles.
#include <span>

#include "kiv/PString.h"
#include "kiv/String.h"
#include "kiv/Thread.h"

namespace OBLLib {
namespace tn {
#define OBL_TAG_NAME(id, text) extern const Kiv::PString id;
#include "config/TagNames.def"
#undef OBL_TAG_NAME
}  // namespace tn

// Every vocabulary constant in the order it was made.
std::span<const Kiv::PString* const> AllTagNames();

// Words of the asset-spec and script-compile code that stand outside the vocabulary.
namespace sc {
extern const Kiv::PString kuid_table, script, class_, scriptlibrary, scriptclass, thumbnails, thumbnail,
    width, height, image, alias, mesh_table, script_include_table, behavior, default_, kuid, editing, base;
extern const Kiv::String Custom;
}  // namespace sc

// Serialises asset checks and asset compiles between the job thread and any
// other caller. Recursive.
Kiv::Mutex& AssetCheckMutex();

}  // namespace OBLLib
