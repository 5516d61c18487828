#include "kiv/render/RenderKernel.h"

#include <algorithm>
#include <cstdio>

#include "kiv/Bitmap.h"
#include "kiv/render/Plugin.h"

namespace Kiv {

namespace {

std::atomic<uint32_t> g_nextTextureId{1};
std::atomic<bool> g_failRenderer{false};
std::atomic<RenderKernel*> g_currentKernel{nullptr};

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t' || s.front() == '\r')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) s.remove_suffix(1);
  return s;
}

// The lines of a text (LF or CR LF ends), block comments removed.
std::vector<std::string> Lines(std::string_view text) {
  std::string plain;
  plain.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (text.compare(i, 2, "/*") == 0) {
      const size_t end = text.find("*/", i + 2);
      if (end == std::string_view::npos) break;
      // Keep the line count of the comment.
      plain.append(size_t(std::count(text.begin() + i, text.begin() + end, '\n')), '\n');
      i = end + 1;
      continue;
    }
    plain += text[i];
  }
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < plain.size()) {
    size_t end = plain.find('\n', start);
    if (end == std::string::npos) end = plain.size();
    std::string line = plain.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(std::move(line));
    start = end + 1;
  }
  return lines;
}

bool IsBlankOrComment(std::string_view line) {
  line = Trim(line);
  return line.empty() || line.starts_with("//");
}

// The word inside "keyword(word)"; empty when the line is not of that form.
std::string Enclosed(std::string_view line, std::string_view keyword) {
  line = Trim(line);
  if (!line.starts_with(keyword) || line.size() < keyword.size() + 2 || line[keyword.size()] != '(' ||
      line.back() != ')') {
    return {};
  }
  return std::string(Trim(line.substr(keyword.size() + 1, line.size() - keyword.size() - 2)));
}

// Moves `at` to the next line that is neither blank nor a comment; false at the end.
bool NextLine(const std::vector<std::string>& lines, size_t& at) {
  while (at < lines.size() && IsBlankOrComment(lines[at])) ++at;
  return at < lines.size();
}

// The "API(common)" block starting at `at`: its lines up to the last "}".
bool ReadCommonBody(const std::vector<std::string>& lines, size_t at, std::string& body) {
  if (!NextLine(lines, at) || Enclosed(lines[at], "API") != "common") return false;
  ++at;
  if (!NextLine(lines, at) || Trim(lines[at]) != "{") return false;
  ++at;
  size_t close = lines.size();
  while (close > at && Trim(lines[close - 1]).empty()) --close;
  if (close <= at || Trim(lines[close - 1]) != "}") return false;
  body.clear();
  for (size_t i = at; i + 1 < close; ++i) body += lines[i] + "\n";
  return true;
}

std::vector<std::string> SplitList(std::string_view text) {
  std::vector<std::string> out;
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find(',', start);
    if (end == std::string_view::npos) end = text.size();
    std::string_view item = Trim(text.substr(start, end - start));
    if (!item.empty()) out.emplace_back(item);
    start = end + 1;
  }
  return out;
}

// Counts handles given out; the count drops when the last holder lets go.
std::shared_ptr<ProgramHandle> MakeHandle(const std::shared_ptr<std::atomic<long>>& live,
                                          ProgramHandle value) {
  ++*live;
  std::weak_ptr<std::atomic<long>> counter = live;
  return std::shared_ptr<ProgramHandle>(new ProgramHandle(std::move(value)), [counter](ProgramHandle* p) {
    if (auto c = counter.lock()) --*c;
    delete p;
  });
}

}  // namespace

Texture::Texture(PString name, bool loaded, int type)
    : m_name(std::move(name)), m_id(g_nextTextureId++), m_loaded(loaded), m_type(type) {}

std::shared_ptr<Texture> Texture::Duplicate() const {
  auto copy = std::make_shared<Texture>(m_name, m_loaded, m_type);
  copy->m_priority = m_priority;
  copy->m_active = m_active;
  return copy;
}

bool Texture::WriteImage(int x, int y, const Bitmap& bitmap, int format) {
  if (bitmap.IsEmpty() || x < 0 || y < 0) return false;
  m_writes.push_back({x, y, bitmap.Width(), bitmap.Height(), format});
  return true;
}

std::shared_ptr<Texture> SharedTextureCollection::GetTexture(uint32_t id) {
  std::lock_guard lock(m_mutex);
  if (m_fail || id != 0) return nullptr;
  auto& texture = m_textures[id];
  if (!texture) texture = std::make_shared<Texture>(PString("shared.white"), true, 0);
  return texture;
}

