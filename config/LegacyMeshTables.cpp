// Mesh tables, attached tracks and bogey lists built from the layouts of old
// configs. Meshes are opened through the mesh probe to find attachment points.
#include <string>

#include "config/AssetPaths.h"
#include "config/LegacyUpgrade.h"
#include "config/MeshProbe.h"
#include "kiv/String.h"

namespace OBLLib {

namespace {

const Kiv::PString kMeshTable("mesh-table");
const Kiv::PString kAttachedTrack("attached-track");
const Kiv::PString kBogeys("bogeys");
const Kiv::PString kBogey("bogey");
const Kiv::PString kReversed("reversed");
const Kiv::PString kMesh("mesh");
const Kiv::PString kAutoCreate("auto-create");
const Kiv::PString kAnim("anim");
const Kiv::PString kDefault("default");
const Kiv::PString kShadow("shadow");
const Kiv::PString kNight("night");
const Kiv::PString kNightMeshBase("night-mesh-base");
const Kiv::PString kTurntable("turntable");
const Kiv::PString kMode0("mode0");
const Kiv::PString kMode1("mode1");
const Kiv::PString kTrack("track");
const Kiv::PString kRoad("road");
const Kiv::PString kVertices("vertices");
const Kiv::PString kUseAdjoining("useadjoiningtracktype");
const Kiv::PString kAutoAnimation("auto-animation");
const Kiv::PString kAnimationLoopSpeed("animation-loop-speed");
const Kiv::PString kEffects("effects");
const Kiv::PString kKind("kind");
const Kiv::PString kAtt("att");
const Kiv::PString kAttParent("att-parent");
const Kiv::PString kFontColor("fontcolor");
const Kiv::PString kFontSize("fontsize");
const Kiv::PString kName("name");
const Kiv::PString kAttachment("attachment");
const Kiv::PString kZero("0");
const Kiv::PString kOne("1");

// folder/file, or file alone for an empty folder.
std::string InFolder(std::string_view folder, std::string_view file) {
  if (folder.empty()) return std::string(file);
  return std::string(folder) + "/" + std::string(file);
}

// Loads a mesh of the asset under check (path inside the asset folder).
bool LoadAssetMesh(std::string_view path, MeshInfo& out) {
  MeshProbe* probe = GetMeshProbe();
  if (!probe) return false;
  std::optional<std::string> file = ResolveCurrentAssetFile(path);
  return file && probe->Load(*file, out);
}

SoupRef MeshEntry(std::string_view mesh, int autoCreate) {
  SoupRef entry = SoupRef::NewContainer();
  entry.SetNamedTag(kMesh, mesh);
  entry.SetNamedTagInt(kAutoCreate, autoCreate);
  return entry;
}

// A fresh "mesh-table" in the config; the caller fills it in place.
SoupRef NewMeshTable(SoupRef& config) {
  SoupRef table = SoupRef::NewContainer();
  // A child made here cannot hold the soup it enters.
  (void)config.SetNamedSoup(kMeshTable, table);
  return table;
}

// Pairs "a.<prefix><i>a" / "a.<prefix><i>b" from i = 0 while both exist,
// each an attached track named <entry prefix><i + 1>.
void AddTrackPairs(const MeshInfo& mesh, const std::string& prefix, const std::string& entryPrefix,
                   const KUID& track, int adjoining, SoupRef& attached) {
  for (int i = 0;; ++i) {
    const Kiv::PString a("a." + prefix + std::to_string(i) + "a");
    const Kiv::PString b("a." + prefix + std::to_string(i) + "b");
    if (!HasAttachmentPoint(mesh, a) || !HasAttachmentPoint(mesh, b)) return;
    SoupRef vertices = SoupRef::NewContainer();
    vertices.SetNamedTag(kZero, a.View());
    vertices.SetNamedTag(kOne, b.View());
    SoupRef entry = SoupRef::NewContainer();
    // A child made here cannot hold the soup it enters.
    (void)entry.SetNamedSoup(kVertices, vertices);
    entry.SetNamedTagKUID(kTrack, track);
    entry.SetNamedTagInt(kUseAdjoining, adjoining);
    // A child made here cannot hold the soup it enters.
    (void)attached.SetNamedSoup(Kiv::PString(entryPrefix + std::to_string(i + 1)), entry);
  }
}

}  // namespace

void BuildBogeyMeshTable(SoupRef& config, std::string_view F) {
  SoupRef table = NewMeshTable(config);
  const std::string f(F);
  // A child made here cannot hold the soup it enters.
  (void)table.SetNamedSoup(kDefault, MeshEntry(f + ".pm", 1));
  // A child made here cannot hold the soup it enters.
  (void)table.SetNamedSoup(kShadow, MeshEntry(f + "_shadow/" + f + "_shadow.pm", 0));
}

void BuildTraincarMeshTable(SoupRef& config, std::string_view F) {
  SoupRef table = NewMeshTable(config);
  const std::string f(F);
  // A child made here cannot hold the soup it enters.
  (void)table.SetNamedSoup(kDefault, MeshEntry(InFolder(f + "_body", f + "_body.pm"), 1));
  // A child made here cannot hold the soup it enters.
  (void)table.SetNamedSoup(kShadow, MeshEntry(InFolder(f + "_shadow", f + "_shadow.pm"), 0));
}

void BuildBogeyList(SoupRef& config) {
  SoupRef bogeys = SoupRef::NewContainer();
  int count = 0;
  // A tag that holds a KUID becomes the next entry and leaves the config.
  auto take = [&](const Kiv::PString& name, int reversed) {
    KUID kuid = config.GetNamedTagAsKUID(name);
    if (kuid.IsNull()) return false;
    SoupRef entry = SoupRef::NewContainer();
    entry.SetNamedTagKUID(kBogey, kuid);
    entry.SetNamedTagInt(kReversed, reversed);
    // A child made here cannot hold the soup it enters.
    (void)bogeys.SetNamedSoup(Kiv::PString(std::to_string(count++)), entry);
    config.RemoveNamedTag(name);
    return true;
  };
  take(kBogey, 0);
  take(Kiv::PString("bogey-r"), 1);
  for (int n = 1;; ++n) {
    const std::string base = "bogey-" + std::to_string(n);
    const bool forward = take(Kiv::PString(base), 0);
    const bool backward = take(Kiv::PString(base + "-r"), 1);
    if (!forward && !backward) break;
  }
  // A child made here cannot hold the soup it enters.
  (void)config.SetNamedSoup(kBogeys, bogeys);
}

void BuildJunctionMeshTable(SoupRef& config) {
  SoupRef table = NewMeshTable(config);
  for (const Kiv::PString* mode : {&kMode0, &kMode1}) {
    const Kiv::PString v = config.GetNamedTag(*mode);
    if (v.IsEmpty()) continue;
    SoupRef entry = SoupRef::NewContainer();
    entry.SetNamedTag(kMesh, v.Str() + "/" + v.Str() + ".im");
    entry.SetNamedTag(kAutoCreate, mode == &kMode0 ? "1" : "0");
    // A child made here cannot hold the soup it enters.
    (void)table.SetNamedSoup(v.ToLower(), entry);
    config.RemoveNamedTag(*mode);
  }
}

void BuildCrossingMeshTable(SoupRef& config) {
  const std::string m = config.GetNamedTag(kMode0).Str();
  const std::string meshPath = InFolder(m, (m.empty() ? std::string("mode0") : m) + ".im");
  const std::string animPath = InFolder(m, "anim.kin");
  SoupRef entry = SoupRef::NewContainer();
  entry.SetNamedTag(kMesh, meshPath);
  entry.SetNamedTag(kAnim, animPath);
  entry.SetNamedTagInt(kAutoCreate, 1);
  // A child made here cannot hold the soup it enters.
  (void)NewMeshTable(config).SetNamedSoup(kDefault, entry);

  MeshInfo mesh;
  const bool loaded = LoadAssetMesh(meshPath, mesh);
  if (loaded)
    if (std::optional<std::string> anim = ResolveCurrentAssetFile(animPath))
      // An animation that does not load leaves the mesh as it loaded; the loader reports why.
      (void)GetMeshProbe()->LoadAnimation(*anim, mesh);
  config.RemoveNamedTag(kMode0);
  config.RemoveNamedTag(kMode1);

  if (config.HasNamedTag(kAttachedTrack) || !loaded) return;
  const KUID road = config.GetNamedTagAsKUID(kRoad);
  const KUID track = config.GetNamedTagAsKUID(kTrack);
  SoupRef attached = SoupRef::NewContainer();
  AddTrackPairs(mesh, "road", "road", road, 1, attached);
  AddTrackPairs(mesh, "track", "track", track, 1, attached);
  // A child made here cannot hold the soup it enters.
  (void)config.SetNamedSoup(kAttachedTrack, attached);
}

void BuildTurntableMeshTable(SoupRef& config) {
  const std::string m0 = config.GetNamedTag(kMode0).Str();
  const std::string m1 = config.GetNamedTag(kMode1).Str();
  const std::string path0 = InFolder(m0, m0 + ".im");
  const std::string path1 = InFolder(m1, m1 + ".im");
  SoupRef table = NewMeshTable(config);
  // A child made here cannot hold the soup it enters.
  (void)table.SetNamedSoup(kDefault, MeshEntry(path0, 1));
  SoupRef turntable = SoupRef::NewContainer();
  turntable.SetNamedTag(kMesh, path1);
  // A child made here cannot hold the soup it enters.
  (void)table.SetNamedSoup(kTurntable, turntable);

  MeshInfo outer, inner;
  const bool loaded0 = LoadAssetMesh(path0, outer);
  const bool loaded1 = LoadAssetMesh(path1, inner);
  config.RemoveNamedTag(kMode0);
  config.RemoveNamedTag(kMode1);
  if (config.HasNamedTag(kAttachedTrack) || !loaded0 || !loaded1) return;
  const KUID track = config.GetNamedTagAsKUID(kTrack);
  SoupRef attached = SoupRef::NewContainer();
  AddTrackPairs(outer, "otrack", "tracko", track, 0, attached);
  AddTrackPairs(inner, "itrack", "tracki", track, 0, attached);
  // A child made here cannot hold the soup it enters.
  (void)config.SetNamedSoup(kAttachedTrack, attached);
  config.RemoveNamedTag(kTrack);
}

int CountNameAttachments(std::string_view meshPath) {
  MeshInfo mesh;
  if (!LoadAssetMesh(meshPath, mesh)) return 0;
  int n = 0;
  while (HasAttachmentPoint(mesh, Kiv::PString("a.name" + std::to_string(n)))) ++n;
  return n;
}

void BuildSceneryMeshTable(SoupRef& config, std::string_view F) {
  const std::string mesh = std::string(F) + ".im";
  SoupRef def = SoupRef::NewContainer();
  def.SetNamedTagInt(kAutoCreate, 1);
  def.SetNamedTag(kMesh, mesh);
  if (config.GetNamedTagAsInt(kAutoAnimation, 0) != 0) {
    def.SetNamedTag(kAnim, "anim.kin");
    def.SetNamedTagFloat(kAnimationLoopSpeed, 1.0f);
  }
  config.RemoveNamedTag(kAutoAnimation);

  if (const int n = CountNameAttachments(mesh); n > 0) {
    SoupRef effects = SoupRef::NewContainer();
    const Kiv::PString color = config.GetNamedTag(kFontColor);
    const Kiv::PString size = config.GetNamedTag(kFontSize);
    for (int i = 0; i < n; ++i) {
      SoupRef effect = SoupRef::NewContainer();
      effect.SetNamedTag(kKind, "name");
      effect.SetNamedTag(kAtt, "a.name" + std::to_string(i));
      if (!color.IsEmpty()) effect.SetNamedTag(kFontColor, color.View());
      if (!size.IsEmpty()) effect.SetNamedTag(kFontSize, size.View());
      effect.SetNamedTag(kName, "name");
      // A child made here cannot hold the soup it enters.
      (void)effects.SetNamedSoup(Kiv::PString(std::to_string(i)), effect);
    }
    // A child made here cannot hold the soup it enters.
    (void)def.SetNamedSoup(kEffects, effects);
  }

  SoupRef table = SoupRef::NewContainer();
  // A child made here cannot hold the soup it enters.
  (void)table.SetNamedSoup(kDefault, def);
  if (config.HasNamedTag(kNight)) {
    const std::string v = config.GetNamedTag(kNight).Str();
    config.RemoveNamedTag(kNight);
    SoupRef night = SoupRef::NewContainer();
    night.SetNamedTag(kMesh, v + "/" + v + ".im");
    night.SetNamedTag(kNightMeshBase, "default");
    // A child made here cannot hold the soup it enters.
    (void)table.SetNamedSoup(kNight, night);
  }
  // A child made here cannot hold the soup it enters.
  (void)config.SetNamedSoup(kMeshTable, table);
}

void BuildInteriorMeshTable(SoupRef& config) {
  SoupRef table = SoupRef::NewContainer();
  if (SoupRef attachment = config.GetNamedSoup(kAttachment)) {
    for (size_t i = 0; i < attachment.CountTags(); ++i) {
      SoupRef child = attachment.GetIndexedSoup(i);
      if (!child) continue;
      if (child.HasNamedTag(kAtt) && !child.HasNamedTag(kAttParent)) child.SetNamedTag(kAttParent, "default");
      // A child made here cannot hold the soup it enters.
      (void)table.Get()->AppendTag(attachment.Get()->GetTag(i));
    }
    config.RemoveNamedTag(kAttachment);
  }
  if (config.HasNamedTag(kMesh)) {
    // A child made here cannot hold the soup it enters.
    (void)table.SetNamedSoup(kDefault, MeshEntry(config.GetNamedTag(kMesh).View(), 1));
    config.RemoveNamedTag(kMesh);
  }
  // A child made here cannot hold the soup it enters.
  (void)config.SetNamedSoup(kMeshTable, table);
}

}  // namespace OBLLib
