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
constexpr std::string_view kNone = {};
constexpr std::string_view kLookup = "bytes of the name; the tags walked up to it";
constexpr std::string_view kPixelsDrawn = "8 bytes per pixel drawn";
constexpr std::string_view kPixelsBlended =
    "32 bytes per pixel drawn (the source and the target read, blended and written: about eight pixels "
    "copied)";
constexpr std::string_view kSet = "bytes of the name; every tag when the name is held (each is removed)";
constexpr std::string_view kTag = "the tag, counted as it is made";

// The one rule every entry follows. A native pays in proportion to the work
// it does, at the rate strings pay (PayRunBudget: one budget byte per
// kBytesPerBudgetByte bytes): the bytes it actually reads, writes or
// compares (up to where it stops, not the whole argument), each object it
// makes (as kObjectMadeBytes), and each row or entry it walks, the asset
// database's rows and the entries of any cache it fills included; never for
// work it does not do. What it keeps, in the script's memory or in a
// process-wide cache it fills, is either counted against the memory limit at
// its real size or bounded by a fixed size no script can raise (the font
// cache, kFontCacheBytes, least recently used first out). Work whose cost
// per byte is far above a copy's says so in its entry.
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
    {"$void@Str::TrimLeft(string,string)",
     "bytes of the string; 8 times the bytes of the set and of the characters trimmed (each looked at alone)",
     kNone},
    {"$void@Str::TrimRight(string,string)",
     "bytes of the string; 8 times the bytes of the set and of the characters trimmed (each looked at alone)",
     kNone},
    {"$int@Str::ToInt(string)", "bytes of the string; 16 times the blanks and digits read", kNone},
    {"$float@Str::ToFloat(string)", "bytes of the string; 16 times the blanks and number characters read",
     kNone},
    {"$void@Str::ToUpper(string)", "bytes of the string", kNone},
    {"$void@Str::ToLower(string)", "bytes of the string", kNone},
    {"$string[]@Str::Tokens(string,string)",
     "bytes of the string, 8 times (each looked at alone), and of the set, 8 times; each token made, as an "
     "object made besides its bytes (no more are "
     "made once the budget is spent)",
     "the array and each token at its real size (record, text and bookkeeping)"},
    {"$int@Str::UnpackInt(string)", "bytes of the string; 8 times the blanks and the word walked", kNone},
    {"$float@Str::UnpackFloat(string)", "bytes of the string; 8 times the blanks and the word walked", kNone},
    {"$string@Str::UnpackString(string)", "bytes of the string; 8 times the blanks and the word walked",
     kNewString},
    {"$int@Str::Find(string,string,int)",
     "bytes of the text sought and of the string read from the start to the match's end (to its end when "
     "none), those read 32 times for a text sought of more than one byte (a search's steps), 96 times those "
     "left to the two-way search when its rarest byte is met too often",
     kNone},

    // ---- script object library: KUID and KUIDList
    {"$string@KUID::GetLogString()", kCopied, kNewString},
    {"$string@KUID::GetHTMLString()", kCopied, kNewString},
    {"$string@KUID::GetBaseString()", kCopied, kNewString},
    {"$KUID@KUID::GetBaseKUID()", kNone, "the KUID object, once per identifier and context"},
    {"$string@KUID::GetName()", kCopied, kNewString},
    {"$bool@KUIDList::IsLocked()", kNone, kNone},
    {"$int@KUIDList::CountKUIDs()", kNone, kNone},
    {"$void@KUIDList::Clear()", "the entries let go, 40 bytes each", kNone},
    {"$void@KUIDList::Copy(KUIDList)", "the entries copied, 40 bytes each",
     "the entries of the copy, counted before they are made"},
    {"$bool@KUIDList::HasKUID(KUID)", kNone, kNone},
    {"$void@KUIDList::RemoveKUID(KUID)", kNone, kNone},
    {"$void@KUIDList::AddKUID(KUID)", kNone, "the new entry, counted before it is made"},
    {"$KUID@KUIDList::GetIndexedKUID(int)", "the blocks stepped from the last index asked, 64 bytes each",
     "the KUID object, once per identifier and context"},

    // ---- Soup
    {"$bool@Soup::IsLocked()", kNone, kNone},
    {"$int@Soup::CountTags()", kNone, kNone},
    {"$string@Soup::GetNamedTag(string)",
     "bytes of the name and of the value copied; the tags walked up to it", kNewString},
    {"$Soup@Soup::GetNamedSoup(string)", kLookup, "the soup object (the child is shared, not copied)"},
    {"$Soup@Soup::GetNamedSoupAdd(string)", kLookup, "the soup object; a new child, counted as it is made"},
    {"$string@Soup::GetIndexedTagName(int)", kCopied, kNewString},
    {"$int@Soup::GetIndexForNamedTag(string)",
     "4,096 bytes per call (the name interned, the name index asked under its lock); bytes of the name; the "
     "tags walked up to it",
     kNone},
    {"$KUID@Soup::GetNamedTagAsKUID(string)", kLookup, "the KUID object, once per identifier and context"},
    {"$int@Soup::GetNamedTagAsInt(string)", kLookup, kNone},
    {"$int@Soup::GetNamedTagAsInt(string,int)", kLookup, kNone},
    {"$float@Soup::GetNamedTagAsFloat(string)", kLookup, kNone},
    {"$float@Soup::GetNamedTagAsFloat(string,float)", kLookup, kNone},
    {"$void@Soup::SetNamedTag(string,string)",
     "bytes of the name and value; every tag when the name is held (each is removed)",
     "the tag with its name and text, checked before it is made"},
    {"$void@Soup::SetNamedTag(string,float)", kSet, kTag},
    {"$void@Soup::SetNamedTag(string,int)", kSet, kTag},
    {"$void@Soup::SetNamedTag(string,KUID)", kSet, kTag},
    {"$void@Soup::SetNamedSoup(string,Soup)",
     "bytes of the name; every tag when the name is held; the child soup walked for a cycle",
     "the child's tags as they join (the child is shared, not copied)"},
    {"$void@Soup::RemoveNamedTag(string)",
     "bytes of the name; every tag when the name is held (the tags after it move down)", kNone},
    {"$void@Soup::Copy(Soup)", kSoupCopied, "the copy, checked before it is made"},
    {"$void@Soup::Clear()", "the tags let go", kNone},
    {"$Soup@Soup::GetLockedReference()", kNone, "the soup object"},
    {"$void@Soup::AddUniqueNamedSoup(Soup)",
     "the tags walked for a unique name; the child soup walked for a cycle",
     "the child's tags as they join (the child is shared, not copied)"},
    {"$void@Soup::Log()", "bytes of the soup walked; one budget byte per byte of the text logged",
     "the text, checked to fit before it is made (not kept)"},

    // ---- HTMLBuffer
    {"$void@HTMLBuffer::Print(string)", "bytes of the text, twice (read, then appended)",
     "the buffer's growth, counted before it grows"},
    {"$void@HTMLBuffer::Escape(string)", "bytes of the text, twice (read, then escaped)",
     "the buffer's growth (up to five bytes a byte), counted before it grows"},
    {"$void@HTMLBuffer::Clear()", kNone, kNone},
    {"$bool@HTMLBuffer::IsEmpty()", kNone, kNone},
    {"$string@HTMLBuffer::AsString()", "bytes of the buffer copied", kNewString},
    {"$HTMLBuffer@HTMLBufferStatic::Construct()", kNone, "the buffer object"},

    // ---- StringTable
    {"$void@StringTable::SetParam(int,string)", "bytes of the parameter",
     "the parameter kept, checked before it is copied"},
    {"$void@StringTable::ClearParams()", kNone, kNone},
    {"$string@StringTable::GetString(string)", "bytes of the name, of the entry and of the text substituted",
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
    {"$Soup@Asset::GetConfigSoup()", kNone, "the soup object (a locked reference to the config, not a copy)"},
    {"$KUIDList@Asset::GetDependencyList()", "the dependencies copied, twice 16 bytes each",
     "the list object (a locked list of the asset's own dependencies)"},
    {"$bool@Asset::SupportsRovanaBuildVersion(float)", kNone, kNone},
    {"$Image@Asset::LoadImage(string)", "bytes of the name; 8 bytes per pixel (decoded, then converted)",
     "the pixels, 4 bytes each, counted from the file's size before it is decoded"},
    {"$bool@Asset::IsLocallyModified()", kNone, kNone},
    {"$string@Asset::GetInfoURL()", kCopied, kNewString},
    {"$bool@Asset::GetIsFavorite()", kNone, kNone},
    {"$void@Asset::SetIsFavorite(bool)", kNone, kNone},
    {"$Asset@Asset::GetParent()", kNone, "the asset object"},
    {"$string@Asset::GetCategoryEra()", kCopied, kNewString},
    {"$string@Asset::GetCategoryRegion()", kCopied, kNewString},
    {"$Soup@Asset::GetSessionRuleData(string)", "bytes of the name",
     "the soup object (a locked reference to the config, not a copy)"},
    {"$bool@Asset::IsBuiltIn()", kNone, kNone},
    {"$bool@Asset::IsOnTheVendaro()", kNone, kNone},

    // ---- LinkedList and Constructors
    {"$void@LinkedList::SortInternal(LinkedData[])",
     "256 bytes per entry read (its record, cells and key found through their handles); one budget byte per "
     "comparison made; 3 times the key bytes each comparison reads (up to the first difference; both keys "
     "read, long ones from beyond the cache)",
     kNone},
    {"$void@LinkedList::AddInternal(LinkedData[],LinkedData,bool)",
     "with the duplicate check, 256 bytes per entry read (the item's and those walked up to a match) and 3 "
     "times the key bytes each comparison reads",
     "the array's growth, counted before it grows"},
    {"$Soup@ConstructorsBase::NewSoup()", kNone, "the soup object"},
    {"$KUIDList@ConstructorsBase::NewKUIDList()", kNone, "the list object"},
    {"$Image@ConstructorsBase::NewImage()", kNone, "the image object"},

    // ---- RovanaGameObject and SecurityToken
    {"$SecurityToken@RovanaGameObject::IssueSecurityToken(KUID,string[])",
     "bytes of the rights, as the token holds them, paid before it is made",
     "the token and its rights, counted before they are made"},
    {"$SecurityToken@RovanaGameObject::IssueSecurityToken(SecurityToken,KUID,string[])",
     "bytes of the base token and of the rights asked, paid before it is made",
     "the token and its rights, counted before they are made"},
    {"$SecurityToken@RovanaGameObject::MergeSecurityTokens(SecurityToken[])",
     "4 bytes per reference; the rights of each distinct token merged",
     "the merged token and its rights, counted before they are made"},
    {"$bool@RovanaGameObject::Validate(SecurityToken,RovanaGameObject,string)", "bytes of the right sought",
     kNone},
    {"$bool@RovanaGameObject::Validate(SecurityToken,KUID,string)", "bytes of the right sought", kNone},
    {"$bool@SecurityToken::IsOwnerLocallyModified()", "the grants walked", kNone},

    // ---- Library
    {"$OnlineAccess@Library::GetOnlineAccess()", kNone, "the online access object, once per library"},
    {"$string@Library::LibraryCallNative(string,string[],GSObject[])",
     "bytes of the name; of the texts, twice (copied on their way to the plug-in); of the answer",
     kNewString},
    {"$void@Library::AddSystemMenuIcon(Asset,string,string)", "bytes of the texts", kNone},
    {"$void@Library::AddSystemMenuIcon(Asset,string,string,bool)", "bytes of the texts", kNone},
    {"$void@Library::BlinkSystemMenuIcon(int)", kNone, kNone},
    {"$void@Library::RemoveSystemMenuIcon()", kNone, kNone},
    {"$void@Library::ShowSystemMenuIconMenu(Menu)", kNone, kNone},

    // ---- Image
    {"$void@Image::SetLineColor(float,float,float,float)", kNone, kNone},
    {"$void@Image::SetFillColor(float,float,float,float)", kNone, kNone},
    {"$void@Image::SetTextFont(string,int)", "bytes of the face name",
     "the face name while the image keeps it, counted before it is copied"},
    {"$int@Image::GetWidth()", kNone, kNone},
    {"$int@Image::GetHeight()", kNone, kNone},
    {"$void@Image::Clear(int,int)", "12 bytes per pixel (4 made, 8 filled)",
     "the pixels, 4 bytes each, counted before they are made"},
    {"$void@Image::Resize(int,int,bool)", "4 bytes per pixel made; 12 per pixel drawn (4 read, 8 written)",
     "the new pixels beside the old, counted before they are made"},
    {"$void@Image::DrawPoint(int,int)", kNone, kNone},
    {"$void@Image::DrawLine(int,int,int,int)", kPixelsDrawn, kNone},
    {"$void@Image::DrawRect(int,int,int,int)", kPixelsDrawn, kNone},
    {"$void@Image::DrawCircle(int,int,int)", kPixelsDrawn, kNone},
    {"$void@Image::DrawTriangle(int,int,int,int,int,int)", kPixelsDrawn, kNone},
    {"$void@Image::DrawImage(int,int,Image)", kPixelsBlended,
     "nothing: an image drawn onto itself is read in place, not copied"},
    {"$void@Image::DrawImage(int,int,int,int,Image)", kPixelsBlended,
     "nothing: an image drawn onto itself is read in place, not copied"},
    {"$void@Image::DrawImage(int,int,int,int,Image,int,int,int,int)", kPixelsBlended,
     "nothing: an image drawn onto itself is read in place, not copied"},
    {"$void@Image::DrawText(int,int,string)",
     "one budget byte per byte of the text; 32 bytes per pixel of a glyph drawn (blended as a drawn "
     "image's); a font made or failed (8 MiB besides its glyph bitmap and face); each glyph rendered, as an "
     "object made besides its cell's bytes",
     "the font, in the process-wide font cache, bounded at 24 MiB (least recently used first out)"},
    {"$int@Image::MeasureTextWidth(string)",
     "one budget byte per byte of the text; a font made or failed (8 MiB besides its glyph bitmap and face)",
     "the font, in the process-wide font cache, bounded at 24 MiB (least recently used first out)"},
    {"$void@Image::ImportImage(Soup)", kNone, kNone},
    {"$Soup@Image::ExportImage()", kNone, "an empty soup object"},

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
    {"$Asset[]@RovanaScriptBase::GetAssetList(string)",
     "bytes of the type; every asset row the query reads (16 KiB each); 64 bytes per asset listed",
     "the array and its asset objects"},
    {"$Asset[]@RovanaScriptBase::GetAssetList(string,string)",
     "bytes of the type and categories; every asset row the query reads (16 KiB each); 64 bytes per asset "
     "listed",
     "the array and its asset objects"},
    {"$KUID[]@RovanaScriptBase::SearchAssets(string,bool)",
     "bytes of the text; every asset row the query reads (16 KiB each); 64 bytes per asset listed",
     "the array and its KUID objects"},
    {"$Asset[]@RovanaScriptBase::FindUpdatedAssets()",
     "every asset row the query reads (16 KiB each); 64 bytes per asset listed",
     "the array and its asset objects"},
    {"$Soup@RovanaScriptBase::RovanaSystemCall(string,Soup)",
     "bytes of the name and of the soup walked; one budget byte per byte of the text logged",
     "the logged text, checked to fit before it is made; the answer's soup object"},
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
    {"$int@OnlineAccess::GetLocalData(string,Soup)",
     "bytes of the name, of the answer read and of the soup copied",
     "the copy, counted as it joins the script's soup"},
    {"$int@OnlineAccess::SetLocalData(string,Soup)",
     "bytes of the name, of the soup walked and of its text written",
     "the text sent, checked to fit before it is made (the database keeps it)"},
    {"$int@OnlineAccess::GetProfileData(string,Soup)", kNone, kNone},
    {"$int@OnlineAccess::SetProfileData(string,Soup)", kNone, kNone},
    {"$int@OnlineAccess::PostMessage(string,Soup)",
     "bytes of the text and of the soup walked; posts are held to about one a second", kNone},
    {"$int@OnlineAccess::CollectMessage(string,Soup)", kNone,
     "the text, counted before the message is taken; the soup as it joins"},
    {"$OnlineGroup@OnlineAccess::CreateGroup(int)", kNone, "the group object"},
    {"$OnlineGroup@OnlineAccess::OpenGroup(string,int)", "bytes of the cookie",
     "the group object; its cookie, counted before it is kept"},
    {"$int@OnlineAccess::PostOfflineMessage(Soup)",
     "bytes of the soup walked and copied; the outbox walked for a unique name",
     "the copy kept in the outbox, checked before it is made"},
    {"$int@OnlineAccess::CollectOfflineMessage(Soup)", kNone, "the soup as it joins the script's soup"},

    // ---- OnlineGroup
    {"$void@OnlineGroup::Connect()", kNone, kNone},
    {"$int@OnlineGroup::GetStatus()", kNone, kNone},
    {"$void@OnlineGroup::Disconnect()", kNone, kNone},
    {"$string@OnlineGroup::GetOnlineGroupCookie()", kCopied, kNewString},
    {"$void@OnlineGroup::AddUser(string)", "bytes of the name; 64 bytes per member walked",
     "the member and its name, counted before they are kept"},
    {"$void@OnlineGroup::RemoveUser(string)", "bytes of the name; 64 bytes per member walked", kNone},
    {"$int@OnlineGroup::CountUsers()", kNone, kNone},
    {"$string@OnlineGroup::GetIndexedUser(int)", kCopied, kNewString},
    {"$int@OnlineGroup::FindUser(string)", "bytes of the name; 64 bytes per member walked", kNone},
    {"$int@OnlineGroup::GetUserStatus(int)", kNone, kNone},
    {"$int@OnlineGroup::PostMessage(Soup)", "bytes of the soup walked; posts are held to about one a second",
     kNone},
    {"$int@OnlineGroup::CollectMessage(string,Soup)", kNone,
     "the text, counted before the message is taken; the soup as it joins"},
    {"$void@OnlineGroup::SetModeFlags(int,int)", kNone, kNone},
    {"$void@OnlineGroup::SetUserModeFlags(string,int,int)", "bytes of the name", kNone},
    {"$int@OnlineGroup::GetUserModeFlags(string)", "bytes of the name; 64 bytes per member walked", kNone},
};

}  // namespace

std::span<const NativeCost> NativeCosts() { return kCosts; }

const NativeCost* FindNativeCost(std::string_view key) {
  const auto* found =
      std::find_if(std::begin(kCosts), std::end(kCosts), [&](const NativeCost& c) { return c.key == key; });
  return found == std::end(kCosts) ? nullptr : found;
}

}  // namespace GSRuntime
