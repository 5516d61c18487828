#pragma once
// What making and classifying a tag needs of its definition entry, read from
// the entry's soup once, where the definition is kept, rather than again for
// every tag of every config.
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "config/Container.h"

namespace OBLLib {

struct TagPrototype {
  TagPrototype() = default;
  explicit TagPrototype(const SoupRef& entry);

  int32_t typeCode = Tag::kUnclassified;  // unclassified: the type names no value form
  int32_t compulsory = 0;
  bool disabled = false;
  bool unique = false;           // a combo box filed as unique
  bool defaultIsParent = false;  // the default is the owner's name
  bool hasFilter = false;
  bool hasCategory = false;
  Kiv::PString filter, source, dataType, category;
  std::string defaultText;
  // The validation rules the rule table knew when this was read, with their
  // parameters; a table changed since binds from the entry again.
  std::vector<std::pair<TagRuleFn, SoupRef>> rules;
  uint64_t ruleTable = 0;
};

// Binds the prototype's rules to the tag, as Tag::BindValidation does from the entry.
void BindValidation(Tag& tag, const SoupRef& entry, const TagPrototype& prototype);

// Changes whenever a tag rule is registered or removed.
uint64_t TagRuleTableGeneration();

}  // namespace OBLLib
