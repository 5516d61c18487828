#include "config/TagNames.h"

namespace OBLLib {

// One translation unit defines every constant, so they are made in the order
// of the list and released in reverse order at exit.
namespace tn {
#define OBL_TAG_NAME(id, text) const Kiv::PString id(text);
#include "config/TagNames.def"
#undef OBL_TAG_NAME
}  // namespace tn

namespace {
const Kiv::PString* const g_all[] = {
#define OBL_TAG_NAME(id, text) &tn::id,
#include "config/TagNames.def"
#undef OBL_TAG_NAME
};

// The constants live as long as the process, and every config repeats their
// names: pinned, threads that copy them do not share a count.
[[maybe_unused]] const bool g_pinned = [] {
  for (const Kiv::PString* name : g_all) name->Pin();
  return true;
}();

}  // namespace

std::span<const Kiv::PString* const> AllTagNames() { return g_all; }

namespace sc {
const Kiv::PString kuid_table("kuid-table"), script("script"), class_("class"),
    scriptlibrary("scriptlibrary"), scriptclass("scriptclass"), thumbnails("thumbnails"),
    thumbnail("thumbnail"), width("width"), height("height"), image("image"), alias("alias"),
    mesh_table("mesh-table"), script_include_table("script-include-table"), behavior("behavior"),
    default_("default"), kuid("kuid"), editing("editing"), base("base");
const Kiv::String Custom("Custom");
}  // namespace sc

Kiv::Mutex& AssetCheckMutex() {
  static Kiv::Mutex mutex;
  return mutex;
}

}  // namespace OBLLib
