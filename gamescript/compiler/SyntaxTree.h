#pragma once
// Syntax tree of one GameScript source file: nodes, their kinds, operator codes
// and marker bits, and the pool that owns them for the life of a parse context.

#include <cstdint>
#include <string>

#include "gamescript/runtime/LibraryFormat.h"
#include "gamescript/runtime/Memory.h"

namespace GSCompiler {

class GSSymbol;

// Deepest path of nodes (from a class declaration down) that the semantic
// walk accepts; the parser bounds expressions by it as it builds them.
constexpr int kMaxTreeDepth = 128;

// Node categories.
enum : uint32_t { CatDeclaration = 0, CatStatement = 1, CatExpression = 2 };

// Declaration kinds.
enum : uint32_t {
  DeclFunction = 0,    // 0 return type, 1 name, 2 first parameter, 3 body
  DeclPrototype = 1,   // 0 return type, 1 name, 2 first parameter
  DeclInclude = 2,     // 0 file name
  DeclClass = 3,       // 0 name, 1 first base-class name, 2 first member
  DeclVariables = 4,   // 0 type, 1 first declarator
  DeclDeclarator = 5,  // 0 name, 1 initial value
  DeclType = 6,        // value = type code; 0 class name for class types
  DeclParameter = 7,   // 0 type, 1 name
  DeclName = 8,        // text = the name
};

// Statement kinds.
enum : uint32_t {
  StmtReturn = 0,
  StmtBreak = 1,
  StmtContinue = 2,
  StmtGoto = 3,
  StmtFor = 4,
  StmtWhile = 5,
  StmtSwitch = 6,
  StmtIf = 7,
  StmtDefault = 8,
  StmtCase = 9,
  StmtLabel = 10,
  StmtCompound = 11,
  StmtWait = 12,
  StmtOn = 13,
};

// Expression kinds (4 is unused).
enum : uint32_t {
  ExprOperator = 0,
  ExprConstant = 1,
  ExprIdentifier = 2,
  ExprCall = 3,
  ExprMe = 5,
  ExprNull = 6,
};

// Constant types of constant nodes (in `value`).
enum : int32_t { ConstBool = 0, ConstInt = 1, ConstFloat = 2, ConstString = 3 };

// Operator codes of operator nodes (in `value`).
enum : int32_t {
  OpPostDec = 0,
  OpPostInc = 1,
  OpMember = 2,
  OpPlus = 3,
  OpNegate = 4,
  OpNot = 5,
  OpComplement = 6,
  OpPreDec = 7,
  OpPreInc = 8,
  OpRange = 9,
  OpIndex = 10,
  OpCast = 11,
  OpMul = 12,
  OpDiv = 13,
  OpMod = 14,
  OpAdd = 15,
  OpSub = 16,
  OpShl = 17,
  OpShr = 18,
  OpLess = 19,
  OpGreater = 20,
  OpLessEq = 21,
  OpGreaterEq = 22,
  OpEq = 23,
  OpNotEq = 24,
  OpBitAnd = 25,
  OpBitXor = 26,
  OpBitOr = 27,
  OpAnd = 28,
  OpOr = 29,
  OpAssign = 30,
  OpSize = 31,
  OpIsClass = 32,
  OpCopy = 33,
  OpNew = 34,
};

// Value type codes: those of the library format.
using enum GSRuntime::TypeCode;

// Declaration specifier bits and node marker bits.
enum : uint32_t {
  SpecPublic = 0x1,
  SpecNative = 0x2,
  SpecStatic = 0x4,
  SpecFinal = 0x8,
  SpecThread = 0x10,
  SpecConstructor = 0x20,
  SpecGame = 0x40,
  SpecDefine = 0x80,
  SpecSecured = 0x100,
  FlagClassMember = 0x4000000,   // variable declaration list inside a class
  FlagFunctionBody = 0x8000000,  // compound statement that is a function's body
  FlagDiscarded = 0x10000000,    // expression whose value is not used
  // Set by the semantic pass. An identifier naming a class used as a static
  // reference carries SpecStatic; identifiers and members also carry the
  // specifier bits of their symbol.
  FlagHasDefault = 0x400000,       // switch statement that has its default
  FlagInheritedCall = 0x1000000,   // call of `inherited`: the current function's parent version
  FlagQualifiedCall = 0x20000000,  // call through ".": the receiver is child 0's child 0
  FlagLValue = 0x40000000,         // expression that can be assigned to
};

// Pointers first, then the 32-bit fields: no padding, 128 bytes a node.
struct SyntaxNode {
  SyntaxNode* child[4] = {nullptr, nullptr, nullptr, nullptr};
  SyntaxNode* next = nullptr;       // following node of a list
  SyntaxNode* enclosing = nullptr;  // set by the semantic pass
  const char* text = nullptr;       // name, or the text of a string constant (pooled)
  const char* className = nullptr;  // filled by the semantic pass
  // Filled by the semantic pass: the statement a jump belongs to and the chain
  // of dependent statements (cases of a switch, on statements of a wait).
  SyntaxNode* target = nullptr;
  SyntaxNode* firstDependent = nullptr;
  SyntaxNode* nextDependent = nullptr;
  // Filled by the semantic pass:
  // - symbol: the class of a class declaration or of a static reference, the
  //   function of a function declaration or a call (for `inherited`, the
  //   current function), the variable of a declarator, a parameter, an
  //   identifier or a member access (".");
  // - position: the cell of a declarator, parameter, identifier or member
  //   access, or the function slot of a call, as seen from the class the node
  //   reaches it through (a local's or parameter's own cell); -1 when none.
  // Folded operators and defines become constant nodes (kind ExprConstant)
  // without children; an argument that needs a conversion is wrapped in an
  // OpCast node whose child 1 is a DeclType node of the parameter's type.
  GSSymbol* symbol = nullptr;
  uint32_t category = 0;
  uint32_t datum = 0;  // constant value: bool, integer or float bits
  uint32_t kind = 0;
  int32_t value = -1;  // type code, operator code or constant type
  uint32_t line = 0;
  uint32_t flags = 0;
  uint32_t type = TypeNone;  // filled by the semantic pass
  int32_t position = -1;
};

// A new node from `memory` (the parse context's pool; nodes are never freed one
// by one). Null when the pool cannot give the memory.
SyntaxNode* NewNode(Utils::FrameMemory& memory, uint32_t category, uint32_t kind, uint32_t line);

// Appends `tail` (itself possibly a chain) at the end of the chain of `head`;
// returns the chain's head.
SyntaxNode* AppendChain(SyntaxNode* head, SyntaxNode* tail);

// Printable names used in compiler messages and symbol names.
// Value type 0..13 ("" for 12, "illegal type" outside the range).
const char* TypeName(uint32_t type);
// Operator code 0..34 ("" outside the range).
const char* OperatorName(int32_t op);
// The words of the specifier bits that are set, each followed by a blank.
std::string SpecifierText(uint32_t bits);

// One line per node in a readable nested form; used by tests and debugging.
std::string DumpTree(const SyntaxNode* first);

}  // namespace GSCompiler