bool VertexType::AddItem(uint32_t itemType, uint32_t stream, uint32_t dataType, uint32_t semantic) {
  if (items.size() >= capacity || stream >= streams) return false;
  items.push_back({itemType, stream, dataType, semantic, 0});
  return true;
}

bool VertexType::AddAlias(uint32_t itemType, uint32_t of) {
  for (const Item& item : items) {
    if (item.itemType == of && items.size() < capacity) {
      items.push_back({itemType, item.stream, item.dataType, item.semantic, of});
      return true;
    }
  }
  return false;
}

bool PreprocessProgramText(std::string_view text, const std::set<std::string>& enabled,
                           const std::set<std::string>& known, std::string& out, std::string& error) {
  out.clear();
  std::vector<bool> open;  // whether each open block is kept
  size_t number = 0;
  for (const std::string& line : Lines(text)) {
    ++number;
    const std::string_view trimmed = Trim(line);
    if (trimmed.starts_with('%')) {
      if (trimmed.starts_with("%ifdef")) {
        const std::string section(Trim(trimmed.substr(6)));
        if (section.empty() || !known.count(section)) {
          error = "line " + std::to_string(number) + ": unknown section '" + section + "'";
          return false;
        }
        open.push_back(enabled.count(section) != 0);
      } else if (trimmed == "%endif") {
        if (open.empty()) {
          error = "line " + std::to_string(number) + ": %endif without %ifdef";
          return false;
        }
        open.pop_back();
      } else {
        error = "line " + std::to_string(number) + ": unknown directive '" + std::string(trimmed) + "'";
        return false;
      }
      continue;
    }
    if (std::all_of(open.begin(), open.end(), [](bool kept) { return kept; })) out += line + "\n";
  }
  if (!open.empty()) {
    error = "%ifdef without %endif";
    return false;
  }
  return true;
}

bool VertexProgramManager::RegisterBuiltInPrograms(const std::string& name, const std::string& text) {
  const std::vector<std::string> lines = Lines(text);
  size_t at = 0;
  // The header: everything before the declaration block.
  while (at < lines.size() && Enclosed(lines[at], "vertexProgram").empty()) ++at;
  if (at == lines.size() || Enclosed(lines[at], "vertexProgram") != name) return false;
  ++at;
  if (!NextLine(lines, at) || Trim(lines[at]) != "{") return false;
  std::map<std::string, Program> programs;
  std::set<std::string> known;
  for (++at; NextLine(lines, at) && Trim(lines[at]) != "}"; ++at) {
    // ProgramName(Format) : Section, Section;
    std::string_view entry = Trim(lines[at]);
    if (!entry.ends_with(';')) return false;
    entry.remove_suffix(1);
    const size_t open = entry.find('('), close = entry.find(')'), colon = entry.find(':');
    if (open == 0 || open == std::string_view::npos || close == std::string_view::npos || close < open ||
        colon == std::string_view::npos || colon < close) {
      return false;
    }
    Program program;
    program.format = std::string(Trim(entry.substr(open + 1, close - open - 1)));
    for (std::string& section : SplitList(entry.substr(colon + 1))) {
      known.insert(section);
      program.sections.insert(std::move(section));
    }
    programs[std::string(Trim(entry.substr(0, open)))] = std::move(program);
  }
  if (at == lines.size() || programs.empty()) return false;
  std::string body;
  if (!ReadCommonBody(lines, at + 1, body)) return false;
  // Every declared section must have a block, so a misspelt one shows.
  for (const std::string& section : known) {
    if (body.find("%ifdef " + section + "\n") == std::string::npos) return false;
  }
  for (auto& [programName, program] : programs) {
    std::string error;
    if (!PreprocessProgramText(body, program.sections, known, program.source, error)) return false;
  }
  m_sets[name] = std::move(programs);
  ++m_registrations;
  return true;
}

int VertexProgramManager::Lookup(const std::string& set, const std::string& program, uint32_t vertexType,
                                 std::shared_ptr<ProgramHandle>& out) {
  out.reset();
  if (m_failing.count(program)) return 4;
  auto s = m_sets.find(set);
  if (s == m_sets.end()) return 1;
  if (!s->second.count(program)) return 2;
  out = MakeHandle(m_live, {set, program, false, vertexType});
  return 0;
}

const VertexProgramManager::Program* VertexProgramManager::Find(const std::string& set,
                                                                const std::string& program) const {
  auto s = m_sets.find(set);
  if (s == m_sets.end()) return nullptr;
  auto p = s->second.find(program);
  return p == s->second.end() ? nullptr : &p->second;
}

