#include "scriptlib/GSOLibrary.h"

#include "foundation/Log.h"
#include "foundation/Stream.h"
#include "gamescript/runtime/Router.h"
#include "gamescript/runtime/ScriptLogHook.h"
#include "scriptlib/GSOAsset.h"
#include "scriptlib/GSOSoup.h"
#include "scriptlib/NativeBinding.h"
#include "scriptlib/RovanaScriptContext.h"
#include "scriptlib/ScriptNatives.h"
#include "umbclient/ContentFolders.h"

using namespace GSRuntime;
using namespace ScriptNatives;

// ------------------------------------------------------------ asset spec

GSOLibrarySpec::GSOLibrarySpec(const KUID& kuid, std::string_view folderKey, std::string_view folder,
                               std::string_view name, const SoupRef& config)
    : RovanaBaseSpec(kuid, folderKey, folder, name, config),
      m_nativeLibrary(config.GetNamedTag(Kiv::PString("native-library")).Str()) {}

std::unique_ptr<GSOLibrary> GSOLibrarySpec::CreateLibraryObject(RovanaScriptContext& context) {
  return std::make_unique<GSOLibrary>(&context, SpecRef(this));
}

std::unique_ptr<GizmokitSpec> GSOLibrarySpecFactory::Create(const KUID& kuid, std::string_view folderKey,
                                                            std::string_view folder, std::string_view name,
                                                            const SoupRef& config) {
  return std::make_unique<GSOLibrarySpec>(kuid, folderKey, folder, name, config);
}

void InstallLibrarySpecFactory() {
  // Never destroyed: registries made at any time, up to the process's end, use it.
  static GSOLibrarySpecFactory* const factory = new GSOLibrarySpecFactory;
  SpecRegistry::AddStandardFactory(factory);
}

// ------------------------------------------------------------ library object

GSOLibrary::GSOLibrary(RovanaScriptContext* context, SpecRef spec) : ScriptableObject(context), m_spec(spec) {
  const auto* library = dynamic_cast<const GSOLibrarySpec*>(m_spec.Get());
  if (library && !library->NativeLibraryName().empty())
    m_nativeLibrary = Kiv::LoadNativeInterfaceLibrary(GetPluginsFolderPath(), library->NativeLibraryName());
}

GSOLibrary::~GSOLibrary() {
  if (m_nativeLibrary) Kiv::EXORelease(m_nativeLibrary);
}

void GSOLibrary::Initialise() {
  if (m_initialised) return;
  m_initialised = true;
  if (RovanaScriptContext* context = ScriptContext()) context->Complete(*this);
  DeliverProperties();
}

SoupRef GSOLibrary::GetProperties() {
  if (Failed()) return SoupRef();
  uint32_t result = 0;
  SoupRef copy;
  if (CallScript(kGetPropertiesKey, nullptr, 0, &result)) {
    if (const auto* soup = dynamic_cast<const GSOSoup*>(GetObject(result))) copy.Copy(soup->Soup());
    ReleaseHandle(result);
  }
  if (copy.IsNull())
    LogLine("GSOLibrary::GetProperties> could not retrieve properties for %s",
            FormatKUIDTag(GetKUID()).c_str());
  return copy;
}

bool GSOLibrary::SaveRecord(TStream& stream) {
  const SoupRef properties = GetProperties();
  if (properties.CountTags() == 0) return true;
  // Counted before it is written: a few shared nodes can stand for terabytes.
  int depth = 0;
  const uint64_t size = TDBBinaryFile::EncodedSize(properties, &depth);
  if (const char* refusal = GSOSoup::WriteRefusal(size, depth)) {
    LogLine("GSOLibrary::SaveRecord> the properties of %s are not saved: %s",
            FormatKUIDTag(GetKUID()).c_str(), refusal + 2);
    return false;
  }
  stream.DropReadAhead();
  stream.WriteU32(0);
  return WriteSoupBinary(stream, properties, size) && stream.GetError() == TStream::kErrorNone;
}

bool GSOLibrary::LoadRecord(TStream& stream) {
  if (Failed()) return false;
  SoupRef soup;
  // The reader passes over the u32 0 the save puts before the soup.
  if (!ReadSoupBinary(stream, soup)) return false;
  SetPendingProperties(soup);
  if (m_initialised) DeliverProperties();
  return true;
}

int GSOLibrary::ReceiveMessage(const Kiv::PString& name, const void* target) {
  if (!m_clickSource || target != m_clickSource || name.View() != "click")
    return NuMessageRecipient::ReceiveMessage(name, target);
  GSRouter* router = Router();
  if (const MessageRef message =
          router ? GSMessage::Create(this, "Interface", "ClickSystemButton", uint32_t(NodeId()), 0)
                 : MessageRef())
    // A post refused past the memory limit is reported by the router itself.
    (void)router->PostMessage(message.Get());
  return 0;
}

