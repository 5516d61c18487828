#pragma once
// What is worked out once per schema definition and shared by every config
// of that kind: found by the definition's address and a match on what else it
// was worked out from. The cache is dropped whole at its bound, so a run over
// many schemas cannot make it grow without end.
#include <cstddef>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <utility>
#include <vector>

namespace OBLLib {

template <typename T, std::size_t Bound = 4096>
class DefinitionCache {
public:
  template <typename Match>
  std::shared_ptr<const T> Find(const void* definition, Match&& match) {
    std::lock_guard<std::mutex> guard(m_lock);
    if (auto found = m_byDefinition.find(definition); found != m_byDefinition.end())
      for (const auto& entry : found->second)
        if (match(*entry)) return entry;
    return nullptr;
  }

  void Add(const void* definition, std::shared_ptr<const T> entry) {
    std::lock_guard<std::mutex> guard(m_lock);
    if (m_count >= Bound) {
      m_byDefinition.clear();
      m_count = 0;
    }
    m_byDefinition[definition].push_back(std::move(entry));
    ++m_count;
  }

private:
  std::mutex m_lock;
  std::unordered_map<const void*, std::vector<std::shared_ptr<const T>>> m_byDefinition;
  std::size_t m_count = 0;
};

}  // namespace OBLLib
