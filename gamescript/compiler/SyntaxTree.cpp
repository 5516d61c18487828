#include "gamescript/compiler/SyntaxTree.h"

#include <cstdio>
#include <cstring>
#include <new>

namespace GSCompiler {

// Big sources hold hundreds of thousands of nodes: keep them free of padding.
static_assert(sizeof(void*) != 8 || sizeof(SyntaxNode) == 128, "SyntaxNode gained padding");

SyntaxNode* NewNode(Utils::FrameMemory& memory, uint32_t category, uint32_t kind, uint32_t line) {
  void* raw = memory.Alloc(sizeof(SyntaxNode), alignof(SyntaxNode));
  if (raw == nullptr) return nullptr;
  SyntaxNode* node = new (raw) SyntaxNode();
  node->category = category;
  node->kind = kind;
  node->line = line;
  return node;
}

SyntaxNode* AppendChain(SyntaxNode* head, SyntaxNode* tail) {
  if (head == nullptr) return tail;
  SyntaxNode* last = head;
  while (last->next != nullptr) last = last->next;
  last->next = tail;
  return head;
}

const char* TypeName(uint32_t type) {
  static const char* const kNames[] = {"void",     "bool",     "int",    "float", "string",
                                       "object",   "void[]",   "bool[]", "int[]", "float[]",
                                       "string[]", "object[]", "",       "null"};
  return type < 14 ? kNames[type] : "illegal type";
}

const char* OperatorName(int32_t op) {
  static const char* const kNames[] = {"--",  "++",  ".",  "+",  "-",    "!",       "~",    "--", "++",
                                       "[,]", "[]",  "()", "*",  "/",    "%",       "+",    "-",  "<<",
                                       ">>",  "<",   ">",  "<=", ">=",   "==",      "!=",   "&",  "^",
                                       "|",   "and", "or", "=",  "size", "isclass", "copy", "new"};
  return op >= 0 && op <= 34 ? kNames[op] : "";
}

std::string SpecifierText(uint32_t bits) {
  static const struct {
    uint32_t bit;
    const char* word;
  } kWords[] = {{SpecPublic, "public "}, {SpecNative, "native "},   {SpecStatic, "static "},
                {SpecFinal, "final "},   {SpecThread, "thread "},   {SpecConstructor, "constructor "},
                {SpecGame, "game "},     {SpecSecured, "secured "}, {SpecDefine, "define "}};
  std::string text;
  for (const auto& w : kWords)
    if (bits & w.bit) text += w.word;
  return text;
}

namespace {

const char* const kDeclNames[] = {"function",   "prototype", "include", "class", "vars",
                                  "declarator", "type",      "param",   "name"};
const char* const kStmtNames[] = {"return", "break",   "continue", "goto",  "for",   "while", "switch",
                                  "if",     "default", "case",     "label", "block", "wait",  "on"};

void DumpNode(const SyntaxNode* node, std::string& out, int depth);

void DumpSlot(const SyntaxNode* node, std::string& out, int depth) {
  if (node == nullptr) {
    out += '_';
    return;
  }
  if (node->next == nullptr) {
    DumpNode(node, out, depth);
    return;
  }
  out += '[';
  for (const SyntaxNode* n = node; n != nullptr; n = n->next) {
    if (n != node) out += ' ';
    DumpNode(n, out, depth);
  }
  out += ']';
}

void DumpHead(const SyntaxNode* node, std::string& out) {
  char buffer[64];
  if (node->category == CatDeclaration && node->kind < 9) {
    out += kDeclNames[node->kind];
    if (node->kind == DeclType) {
      std::snprintf(buffer, sizeof buffer, " %d", node->value);
      out += buffer;
    }
    if (node->kind == DeclName) {
      out += ' ';
      out += node->text ? node->text : "";
    }
  } else if (node->category == CatStatement && node->kind < 14) {
    out += kStmtNames[node->kind];
  } else if (node->category == CatExpression) {
    switch (node->kind) {
      case ExprOperator:
        std::snprintf(buffer, sizeof buffer, "op%d", node->value);
        out += buffer;
        out += OperatorName(node->value);
        break;
      case ExprConstant:
        if (node->value == ConstString) {
          out += "str \"";
          out += node->text ? node->text : "";
          out += '"';
        } else if (node->value == ConstFloat) {
          float f;
          std::memcpy(&f, &node->datum, sizeof f);
          std::snprintf(buffer, sizeof buffer, "float %g", static_cast<double>(f));
          out += buffer;
        } else {
          std::snprintf(buffer, sizeof buffer, "%s %d", node->value == ConstBool ? "bool" : "int",
                        static_cast<int32_t>(node->datum));
          out += buffer;
        }
        break;
      case ExprIdentifier:
        out += "id ";
        out += node->text ? node->text : "";
        break;
      case ExprCall: out += "call"; break;
      case ExprMe: out += "me"; break;
      case ExprNull: out += "null"; break;
      default: out += "?expr"; break;
    }
  } else {
    out += "?node";
  }
  if (node->flags != 0) {
    std::snprintf(buffer, sizeof buffer, " #%x", node->flags);
    out += buffer;
  }
}

void DumpNode(const SyntaxNode* node, std::string& out, int depth) {
  if (depth > 200) {  // dumps are for people; a runaway tree is cut
    out += "...";
    return;
  }
  int last = 3;
  while (last >= 0 && node->child[last] == nullptr) --last;
  if (last < 0) {
    DumpHead(node, out);
    return;
  }
  out += '(';
  DumpHead(node, out);
  for (int i = 0; i <= last; ++i) {
    out += ' ';
    DumpSlot(node->child[i], out, depth + 1);
  }
  out += ')';
}

}  // namespace

std::string DumpTree(const SyntaxNode* first) {
  std::string out;
  for (const SyntaxNode* n = first; n != nullptr; n = n->next) {
    DumpNode(n, out, 0);
    out += '\n';
  }
  return out;
}

}  // namespace GSCompiler
