// The Str and Math natives: in-place string edits, conversions, tokens and
// the word unpacking of texts, and the process-wide random generator.

#include <bit>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "gamescript/runtime/Machine.h"
#include "gamescript/runtime/MachineState.h"
#include "gamescript/runtime/Objects.h"
#include "gamescript/runtime/Stack.h"
#include "kiv/Clock.h"

namespace GSRuntime {

namespace {

constexpr std::string_view kBlanks = " \t\r\n\v";

// A byte looked at on its own (a character-set entry set or tested, a
// search's step) takes several times what a byte copied in bulk does: such
// walks pay this many bytes of string work per byte, and a search for more
// than one character, whose steps cost most, pays kSearchWeight.
constexpr uint64_t kWalkWeight = 8;
constexpr uint64_t kSearchWeight = 32;
// A byte passed by memmem's two-way search, when a search falls back to it,
// takes about three times a search's step.
constexpr uint64_t kSlowSearchWeight = 96;

GSString* StringArgument(const GSStack& stack, uint32_t i) {
  GSObjectReference* o = GetObject(stack.Argument(i));
  return o && o->Type() == ObjectString ? static_cast<GSString*>(o) : nullptr;
}

// The string argument that the native reads or moves as a whole: its length
// pays into the run budget.
GSString* WholeStringArgument(const GSStack& stack, uint32_t i) {
  GSString* s = StringArgument(stack, i);
  if (s) PayRunBudget(s->Text().size());
  return s;
}

// A character set as a table: a text is walked once whatever the set's
// length (a search through the set at every character would take the
// product of the two).
class CharSet {
public:
  explicit CharSet(std::string_view set) {
    for (char c : set) m_in[uint8_t(c)] = true;
  }
  bool Has(char c) const { return m_in[uint8_t(c)]; }
  // The first position at or after `from` whose character is (is not) in the set; npos when none.
  std::size_t FindIn(std::string_view text, std::size_t from, bool in) const {
    for (std::size_t i = from; i < text.size(); ++i)
      if (Has(text[i]) == in) return i;
    return std::string_view::npos;
  }

private:
  // Plain flags rather than bits: a long set is entered a byte at a time,
  // and a store of a flag takes a fraction of a bit's read-modify-write.
  bool m_in[256] = {};
};

// The set argument (the blanks when null or empty), its length paid for.
CharSet SetArgument(const GSStack& stack, uint32_t i) {
  const GSString* set = StringArgument(stack, i);
  if (!set || set->Text().empty()) return CharSet(kBlanks);
  PayRunBudget(set->Text().size() * kWalkWeight);
  return CharSet(set->Text());
}

void TrimLeft(GSContext*, GSStack& stack) {
  if (GSString* s = WholeStringArgument(stack, 1)) {
    const std::size_t at = SetArgument(stack, 2).FindIn(s->Text(), 0, false);
    const std::size_t cut = at == std::string::npos ? s->Text().size() : at;
    PayRunBudget(cut * kWalkWeight);
    s->Text().erase(0, cut);
  }
}

void TrimRight(GSContext*, GSStack& stack) {
  if (GSString* s = WholeStringArgument(stack, 1)) {
    const CharSet set = SetArgument(stack, 2);
    std::string& text = s->Text();
    std::size_t end = text.size();
    while (end > 0 && set.Has(text[end - 1])) --end;
    PayRunBudget((text.size() - end) * kWalkWeight);
    text.erase(end);
  }
}

// Pays for the bytes a number's conversion may read one by one, the blanks
// before it and the characters a number can be written with, twice: they are
// measured here and read again by the conversion.
const char* NumberText(const GSString& s, bool isFloat) {
  const char* text = s.Text().c_str();
  const std::size_t blanks = std::strspn(text, " \t\n\v\f\r");
  const std::size_t number =
      std::strspn(text + blanks, isFloat ? "+-0123456789.eEpPxXaAbBcCdDfFiInNtTyY" : "+-0123456789");
  PayRunBudget((blanks + number) * 2 * kWalkWeight);
  return text;
}

void ToInt(GSContext*, GSStack& stack) {
  if (const GSString* s = WholeStringArgument(stack, 1))
    stack.Push(uint32_t(std::atoi(NumberText(*s, false))));
}

void ToFloat(GSContext*, GSStack& stack) {
  if (const GSString* s = WholeStringArgument(stack, 1))
    stack.PushFloat(float(std::atof(NumberText(*s, true))));
}

// Case changes without a branch per byte, so that the compiler can change
// many bytes at once: a whole string's case costs about what copying it does.
void ToUpper(GSContext*, GSStack& stack) {
  if (GSString* s = WholeStringArgument(stack, 1))
    for (char& c : s->Text()) c = char(uint8_t(c) ^ (uint8_t(uint8_t(c) - 'a') < 26 ? 0x20 : 0));
}

void ToLower(GSContext*, GSStack& stack) {
  if (GSString* s = WholeStringArgument(stack, 1))
    for (char& c : s->Text()) c = char(uint8_t(c) ^ (uint8_t(uint8_t(c) - 'A') < 26 ? 0x20 : 0));
}

// Tokens are the runs of characters outside the delimiter set; adjacent
// delimiters give no empty token.
void Tokens(GSContext* context, GSStack& stack) {
  GSArray* array = GSArray::Create(context, true);
  if (!array) {
    stack.Push(0);
    return;
  }
  if (const GSString* s = WholeStringArgument(stack, 1)) {
    const std::string_view text = s->Text();
    const CharSet set = SetArgument(stack, 2);
    PayRunBudget(text.size() * kWalkWeight);
    std::size_t index = 0;
    for (std::size_t at = set.FindIn(text, 0, false); at != std::string_view::npos;) {
      const std::size_t end = std::min(set.FindIn(text, at, true), text.size());
      // Each token is paid as it is made; once the budget is spent the run
      // ends at its next jump, so the rest is not made.
      if (RunBudgetBytesLeft() == 0) break;
      PayRunBudget(kObjectMadeBytes + (end - at));
      GSString* token = GSString::Create(context, text.substr(at, end - at));
      if (!token) break;
      // A million one-letter tokens hold far more than their letters: each is
      // counted with the bookkeeping beside its record.
      if (!token->Reserve(end - at + kObjectBookkeepingBytes)) {
        ReleaseHandle(token->GetScriptHandle());
        break;
      }
      // Past the memory limit the tokens so far are the result.
      const bool kept = array->SetObjectElement(index++, token->GetScriptHandle());
      ReleaseHandle(token->GetScriptHandle());  // the array holds it now
      if (!kept) break;
      at = set.FindIn(text, end, false);
    }
  }
  if (!stack.Push(array->GetScriptHandle())) ReleaseHandle(array->GetScriptHandle());
}

// Takes the first word off the string argument; false for null or empty.
bool Unpack(GSStack& stack, std::string& word) {
  GSString* s = WholeStringArgument(stack, 1);
  if (!s || s->Text().empty()) return false;
  std::string& text = s->Text();
  const std::size_t start = std::min(text.find_first_not_of(kBlanks), text.size());
  const std::size_t end = std::min(text.find_first_of(kBlanks, start), text.size());
  PayRunBudget(end * kWalkWeight);
  word = text.substr(start, end - start);
  text.erase(0, end);
  return true;
}

void UnpackInt(GSContext*, GSStack& stack) {
  std::string word;
  if (Unpack(stack, word)) stack.Push(uint32_t(std::atoi(word.c_str())));
}

void UnpackFloat(GSContext*, GSStack& stack) {
  std::string word;
  if (Unpack(stack, word)) stack.PushFloat(float(std::atof(word.c_str())));
}

void UnpackString(GSContext* context, GSStack& stack) {
  std::string word;
  // A string not made pushes nothing; the return then fails the call.
  if (Unpack(stack, word)) (void)stack.PushString(context, word);
}

// Where `sought` (two bytes or more, no longer than the text from `from`)
// first lies in `text` at or after `from`, npos when nowhere. The bytes
// passed are told apart by their cost: `quick` those gone by in memchr's
// steps to the sought text's rarest byte (each place it is met checked
// whole), `slow` those left to memmem's two-way search, linear but several
// times slower a byte. Places met too often for memchr to gain hand the rest
// to memmem, so no text takes more than a linear walk.
struct Search {
  std::size_t at = std::string_view::npos, quick = 0, slow = 0;
};

bool CommonByte(char c) { return c == ' ' || (c >= 'a' && c <= 'z'); }

Search SearchFor(std::string_view text, std::size_t from, std::string_view sought) {
  const std::size_t m = sought.size(), last = text.size() - m;  // the last place it can start
  uint32_t count[256] = {};
  for (char c : sought) ++count[uint8_t(c)];
  // Rarest within the text sought, letters and blanks taken as four times
  // as common as other bytes.
  const auto weight = [&](char c) { return count[uint8_t(c)] * (CommonByte(c) ? 4u : 1u); };
  std::size_t r = 0;
  for (std::size_t i = 1; i < m; ++i)
    if (weight(sought[i]) <= weight(sought[r])) r = i;
  const char* base = text.data();
  Search result;
  uint64_t checked = 0;  // the places checked, each as 32 bytes passed besides the bytes compared
  for (std::size_t place = from; place <= last;) {
    const void* hit = std::memchr(base + place + r, sought[r], last - place + 1);
    if (!hit) break;
    const std::size_t at = std::size_t(static_cast<const char*>(hit) - base) - r;
    if (std::memcmp(base + at, sought.data(), m) == 0) {
      result.at = at;
      result.quick = at + m - from;
      return result;
    }
    place = at + 1;
    checked += 32 + m;
    if (checked > 4 * (place - from) + 4096) {
      result.quick = place - from;
      const void* found = memmem(base + place, text.size() - place, sought.data(), m);
      if (!found) {
        result.slow = text.size() - place;
      } else {
        result.at = std::size_t(static_cast<const char*>(found) - base);
        result.slow = result.at + m - place;
      }
      return result;
    }
  }
  result.quick = text.size() - from;
  return result;
}

// Pays for the text sought and for the string read from the start to the
// end of the match (to its end when there is none): a walk from match to
// match reads the string once, not once per match.
void Find(GSContext*, GSStack& stack) {
  const GSString* s = StringArgument(stack, 1);
  const GSString* sub = StringArgument(stack, 2);
  const int32_t start = int32_t(stack.Argument(3));
  int32_t found = -1;
  if (s && sub && start >= 0 && std::size_t(start) <= s->Text().size()) {
    const std::string& text = s->Text();
    const std::string& sought = sub->Text();
    const std::size_t from = std::size_t(start);
    uint64_t paid = sought.size();
    if (sought.empty()) {
      found = start;
    } else if (sought.size() == 1) {
      const void* at = std::memchr(text.data() + from, sought[0], text.size() - from);
      found = at ? int32_t(static_cast<const char*>(at) - text.data()) : -1;
      paid += at ? std::size_t(found) + 1 - from : text.size() - from;
    } else if (sought.size() > text.size() - from) {
      paid += (text.size() - from) * kSearchWeight;
    } else {
      const Search search = SearchFor(text, from, sought);
      if (search.at != std::string_view::npos) found = int32_t(search.at);
      paid += search.quick * kSearchWeight + search.slow * kSlowSearchWeight;
    }
    PayRunBudget(paid);
  }
  stack.Push(uint32_t(found));
}

// state := state * 31415821 + 1 mod 100000000, the product split at 10000 so
// that nothing overflows.
float Draw() {
  uint32_t& state = Machine().randomState;
  const uint32_t p = state % 100000000u, q = 31415821u;
  const uint32_t p1 = p / 10000, p0 = p % 10000, q1 = q / 10000, q0 = q % 10000;
  state = ((((p0 * q1 + p1 * q0) % 10000) * 10000 + p0 * q0) % 100000000u + 1) % 100000000u;
  return float(state % 65535u) * (1.0f / 65535.0f);
}

// The numeric natives read their argument cells and give a result cell.
float Float(uint32_t cell) { return std::bit_cast<float>(cell); }
uint32_t Cell(float f) { return std::bit_cast<uint32_t>(f); }

uint32_t RandFloat(const uint32_t* arguments) {
  const float a = Float(arguments[0]), b = Float(arguments[1]);
  return Cell(a + Draw() * (b - a));
}

uint32_t RandInt(const uint32_t* arguments) {
  const int32_t a = int32_t(arguments[0]), b = int32_t(arguments[1]);
  const double span = double(b) - double(a);
  const double r = std::trunc(double(Draw()) * span);
  return uint32_t(int64_t(a) + int64_t(r));
}

uint32_t Sqrt(const uint32_t* arguments) { return Cell(std::sqrt(Float(arguments[0]))); }

}  // namespace

void SeedRandom(uint32_t state) { Machine().randomState = state; }

void RegisterStrMathNatives(GSMachine& machine) {
  struct NumericEntry {
    const char* key;
    GSNativeFunction::Numeric function;
    uint32_t arguments;
  };
  // The Math natives first: the registry keeps this order.
  static const NumericEntry kNumeric[] = {
      {"$float@Math::Rand(float,float)", &RandFloat, 2},
      {"$int@Math::Rand(int,int)", &RandInt, 2},
      {"$float@Math::Sqrt(float)", &Sqrt, 1},
  };
  for (const NumericEntry& e : kNumeric)
    machine.RegisterNative(
        std::make_unique<GSCNumericNativeFunction>("Math", e.key, e.function, e.arguments));
  struct Entry {
    const char* key;
    GSCNativeFunction::Function function;
  };
  static const Entry kEntries[] = {
      {"$void@Str::TrimLeft(string,string)", &TrimLeft},
      {"$void@Str::TrimRight(string,string)", &TrimRight},
      {"$int@Str::ToInt(string)", &ToInt},
      {"$float@Str::ToFloat(string)", &ToFloat},
      {"$void@Str::ToUpper(string)", &ToUpper},
      {"$void@Str::ToLower(string)", &ToLower},
      {"$string[]@Str::Tokens(string,string)", &Tokens},
      {"$int@Str::UnpackInt(string)", &UnpackInt},
      {"$float@Str::UnpackFloat(string)", &UnpackFloat},
      {"$string@Str::UnpackString(string)", &UnpackString},
      {"$int@Str::Find(string,string,int)", &Find},
  };
  for (const Entry& e : kEntries)
    machine.RegisterNative(std::make_unique<GSCNativeFunction>("Str", e.key, e.function));
  SeedRandom(uint32_t(Kiv::Clock::UnixTime()));
}

}  // namespace GSRuntime
