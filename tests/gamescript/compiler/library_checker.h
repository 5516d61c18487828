#pragma once
// The compiler tests read libraries back through the runtime's reader, which
// checks framing, counts, indexes, frame words, byte-code boundaries, jump
// targets and operands, and add what only the writer promises (a lower-cased
// name, masked flags, the initialiser's record). The result is kept in plain
// containers so tests can compare single fields.

#include <cstdint>
#include <string>
#include <vector>

#include "gamescript/runtime/LibraryFile.h"

namespace LibraryCheck {

struct Function {
  std::string key;
  uint32_t returnType = 0, returnClass = 0, flags = 0;
  int32_t slot = 0;
  uint32_t stackAdvance = 0, frameHeader = 0, frameSize = 0, parameters = 0, locals = 0, temporaries = 0;
  int32_t argumentBase = 0;
  std::vector<int32_t> referenceCells;
  std::vector<uint8_t> code;
  std::vector<std::pair<uint32_t, uint32_t>> lines;
};

struct Class {
  std::string name;
  uint32_t flags = 0;
  std::vector<uint32_t> ancestors;  // class import indexes
  std::vector<Function> functions;  // the initialiser last
  std::vector<std::string> variables;
  std::vector<uint32_t> table;  // function import indexes
  uint32_t instanceCells = 0;
};

struct Library {
  uint32_t id1 = 0, id2 = 0;
  std::string name;
  std::vector<std::pair<uint32_t, uint32_t>> dependencies;
  std::vector<std::string> strings;
  std::vector<std::pair<uint32_t, std::string>> classImports;  // file, name
  std::vector<std::string> functionImports;                    // "Class" + name
  std::vector<Class> classes;
};

// Empty when the image is well formed, else what is wrong and where.
inline std::string Check(const std::vector<uint8_t>& bytes, Library& out) {
  GSRuntime::LibraryFile file;
  std::string problem = GSRuntime::ReadLibraryFile(bytes, file);
  if (!problem.empty()) return problem;
  out.id1 = file.id1;
  out.id2 = file.id2;
  out.name = file.name;
  out.dependencies = file.dependencies;
  out.strings.assign(file.strings.begin(), file.strings.end());
  for (const auto& c : file.classImports) out.classImports.emplace_back(c.dependency, std::string(c.name));
  for (const auto& f : file.functionImports)
    out.functionImports.push_back(std::string(file.classImports[f.classImport].name) + std::string(f.name));
  for (char ch : out.name)
    if (ch >= 'A' && ch <= 'Z') return "name not lower-cased";
  for (const GSRuntime::LibraryClass& k : file.classes) {
    Class c;
    c.name = k.name;
    c.flags = k.flags;
    if (c.flags & ~GSRuntime::kClassFlags) return "class flags outside the mask";
    for (const auto& a : k.ancestors) c.ancestors.push_back(a.classImport);
    for (const auto& v : k.variables) c.variables.emplace_back(v.name);
    for (const auto& e : k.table) c.table.push_back(e.functionImport);
    c.instanceCells = k.instanceCells;
    for (const GSRuntime::LibraryFunction& g : k.functions) {
      Function f;
      f.key = g.key;
      f.returnType = g.returnType;
      f.returnClass = g.returnClass;
      f.flags = g.flags;
      if (f.flags & ~GSRuntime::kFunctionFlags) return "function flags outside the mask";
      f.slot = g.slot;
      f.stackAdvance = g.stackAdvance;
      f.frameHeader = g.frameHeader;
      f.frameSize = g.frameSize;
      f.parameters = g.parameters;
      f.locals = g.locals;
      f.temporaries = g.temporaries;
      f.argumentBase = g.argumentBase;
      for (std::size_t i = 0; i < g.referenceCells.size(); ++i)
        f.referenceCells.push_back(int32_t(g.referenceCells[i]));
      f.code.assign(g.code.begin(), g.code.end());
      for (std::size_t i = 0; i < g.LineCount(); ++i) f.lines.emplace_back(g.LineOffset(i), g.LineNumber(i));
      if (&g != &k.functions.back() && g.lines.empty() && !g.code.empty())
        return "function without a line table";
      c.functions.push_back(std::move(f));
    }
    const Function& init = c.functions.back();
    if (init.key != "::" + c.name + "()" || init.flags != 0x20 || init.slot != -1)
      return "initialiser record";
    out.classes.push_back(std::move(c));
  }
  return "";
}

}  // namespace LibraryCheck