std::string GSOLibrary::CallNative(const std::string& function,
                                   const std::vector<const char*>& arguments) const {
  EXOHandle args = Kiv::EXOAllocArray(int32_t(arguments.size()));
  for (size_t i = 0; i < arguments.size(); ++i) {
    EXOHandle text = Kiv::EXOAllocString(arguments[i]);
    // The array was made for every argument.
    (void)Kiv::EXOSetArrayElement(args, int32_t(i), text);
    Kiv::EXORelease(text);
  }
  EXOHandle name = Kiv::EXOAllocString(function.c_str());
  EXOHandle result = Kiv::EXOCallLibraryFunction(m_nativeLibrary, name, args);
  // A plug-in may hand back a handle it was only lent (the name, the array
  // or one of its elements) without a reference of its own: the result is
  // read while those live, and released only when the plug-in made it.
  bool lent = result == name || result == args;
  for (int32_t i = 0; !lent && i < int32_t(arguments.size()); ++i)
    lent = result == Kiv::EXOHost().getArrayElement(args, i);
  std::string text;
  if (Kiv::EXOGetObjectClass(result) == Kiv::kEXOClassString)
    if (const char* t = Kiv::EXOGetStringText(result)) text = t;
  if (!lent) Kiv::EXORelease(result);
  Kiv::EXORelease(name);
  Kiv::EXORelease(args);
  return text;
}

// ------------------------------------------------------------ natives

void GSOLibrary::GetOnlineAccess(GSStack& stack) {
  const OnlineAccessLookup lookup = GetOnlineAccessLookup();
  const KUID owner = GetKUID();
  PushObject(stack, lookup && !owner.IsNull() ? lookup(Context(), owner) : nullptr, false);
}

void GSOLibrary::LibraryCallNative(GSStack& stack) {
  std::string name;
  if (!GetNativeStringParameter(stack, 1, name, false)) return stack.Push(0), void();
  if (!m_nativeLibrary) {
    if (ScriptLogHook)
      ScriptLogHook("Library.LibraryCall> unknown function '%s' was called on object '%s'", name.c_str(),
                    m_spec ? m_spec->GetDescription().c_str() : "");
    return PushNativeStringResult(stack, Context(), "");
  }
  GSArray* strings = nullptr;
  if (!GetNativeParameter(stack, 2, strings, true)) return stack.Push(0), void();
  std::vector<std::string> texts;
  std::vector<bool> present;
  for (size_t i = 0; strings && i < strings->Size(); ++i) {
    const GSObjectReference* element = GetObject(strings->At(i));
    const bool isText = element && element->Type() == ObjectString;
    texts.push_back(isText ? static_cast<const GSString*>(element)->Text() : std::string());
    present.push_back(isText);
  }
  // The texts are copied twice on their way to the library.
  uint64_t bytes = 4 * uint64_t(texts.size());
  for (const std::string& t : texts) bytes += 2 * t.size();
  PayRunBudget(bytes);
  std::vector<const char*> arguments;
  for (size_t i = 0; i < texts.size(); ++i) arguments.push_back(present[i] ? texts[i].c_str() : nullptr);
  PushNativeStringResult(stack, Context(), CallNative(name, arguments));
}

void GSOLibrary::AddMenuIcon(GSStack& stack, bool withFlag) {
  GSOAsset* asset = nullptr;
  Kiv::PString first, second;
  if (!GetNativeParameter(stack, 1, asset, false) || !GetNativePStringParameter(stack, 2, first, true) ||
      !GetNativePStringParameter(stack, 3, second, true))
    return;
  const bool flag = withFlag && GetNativeBoolParameter(stack, 4);
  if (m_spec && ScriptContext())
    ScriptContext()->SetSystemMenuIcon(*this, asset->Kuid(), first, second, flag);
}

void GSOLibrary::AddSystemMenuIcon(GSStack& stack) { AddMenuIcon(stack, false); }
void GSOLibrary::AddSystemMenuIconBlinking(GSStack& stack) { AddMenuIcon(stack, true); }

void GSOLibrary::BlinkSystemMenuIcon(GSStack& stack) {
  if (ScriptContext()) ScriptContext()->BlinkSystemMenuIcon(*this, GetNativeIntParameter(stack, 1));
}

void GSOLibrary::RemoveSystemMenuIcon(GSStack&) {
  if (ScriptContext())
    ScriptContext()->SetSystemMenuIcon(*this, KUID::Null(), Kiv::PString::Empty(), Kiv::PString::Empty(),
                                       false);
}

void GSOLibrary::ShowSystemMenuIconMenu(GSStack& stack) {
  if (ScriptContext()) ScriptContext()->ShowSystemMenuIconMenu(*this, GetObject(stack.Argument(1)));
}

void GSOLibrary::RegisterNatives(GSMachine& machine) {
  const auto add = [&machine](const char* key, void (GSOLibrary::*function)(GSStack&)) {
    AddNative(machine, "Library", key, function);
  };
  add("$OnlineAccess@Library::GetOnlineAccess()", &GSOLibrary::GetOnlineAccess);
  add("$string@Library::LibraryCallNative(string,string[],GSObject[])", &GSOLibrary::LibraryCallNative);
  add("$void@Library::AddSystemMenuIcon(Asset,string,string)", &GSOLibrary::AddSystemMenuIcon);
  add("$void@Library::AddSystemMenuIcon(Asset,string,string,bool)", &GSOLibrary::AddSystemMenuIconBlinking);
  add("$void@Library::BlinkSystemMenuIcon(int)", &GSOLibrary::BlinkSystemMenuIcon);
  add("$void@Library::RemoveSystemMenuIcon()", &GSOLibrary::RemoveSystemMenuIcon);
  add("$void@Library::ShowSystemMenuIconMenu(Menu)", &GSOLibrary::ShowSystemMenuIconMenu);
}
