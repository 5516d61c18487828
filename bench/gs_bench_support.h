#pragma once
// Shared by the GameScript benchmarks: numbered copies of a source template,
// token counts of GameScript and Lua text, and the timing of a reference
// command-line tool.
#include <algorithm>
#include <chrono>
#include <cctype>
#include <cstddef>
#include <cstdlib>
#include <string>

#include "gamescript/compiler/Scanner.h"

namespace GSBench {

// The template with every "@" replaced by the number.
inline std::string Fill(const char* templ, int number) {
  const std::string n = std::to_string(number);
  std::string out;
  for (const char* p = templ; *p; ++p) {
    if (*p == '@')
      out += n;
    else
      out += *p;
  }
  return out;
}

// Numbered copies of a class template of linesPerClass lines, as many as fit
// in totalLines.
inline std::string RepeatClasses(const char* templ, int linesPerClass, int totalLines) {
  std::string s;
  s.reserve(std::size_t(totalLines) * 40);
  int lines = 0;
  for (int c = 0; lines + linesPerClass <= totalLines; ++c) {
    s += Fill(templ, c);
    lines += linesPerClass;
  }
  return s;
}

// The generated GameScript source of the compile and load benchmarks: one
// class per 20 lines, with loops, a switch, calls and string building.
inline std::string GameScriptClasses(int totalLines) {
  return RepeatClasses(
      "class C@ {\n"
      "  public int count = 3;\n"
      "  float ratio = 1.5;\n"
      "  public void Reset(void) { count = 0; ratio = 0.0; }\n"
      "  public int Step(int a, float b) {\n"
      "    int i;\n"
      "    for (i = 0; i < a; i++) {\n"
      "      if (i % 2 == 0 and b > 0.5) count = count + i * 2;\n"
      "      else count = count - 1;\n"
      "    }\n"
      "    switch (a) { case 1: count = 5; break; case 7: count = 2; break; default: break; }\n"
      "    string s = \"value \" + (string)count;\n"
      "    while (ratio > 10.0) ratio = ratio / 2.0;\n"
      "    ratio = ratio * 0.5 + (float)a;\n"
      "    Reset();\n"
      "    // a comment line\n"
      "    return count + s.size();\n"
      "  }\n"
      "};\n"
      "\n",
      20, totalLines);
}

// Tokens the GameScript scanner finds in the text.
inline std::size_t CountTokens(const std::string& text) {
  GSCompiler::Scanner scanner(text.data(), text.size());
  std::size_t n = 0;
  while (scanner.Next() != 0) ++n;
  return n;
}

// Counts Lua tokens: names and keywords, numbers, strings, and operators
// (longest of "...", "..", "==", "~=", "<=", ">=", "//", "::", else one character).
inline std::size_t CountLuaTokens(const std::string& text) {
  std::size_t n = 0;
  for (std::size_t i = 0; i < text.size();) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (std::isspace(c)) {
      ++i;
      continue;
    }
    if (c == '-' && i + 1 < text.size() && text[i + 1] == '-') {
      while (i < text.size() && text[i] != '\n') ++i;
      continue;
    }
    ++n;
    if (std::isalpha(c) || c == '_') {
      while (i < text.size() && (std::isalnum(static_cast<unsigned char>(text[i])) || text[i] == '_')) ++i;
    } else if (std::isdigit(c)) {
      while (i < text.size() && (std::isdigit(static_cast<unsigned char>(text[i])) || text[i] == '.')) ++i;
    } else if (c == '"') {
      for (++i; i < text.size() && text[i] != '"'; ++i) {}
      ++i;
    } else if (text.compare(i, 3, "...") == 0) {
      i += 3;
    } else {
      static const char* two[] = {"..", "==", "~=", "<=", ">=", "//", "::"};
      std::size_t step = 1;
      for (const char* t : two)
        if (text.compare(i, 2, t) == 0) step = 2;
      i += step;
    }
  }
  return n;
}

// Numbered copies of a Lua template until the text holds at least `tokens`
// tokens (counted every 64 copies, the count being a pass over the whole text).
inline std::string RepeatLua(const char* templ, std::size_t tokens) {
  std::string s;
  for (int c = 0;; ++c) {
    s += Fill(templ, c);
    if (c % 64 == 0 && CountLuaTokens(s) >= tokens) break;
  }
  return s;
}

// Best time of five runs of work, in seconds.
template <class Work>
double BestSeconds(Work work) {
  double best = 1e9;
  for (int i = 0; i < 5; ++i) {
    const auto start = std::chrono::steady_clock::now();
    work();
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    best = std::min(best, took.count());
  }
  return best;
}

// Best time of five runs of a shell command, in seconds; 0 when a run fails
// (the reference tool is missing or rejected its input).
inline double BestCommandSeconds(const std::string& command) {
  double best = 1e9;
  for (int i = 0; i < 5; ++i) {
    const auto start = std::chrono::steady_clock::now();
    const int rc = std::system(command.c_str());
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    if (rc != 0) return 0;
    best = std::min(best, took.count());
  }
  return best;
}

}  // namespace GSBench
