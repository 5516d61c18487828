#include "gamescript/runtime/NativeCosts.h"

#include <algorithm>
#include <array>

namespace GSRuntime {

namespace {

// Phrases the entries share.
constexpr std::string_view kNewString = "the new string";
constexpr std::string_view kCopied = "bytes of the text copied";
constexpr std::string_view kNewName = "a new message name, counted before it is kept";
constexpr std::string_view kSoupCopied = "bytes of the soup copied";
constexpr std::string_view kSoupWalked = "bytes of the soup walked";
constexpr std::string_view kNone = {};

constexpr NativeCost kCosts[] = {
    // ---- runtime
    {"$string@GSObject::GetGSClassName()", kCopied, kNewString},
    {"$void@GameObject::SendMessage(GameObject,string,string)",
     "bytes of the names; the handlers and subscribers walked on delivery", kNewName},
    {"$void@GameObject::SendMessage(GameObject,string,string,GSObject)",
     "bytes of the names and of the payload soup copied; the handlers and subscribers walked",
     "the payload copy while the message lives; a new message name"},
    {"$void@GameObject::PostMessage(GameObject,string,string,float)", "bytes of the names",
     "the queued message; a new message name"},
    {"$void@GameObject::PostMessage(GameObject,string,string,GSObject,float)",
     "bytes of the names and of the payload soup copied",
     "the queued message and its payload; a new message name"},
    {"$void@GameObject::ClearMessages(string,string)", "bytes of the names; the delayed messages walked",
     kNone},
    {"$void@GameObject::AddHandler(GameObject,string,string,string)",
     "bytes of the names and of the handler's key; the handlers walked when they are removed",
     "the handler entry; a new message name"},
    {"$void@GameObject::Sniff(GameObject,string,string,bool)",
     "bytes of the names; the handlers walked when they are removed", "the sniff entry; a new message name"},
    {"$void@GameObject::Sleep(float)", kNone, kNone},
    {"$int@GameObject::GetId()", kNone, kNone},
    {"$string@GameObject::GetName()", kCopied, kNewString},
    {"$void@GameObject::Exception(string)", "bytes of the text logged, one budget byte each", kNone},
    {"$GameObject@Router::GetGameObject(int)", kNone, kNone},
    // The contexts walked are the host's, not the script's.
    {"$GameObject@Router::GetForeignGameObject(int)", kNone, kNone},
    {"$GameObject@Router::GetGameObject(string)", "bytes of the name looked up", kNone},
    {"$void@Router::Info()", kNone, kNone},
    {"$void@Router::PostMessage(int,int,string,string,float)", "bytes of the names",
     "the queued message; a new message name"},
    {"$float@Math::Rand(float,float)", kNone, kNone},
    {"$int@Math::Rand(int,int)", kNone, kNone},
    {"$float@Math::Sqrt(float)", kNone, kNone},
    {"$void@Str::TrimLeft(string,string)", "bytes of the string and of the set", kNone},
    {"$void@Str::TrimRight(string,string)", "bytes of the string and of the set", kNone},
    {"$int@Str::ToInt(string)", "bytes of the string", kNone},
    {"$float@Str::ToFloat(string)", "bytes of the string", kNone},
    {"$void@Str::ToUpper(string)", "bytes of the string", kNone},
    {"$void@Str::ToLower(string)", "bytes of the string", kNone},
    {"$string[]@Str::Tokens(string,string)", "bytes of the string, of the set and of each token made",
     "the array and each token"},
    {"$int@Str::UnpackInt(string)", "bytes of the string", kNone},
    {"$float@Str::UnpackFloat(string)", "bytes of the string", kNone},
    {"$string@Str::UnpackString(string)", "bytes of the string", kNewString},
    {"$int@Str::Find(string,string,int)", "bytes of the string and of the text sought", kNone},

    // ---- script object library: KUID and KUIDList
    {"$string@KUID::GetLogString()", kCopied, kNewString},
    {"$string@KUID::GetHTMLString()", kCopied, kNewString},
    {"$string@KUID::GetBaseString()", kCopied, kNewString},
    {"$KUID@KUID::GetBaseKUID()", kNone, "the KUID object, once per identifier and context"},
    {"$string@KUID::GetName()", kCopied, kNewString},
    {"$bool@KUIDList::IsLocked()", kNone, kNone},
    {"$int@KUIDList::CountKUIDs()", "the blocks of the list walked", kNone},
    {"$void@KUIDList::Clear()", kNone, kNone},
    {"$void@KUIDList::Copy(KUIDList)", "entries copied", "the entries of the copy"},
    {"$bool@KUIDList::HasKUID(KUID)", "entries walked", kNone},
    {"$void@KUIDList::RemoveKUID(KUID)", "entries walked", kNone},
    {"$void@KUIDList::AddKUID(KUID)", "entries walked for a duplicate", "the new entry"},
    {"$KUID@KUIDList::GetIndexedKUID(int)", "the blocks of the list walked",
     "the KUID object, once per identifier and context"},

    // ---- Soup
    {"$bool@Soup::IsLocked()", kNone, kNone},
    {"$int@Soup::CountTags()", kNone, kNone},
    {"$string@Soup::GetNamedTag(string)", "bytes of the name and of the value copied", kNewString},
    {"$Soup@Soup::GetNamedSoup(string)", "bytes of the name", "the soup object"},
    {"$Soup@Soup::GetNamedSoupAdd(string)", "bytes of the name", "the soup object and the new child"},
    {"$string@Soup::GetIndexedTagName(int)", kCopied, kNewString},
    {"$int@Soup::GetIndexForNamedTag(string)", "bytes of the name", kNone},
    {"$KUID@Soup::GetNamedTagAsKUID(string)", "bytes of the name", "the KUID object"},
    {"$int@Soup::GetNamedTagAsInt(string)", "bytes of the name", kNone},
    {"$int@Soup::GetNamedTagAsInt(string,int)", "bytes of the name", kNone},
    {"$float@Soup::GetNamedTagAsFloat(string)", "bytes of the name", kNone},
    {"$float@Soup::GetNamedTagAsFloat(string,float)", "bytes of the name", kNone},
    {"$void@Soup::SetNamedTag(string,string)", "bytes of the name and value; the tag index kept by name",
     "the tag"},
    {"$void@Soup::SetNamedTag(string,float)", "bytes of the name; the tag index kept by name", "the tag"},
    {"$void@Soup::SetNamedTag(string,int)", "bytes of the name; the tag index kept by name", "the tag"},
    {"$void@Soup::SetNamedTag(string,KUID)", "bytes of the name; the tag index kept by name", "the tag"},
    {"$void@Soup::SetNamedSoup(string,Soup)", "bytes of the name and of the soup copied", "the copy"},
    {"$void@Soup::RemoveNamedTag(string)", "bytes of the name", kNone},
    {"$void@Soup::Copy(Soup)", kSoupCopied, "the copy"},
    {"$void@Soup::Clear()", kNone, kNone},
    {"$Soup@Soup::GetLockedReference()", kNone, "the soup object"},
    {"$void@Soup::AddUniqueNamedSoup(Soup)", kSoupCopied, "the copy"},
    {"$void@Soup::Log()", "bytes of the soup walked and of the text logged", kNone},

    // ---- HTMLBuffer
    {"$void@HTMLBuffer::Print(string)", "bytes of the text", "the buffer's growth"},
    {"$void@HTMLBuffer::Escape(string)", "bytes of the text", "the buffer's growth"},
    {"$void@HTMLBuffer::Clear()", kNone, kNone},
    {"$bool@HTMLBuffer::IsEmpty()", kNone, kNone},
    {"$string@HTMLBuffer::AsString()", "bytes of the buffer copied", kNewString},
    {"$HTMLBuffer@HTMLBufferStatic::Construct()", kNone, "the buffer object"},

    // ---- StringTable
    {"$void@StringTable::SetParam(int,string)", "bytes of the parameter", "the parameter kept"},
    {"$void@StringTable::ClearParams()", kNone, kNone},
    {"$string@StringTable::GetString(string)", "bytes of the name and of the text substituted",
     "the substituted text, counted before it is built"},
    {"$string@StringTable::GetLanguage()", kCopied, kNewString},

    // ---- Asset
    {"$KUID@Asset::GetKUID()", kNone, "the KUID object"},
    {"$string@Asset::GetLocalisedName()", kCopied, kNewString},
    {"$string@Asset::GetLocalisedDescription()", kCopied, kNewString},
    {"$string@Asset::GetCreatorName()", kCopied, kNewString},
    {"$KUID@Asset::LookupKUIDTable(string)", "bytes of the name", "the KUID object"},
    {"$Asset@Asset::FindAsset(string)", "bytes of the name", "the asset object"},
    {"$StringTable@Asset::GetStringTable()", kNone, "the string table object"},
    {"$Soup@Asset::GetConfigSoup()", kSoupCopied, "the soup object and its copy"},
    {"$KUIDList@Asset::GetDependencyList()", "entries copied", "the list"},
    {"$bool@Asset::SupportsRovanaBuildVersion(float)", kNone, kNone},
    {"$Image@Asset::LoadImage(string)", "bytes of the name and of the pixels decoded",
     "the image, counted before it is made"},
    {"$bool@Asset::IsLocallyModified()", kNone, kNone},
    {"$string@Asset::GetInfoURL()", kCopied, kNewString},
    {"$bool@Asset::GetIsFavorite()", kNone, kNone},
    {"$void@Asset::SetIsFavorite(bool)", kNone, kNone},
    {"$Asset@Asset::GetParent()", kNone, "the asset object"},
    {"$string@Asset::GetCategoryEra()", kCopied, kNewString},
    {"$string@Asset::GetCategoryRegion()", kCopied, kNewString},
    {"$Soup@Asset::GetSessionRuleData(string)", "bytes of the name and of the soup copied",
     "the soup object and its copy"},
    {"$bool@Asset::IsBuiltIn()", kNone, kNone},
    {"$bool@Asset::IsOnTheVendaro()", kNone, kNone},

    // ---- LinkedList and Constructors
    {"$void@LinkedList::SortInternal(LinkedData[])", "entries moved and comparisons made", kNone},
    {"$void@LinkedList::AddInternal(LinkedData[],LinkedData,bool)", "entries moved", "the array's growth"},
    {"$Soup@ConstructorsBase::NewSoup()", kNone, "the soup object"},
    {"$KUIDList@ConstructorsBase::NewKUIDList()", kNone, "the list object"},
    {"$Image@ConstructorsBase::NewImage()", kNone, "the image object"},

    // ---- RovanaGameObject and SecurityToken
    {"$SecurityToken@RovanaGameObject::IssueSecurityToken(KUID,string[])", "rights copied",
     "the token and its rights, counted before they are made"},
    {"$SecurityToken@RovanaGameObject::IssueSecurityToken(SecurityToken,KUID,string[])",
     "rights copied and checked", "the token and its rights, counted before they are made"},
    {"$SecurityToken@RovanaGameObject::MergeSecurityTokens(SecurityToken[])", "rights of every token merged",
     "the merged token and its rights, counted before they are made"},
    {"$bool@RovanaGameObject::Validate(SecurityToken,RovanaGameObject,string)", "bytes of the right sought",
     kNone},
    {"$bool@RovanaGameObject::Validate(SecurityToken,KUID,string)", "bytes of the right sought", kNone},
    {"$bool@SecurityToken::IsOwnerLocallyModified()", kNone, kNone},

    // ---- Library
    {"$OnlineAccess@Library::GetOnlineAccess()", kNone, "the online access object, once per library"},
    {"$string@Library::LibraryCallNative(string,string[],GSObject[])",
     "bytes of the arguments handed to the plug-in and of its answer", kNewString},
    {"$void@Library::AddSystemMenuIcon(Asset,string,string)", "bytes of the texts", kNone},
    {"$void@Library::AddSystemMenuIcon(Asset,string,string,bool)", "bytes of the texts", kNone},
    {"$void@Library::BlinkSystemMenuIcon(int)", kNone, kNone},
    {"$void@Library::RemoveSystemMenuIcon()", kNone, kNone},
    {"$void@Library::ShowSystemMenuIconMenu(Menu)", kNone, kNone},

    // ---- Image
    {"$void@Image::SetLineColor(float,float,float,float)", kNone, kNone},
    {"$void@Image::SetFillColor(float,float,float,float)", kNone, kNone},
    {"$void@Image::SetTextFont(string,int)", "bytes of the font name", kNone},
    {"$int@Image::GetWidth()", kNone, kNone},
    {"$int@Image::GetHeight()", kNone, kNone},
    {"$void@Image::Clear(int,int)", "pixels cleared", "the pixels, counted before they are made"},
    {"$void@Image::Resize(int,int,bool)", "pixels written and read",
     "the resized pixels, counted before they are made"},
    {"$void@Image::DrawPoint(int,int)", kNone, kNone},
    {"$void@Image::DrawLine(int,int,int,int)", "pixels drawn", kNone},
    {"$void@Image::DrawRect(int,int,int,int)", "pixels drawn", kNone},
    {"$void@Image::DrawCircle(int,int,int)", "pixels drawn", kNone},
    {"$void@Image::DrawTriangle(int,int,int,int,int,int)", "pixels drawn", kNone},
    {"$void@Image::DrawImage(int,int,Image)", "pixels drawn and copied",
     "the copy of the source, while it lives"},
    {"$void@Image::DrawImage(int,int,int,int,Image)", "pixels drawn and copied",
     "the copy of the source, while it lives"},
    {"$void@Image::DrawImage(int,int,int,int,Image,int,int,int,int)", "pixels drawn and copied",
     "the copy of the source, while it lives"},
    {"$void@Image::DrawText(int,int,string)", "bytes of the text and pixels drawn", kNone},
    {"$int@Image::MeasureTextWidth(string)", "bytes of the text", kNone},
    {"$void@Image::ImportImage(Soup)", "bytes of the soup read and pixels made",
     "the pixels, counted before they are made"},
    {"$Soup@Image::ExportImage()", "pixels written", "the soup and its pixel tags"},

    // ---- RovanaScriptBase (the static object World)
    {"$float@RovanaScriptBase::GetSeconds()", kNone, kNone},
    {"$float@RovanaScriptBase::GetNormalizedSystemTime()", kNone, kNone},
    {"$int@RovanaScriptBase::GetSystemYear()", kNone, kNone},
    {"$int@RovanaScriptBase::GetSystemMonth()", kNone, kNone},
    {"$int@RovanaScriptBase::GetSystemDate()", kNone, kNone},
    {"$int@RovanaScriptBase::GetSystemHour()", kNone, kNone},
    {"$int@RovanaScriptBase::GetSystemMinute()", kNone, kNone},
    {"$int@RovanaScriptBase::GetSystemSecond()", kNone, kNone},
    {"$Library@RovanaScriptBase::GetLibrary(KUID)", kNone, "the library object, once per asset and context"},
    {"$Asset@RovanaScriptBase::FindAsset(KUID)", kNone, "the asset object, once per asset and context"},
    {"$Asset[]@RovanaScriptBase::GetAssetList(string)", "bytes of the type; the assets listed",
     "the array and its asset objects"},
    {"$Asset[]@RovanaScriptBase::GetAssetList(string,string)",
     "bytes of the type and categories; the assets listed", "the array and its asset objects"},
    {"$KUID[]@RovanaScriptBase::SearchAssets(string,bool)", "bytes of the text; the assets listed",
     "the array and its KUID objects"},
    {"$Asset[]@RovanaScriptBase::FindUpdatedAssets()", "the assets listed",
     "the array and its asset objects"},
    {"$Soup@RovanaScriptBase::RovanaSystemCall(string,Soup)",
     "bytes of the soup walked and of the text logged", "the answer's soup object"},
    {"$bool@RovanaScriptBase::OpenURL(string)", "bytes of the address", kNone},
    {"$void@RovanaScriptBase::Log(string)", "bytes of the text logged, one budget byte each", kNone},
    {"$float@RovanaScriptBase::GetRovanaVersion()", kNone, kNone},
    {"$int@RovanaScriptBase::GetRovanaBuild()", kNone, kNone},
    {"$KUID@RovanaScriptBase::CloneKUID(KUID)", kNone, "the KUID object, once per identifier and context"},

    // ---- OnlineAccess
    {"$void@OnlineAccess::Connect()", kNone, kNone},
    {"$int@OnlineAccess::GetStatus()", kNone, kNone},
    {"$void@OnlineAccess::Disconnect()", kNone, kNone},
    {"$string@OnlineAccess::GetUsername()", kCopied, kNewString},
    {"$int@OnlineAccess::GetLocalData(string,Soup)", "bytes of the name and of the soup read",
     "the soup's growth"},
    {"$int@OnlineAccess::SetLocalData(string,Soup)", "bytes of the name and of the soup written",
     "the stored soup, counted before it is kept"},
    {"$int@OnlineAccess::GetProfileData(string,Soup)", "bytes of the name and of the request", kNone},
    {"$int@OnlineAccess::SetProfileData(string,Soup)", kSoupWalked, "the packet queued"},
    {"$int@OnlineAccess::PostMessage(string,Soup)", kSoupWalked, "the packet queued"},
    {"$int@OnlineAccess::CollectMessage(string,Soup)", "bytes of the name and of the message read",
     "the soup's growth"},
    {"$OnlineGroup@OnlineAccess::CreateGroup(int)", kNone, "the group object"},
    {"$OnlineGroup@OnlineAccess::OpenGroup(string,int)", "bytes of the cookie", "the group object"},
    {"$int@OnlineAccess::PostOfflineMessage(Soup)", kSoupWalked, "the message stored"},
    {"$int@OnlineAccess::CollectOfflineMessage(Soup)", "bytes of the message read", "the soup's growth"},

    // ---- OnlineGroup
    {"$void@OnlineGroup::Connect()", kNone, kNone},
    {"$int@OnlineGroup::GetStatus()", kNone, kNone},
    {"$void@OnlineGroup::Disconnect()", kNone, kNone},
    {"$string@OnlineGroup::GetOnlineGroupCookie()", kCopied, kNewString},
    {"$void@OnlineGroup::AddUser(string)", "bytes of the name; the members walked", "the member"},
    {"$void@OnlineGroup::RemoveUser(string)", "bytes of the name; the members walked", kNone},
    {"$int@OnlineGroup::CountUsers()", kNone, kNone},
    {"$string@OnlineGroup::GetIndexedUser(int)", kCopied, kNewString},
    {"$int@OnlineGroup::FindUser(string)", "bytes of the name; the members walked", kNone},
    {"$int@OnlineGroup::GetUserStatus(int)", kNone, kNone},
    {"$int@OnlineGroup::PostMessage(Soup)", kSoupWalked, "the packet queued"},
    {"$int@OnlineGroup::CollectMessage(string,Soup)", "bytes of the name and of the message read",
     "the soup's growth"},
    {"$void@OnlineGroup::SetModeFlags(int,int)", kNone, kNone},
    {"$void@OnlineGroup::SetUserModeFlags(string,int,int)", "bytes of the name; the members walked", kNone},
    {"$int@OnlineGroup::GetUserModeFlags(string)", "bytes of the name; the members walked", kNone},
};

}  // namespace

std::span<const NativeCost> NativeCosts() { return kCosts; }

const NativeCost* FindNativeCost(std::string_view key) {
  const auto* found =
      std::find_if(std::begin(kCosts), std::end(kCosts), [&](const NativeCost& c) { return c.key == key; });
  return found == std::end(kCosts) ? nullptr : found;
}

}  // namespace GSRuntime