bool TextureCombinerManager::RegisterBuiltInPrograms(const std::string& name, const std::string& text) {
  const std::vector<std::string> lines = Lines(text);
  size_t at = 0;
  bool versioned = false;
  while (at < lines.size() && Enclosed(lines[at], "pixelProgram").empty()) {
    if (Trim(lines[at]) == "version 1.1") versioned = true;
    ++at;
  }
  if (!versioned || at == lines.size() || Enclosed(lines[at], "pixelProgram") != name) return false;
  ++at;
  if (!NextLine(lines, at) || Trim(lines[at]) != "{") return false;
  Program program;
  for (++at; NextLine(lines, at) && Trim(lines[at]) != "}"; ++at) {
    // cN Name (r, g, b, a)
    Register r{};
    char registerName[64];
    if (std::sscanf(lines[at].c_str(), " c%d %63s (%f, %f, %f, %f)", &r.index, registerName, &r.value[0],
                    &r.value[1], &r.value[2], &r.value[3]) != 6 ||
        r.index < 0 || r.index > 7) {
      return false;
    }
    r.name = registerName;
    program.registers.push_back(std::move(r));
  }
  if (at == lines.size()) return false;
  if (!ReadCommonBody(lines, at + 1, program.source)) return false;
  const std::vector<std::string> body = Lines(program.source);
  size_t first = 0;
  if (!NextLine(body, first) || Trim(body[first]) != "ps.1.1") return false;
  m_programs[name] = std::move(program);
  ++m_registrations;
  return true;
}

int TextureCombinerManager::Lookup(const std::string& name, std::shared_ptr<ProgramHandle>& out) {
  out.reset();
  if (m_failing.count(name)) return 4;
  if (!m_programs.count(name)) return 2;
  out = MakeHandle(m_live, {{}, name, true, 0});
  return 0;
}

const TextureCombinerManager::Program* TextureCombinerManager::Find(const std::string& name) const {
  auto p = m_programs.find(name);
  return p == m_programs.end() ? nullptr : &p->second;
}

std::shared_ptr<RenderingCache> RenderingCacheManager::FindCache(uint32_t id) const {
  std::lock_guard lock(m_mutex);
  for (const auto& cache : m_caches) {
    if (cache->GetId() == id) return cache;
  }
  return nullptr;
}

void RenderingCacheManager::AddCache(std::shared_ptr<RenderingCache> cache) {
  if (!cache) return;
  std::lock_guard lock(m_mutex);
  m_caches.push_back(std::move(cache));
}

bool RenderingCacheManager::RemoveCache(const RenderingCache* cache) {
  std::lock_guard lock(m_mutex);
  auto it = std::find_if(m_caches.begin(), m_caches.end(), [&](const auto& c) { return c.get() == cache; });
  if (it == m_caches.end()) return false;
  m_caches.erase(it);
  return true;
}

size_t RenderingCacheManager::Count() const {
  std::lock_guard lock(m_mutex);
  return m_caches.size();
}

ParallelLight::ParallelLight(const float origin[3], const float directionValue[3], float rangeValue,
                             const float colourValue[4], int kindValue)
    : Particle(PString("ParallelLight")), range(rangeValue), kind(kindValue) {
  std::copy_n(origin, 3, position);
  std::copy_n(directionValue, 3, direction);
  std::copy_n(colourValue, 4, colour);
}

void RenderKernel::InjectRendererFailure(bool fail) { g_failRenderer = fail; }

std::unique_ptr<RenderKernel> RenderKernel::Create(std::string_view options) {
  const bool nullRenderer = options.find("-NullRender") != std::string_view::npos;
  if (!nullRenderer && g_failRenderer) return nullptr;
  RegisterEngineMaterialTypes();
  return std::unique_ptr<RenderKernel>(new RenderKernel(nullRenderer));
}

RenderKernel::RenderKernel(bool nullRenderer)
    : m_nullRenderer(nullRenderer),
      m_display(std::make_shared<Display>()),
      m_materials(std::make_unique<PluginMaterialManager>(this)),
      m_sceneGraph(std::make_shared<Particle>(PString("SceneGraph"))) {
  if (!nullRenderer) {
    for (int capability : {1, 17, 21}) m_display->SetCapability(capability, true);
    m_display->SetTextureStageCount(4);
    m_display->SetHardware(true);
  }
  m_display->SetProgramManagers(std::make_shared<VertexProgramManager>(),
                                std::make_shared<TextureCombinerManager>());
}

RenderKernel::~RenderKernel() {
  RenderKernel* self = this;
  g_currentKernel.compare_exchange_strong(self, nullptr);
}

RenderKernel* RenderKernel::Current() { return g_currentKernel.load(); }
void RenderKernel::SetCurrent(RenderKernel* kernel) { g_currentKernel = kernel; }

}  // namespace Kiv
