#pragma once
// Code generation: walks a checked syntax tree once and produces, for every
// class of the main file, its record with the member-initialiser code and one
// function record per function with its byte code, reference cells and line
// table.

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "gamescript/compiler/Library.h"
#include "gamescript/compiler/SyntaxTree.h"

namespace GSCompiler {

class ParseContext;

class CodeGenerator {
public:
  // Errors are reported in `context` (the main file's) and its compile log.
  CodeGenerator(GSSymbolTable& symbols, LibraryImage& image, ParseContext& context);
  CodeGenerator(const CodeGenerator&) = delete;
  CodeGenerator& operator=(const CodeGenerator&) = delete;

  // Generates every class of the declaration list into the image. False when
  // generation failed; CountedErrors() then tells how many errors of the
  // source were reported (0 means an internal failure, already logged).
  [[nodiscard]] bool Generate(const SyntaxNode* declarations);
  // The same a class at a time: Begin, then each class declaration in order
  // while GenerateClass succeeds.
  void Begin();
  [[nodiscard]] bool GenerateClass(const SyntaxNode* declaration);
  // The same a member at a time, as the parser hands the members over:
  // BeginClass with the class's node (no members attached), each member in
  // order, then EndClass. The bytes and messages are those of GenerateClass:
  // what only the whole class tells (its slot counts, a prototype left
  // without a body) is settled at the end, and a member's failure stops the
  // members after it. False from any of them: generation failed.
  [[nodiscard]] bool BeginClass(const SyntaxNode* declaration);
  [[nodiscard]] bool GenerateMember(const SyntaxNode* member);
  [[nodiscard]] bool EndClass(const SyntaxNode* declaration);
  int CountedErrors() const { return m_counted; }

private:
  struct JumpLabels {
    int breakLabel = -1;
    int continueLabel = -1;
  };
  struct SwitchState {
    struct Case {
      int32_t value;
      uint32_t offset;
      uint32_t line;
    };
    std::vector<Case> cases;
    uint32_t defaultOffset = 0;
    bool hasDefault = false;
  };
  struct WaitState {
    std::vector<const SyntaxNode*> ons;
    std::vector<uint32_t> offsets;
    int endLabel = -1;
  };

  [[nodiscard]] bool Class(const SyntaxNode* node);
  GSClassSymbol* ClassSymbol(const SyntaxNode* node);
  static const char* LimitError(const GSClassSymbol* k);
  [[nodiscard]] bool LimitExceeded(const SyntaxNode* node, const char* error);
  // Whether the function's frame fits a thread's stack; else the error,
  // naming the function (or the class, for its initialiser) and the limit.
  [[nodiscard]] bool FrameFits(const GSCFunction& fn, int32_t parameterCells, int32_t localCount,
                               const char* name, uint32_t line);
  void OpenClass(GSClassSymbol* k);
  [[nodiscard]] bool Member(const SyntaxNode* member);
  [[nodiscard]] bool CloseClass(const SyntaxNode* node, bool ok);
  [[nodiscard]] bool NotImplemented(const GSFunctionSymbol* symbol);
  // Where the messages and counts stood, to take back what a class
  // generated a member at a time reported past its first failure.
  struct Mark {
    std::size_t messages;
    int errors;
    int counted;
  };
  Mark MarkNow() const;
  void DropSince(const Mark& mark);
  [[nodiscard]] bool Function(const SyntaxNode* node);
  [[nodiscard]] bool Variables(const SyntaxNode* node, bool member);
  [[nodiscard]] bool Statement(const SyntaxNode* node);
  [[nodiscard]] bool StatementList(const SyntaxNode* first);
  [[nodiscard]] bool Switch(const SyntaxNode* node);
  [[nodiscard]] bool Wait(const SyntaxNode* node);
  [[nodiscard]] bool On(const SyntaxNode* node);
  [[nodiscard]] bool Condition(const SyntaxNode* node);

  // Expressions: Value pushes exactly one cell; Effect leaves nothing.
  [[nodiscard]] bool Value(const SyntaxNode* node);
  [[nodiscard]] bool Effect(const SyntaxNode* node);
  [[nodiscard]] bool Expression(const SyntaxNode* node, bool used);
  [[nodiscard]] bool Operator(const SyntaxNode* node, bool used);
  [[nodiscard]] bool Call(const SyntaxNode* node, bool used);
  [[nodiscard]] bool Assign(const SyntaxNode* target, const SyntaxNode* value, bool used, bool copy);
  [[nodiscard]] bool Step(const SyntaxNode* node, bool used);
  [[nodiscard]] bool Comparison(const SyntaxNode* node);
  [[nodiscard]] bool Convert(uint32_t from, const char* fromClass, uint32_t to, const char* toClass);
  [[nodiscard]] bool ClassOperand(uint8_t op, const char* className);
  uint32_t StringIndex(const char* text);

  int Temporary();
  void FreeTemporary(int t);
  int32_t TemporaryCell(int t) const;

  [[nodiscard]] bool Internal(const char* text);
  [[nodiscard]] bool Counted(uint32_t line, const char* format, const char* argument);
  // The break and continue labels of a loop, switch or wait statement of
  // the current function, made on first use.
  JumpLabels LabelsOf(const SyntaxNode* node);
  const char* FileName() const;

  GSSymbolTable& m_symbols;
  LibraryImage& m_image;
  ParseContext& m_context;
  int m_counted = 0;
  GSCClass* m_class = nullptr;
  GSCFunction* m_function = nullptr;   // the code being written (a function or an initialiser)
  GSCFunction m_initialiser{nullptr};  // of the class being generated
  GSCFunction m_working{nullptr};      // of the function being generated
  GSFunctionSymbol* m_functionSymbol = nullptr;
  uint32_t m_line = 0;
  bool m_tempsInUse[8] = {};
  struct LabelSlot {
    const SyntaxNode* node = nullptr;  // null: free
    JumpLabels labels;
  };
  LabelSlot& LabelSlotOf(const SyntaxNode* node);
  void ClearLabels();
  // Labels by statement: open addressing on the node's address, at most half
  // full, emptied for each function without an allocation.
  std::vector<LabelSlot> m_labels;
  std::size_t m_labelCount = 0;
  std::vector<SwitchState*> m_switches;
  std::vector<WaitState*> m_waits;
  // A class generated a member at a time.
  struct PendingPrototype {
    const GSFunctionSymbol* symbol;
    Mark mark;  // before the prototype's place
  };
  bool m_streamed = false;
  bool m_classOk = false;
  Mark m_classMark{};
  std::vector<PendingPrototype> m_prototypes;
};

}  // namespace GSCompiler
