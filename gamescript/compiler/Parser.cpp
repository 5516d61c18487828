#include "gamescript/compiler/Parser.h"

#include <algorithm>
#include <cfloat>
#include <charconv>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <new>
#include <string>
#include <string_view>
#include <type_traits>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "gamescript/compiler/Messages.h"
#include "gamescript/compiler/ParseContext.h"
#include "gamescript/compiler/Scanner.h"
#include "gamescript/compiler/SyntaxTree.h"
#include "gamescript/compiler/Tokens.h"
#include "gamescript/runtime/StringPool.h"
#include "kiv/Thread.h"

namespace GSCompiler {

namespace {

// Bound on the parser's own recursion (statements, expressions, prefix
// operators), counted where a table-driven parser would stack a state: a
// nest this deep is refused as a parser stack overflow well before the
// machine stack is at risk, and nearly 10,000 nested parentheses still parse.
constexpr int kMaxNesting = 10000;
// Room for that recursion, with the larger frames of instrumented builds.
constexpr std::size_t kParseStackBytes = std::size_t(64) << 20;

// An expression is at least three nodes below its class (class, member or
// function, declarator or body): a taller one can never pass the semantic
// walk, so it is refused while it is built rather than after a huge tree.
constexpr uint32_t kMaxExpressionHeight = kMaxTreeDepth - 3;

struct ParseStop {};  // unwinds the parse after its one error report

// A node is its pointers, then two groups of four 32-bit fields: Parser::Node
// writes a blank one a group at a time.
constexpr std::size_t kNodeWords = offsetof(SyntaxNode, category);
static_assert(kNodeWords % 16 == 0 && sizeof(SyntaxNode) == kNodeWords + 32);
static_assert(offsetof(SyntaxNode, datum) == kNodeWords + 4 && offsetof(SyntaxNode, kind) == kNodeWords + 8 &&
              offsetof(SyntaxNode, value) == kNodeWords + 12 &&
              offsetof(SyntaxNode, line) == kNodeWords + 16 &&
              offsetof(SyntaxNode, flags) == kNodeWords + 20 &&
              offsetof(SyntaxNode, type) == kNodeWords + 24 &&
              offsetof(SyntaxNode, position) == kNodeWords + 28);
static_assert(std::is_trivially_destructible_v<SyntaxNode> && std::is_standard_layout_v<SyntaxNode>);

// Binary operators by token: precedence level (higher binds tighter) and operator code.
struct BinaryOperator {
  int8_t level;  // -1: not a binary operator
  int8_t op;
};
struct BinaryTable {
  BinaryOperator of[SYMBOL_UNKNOWN + 1];
  constexpr BinaryTable() : of() {
    for (BinaryOperator& b : of) b = {-1, -1};
    const struct {
      int token, level, op;
    } operators[] = {{KEYWORD_OR, 0, OpOr},
                     {KEYWORD_AND, 1, OpAnd},
                     {'|', 2, OpBitOr},
                     {'^', 3, OpBitXor},
                     {'&', 4, OpBitAnd},
                     {SYMBOL_EQ, 5, OpEq},
                     {SYMBOL_NEQ, 5, OpNotEq},
                     {'<', 6, OpLess},
                     {'>', 6, OpGreater},
                     {SYMBOL_LTE, 6, OpLessEq},
                     {SYMBOL_GTE, 6, OpGreaterEq},
                     {SYMBOL_LEFT_SHIFT, 7, OpShl},
                     {SYMBOL_RIGHT_SHIFT, 7, OpShr},
                     {'+', 8, OpAdd},
                     {'-', 8, OpSub},
                     {'*', 9, OpMul},
                     {'/', 9, OpDiv},
                     {'%', 9, OpMod}};
    for (const auto& o : operators) of[o.token] = {int8_t(o.level), int8_t(o.op)};
  }
};
constexpr BinaryTable kBinary{};
// A list under construction; appending keeps a tail so long lists stay linear.
struct Chain {
  SyntaxNode* head = nullptr;
  SyntaxNode* tail = nullptr;

  explicit Chain(SyntaxNode* first = nullptr) { Add(first); }
  void Add(SyntaxNode* node) {
    if (node == nullptr) return;
    if (head == nullptr)
      head = node;
    else
      tail->next = node;
    tail = node;
    while (tail->next != nullptr) tail = tail->next;
  }
};

class Parser {
public:
  Parser(Scanner& scanner, ParseContext& context, ParseSink* sink)
      : m_scanner(scanner),
        m_ctx(context),
        m_sink(sink),
        m_tok(scanner.Current()),
        m_batchEnd(scanner.BatchEnd()) {
    // Stepping from the token the scanner handed out last: a fresh scanner's
    // batch is empty, and the first step then scans one.
    if (m_batchEnd == m_tok) m_batchEnd = m_tok + 1;
  }

  int Run() {
    int result = 0;
    try {
      m_ctx.declarations = Program();
    } catch (const ParseStop&) {
      m_ctx.declarations = nullptr;
      result = 1;
    }
    m_scanner.SetCurrent(m_tok);
    return result;
  }

private:
  // --- tokens: the look-ahead is read only when a decision needs it, so a
  // node made right after its last token carries that token's line.
  int Peek() {
    if (m_token == kNotRead) Fetch();
    return m_token;
  }
  void Advance() {
    Peek();
    m_token = kNotRead;
  }
  bool Accept(int token) {
    if (Peek() != token) return false;
    Advance();
    return true;
  }
  void Expect(int token) {
    if (!Accept(token)) Fail("parse error");
  }
  // The parser steps through the scanner's batch itself.
  void Fetch() {
    if (++m_tok == m_batchEnd) {
      m_tok = m_scanner.NextBatch();
      m_batchEnd = m_scanner.BatchEnd();
    }
    m_token = m_tok->code;
  }
  std::string_view Text() const { return {m_tok->text, m_tok->length}; }
  uint32_t Line() const { return static_cast<uint32_t>(m_tok->line); }
  // Whoever the parser calls out to sees the scanner where the parser is.
  ParseSink& Sink() {
    m_scanner.SetCurrent(m_tok);
    return *m_sink;
  }

  [[noreturn, gnu::noinline, gnu::cold]] void Fail(const char* what) {
    const int line = static_cast<int>(Line());
    ReportError(m_ctx, true, false, line, "%s, line %d", what, line);
    throw ParseStop();
  }

  struct Nest {
    explicit Nest(Parser& p) : parser(p) {
      if (++parser.m_depth > kMaxNesting) parser.Fail("parser stack overflow");
    }
    ~Nest() { --parser.m_depth; }
    Parser& parser;
  };

  // --- nodes and texts
  // Nodes and short texts are carved from chunks of nearly a whole pool
  // block: nodes from the bottom (the chunk is aligned and a node's size keeps
  // the next one aligned), texts from the top. One pool call per chunk instead
  // of one per node and per name, and no alignment pad per node: the tree
  // takes less memory and the parse touches fewer fresh pages. Everything
  // still lives and dies with the pool.
  bool NewChunk() {
    Utils::FrameMemory& pool = *m_pool;
    constexpr std::size_t pad = alignof(SyntaxNode) - 1;
    if (pool.BlockSize() <= pad + sizeof(SyntaxNode)) return false;
    const std::size_t size = pool.BlockSize() - pad;
    auto* chunk = static_cast<char*>(pool.Alloc(size, alignof(SyntaxNode)));
    if (chunk == nullptr) return false;
    m_low = chunk;
    m_high = chunk + size;
    m_chunk = {chunk, chunk + size, &pool};
    return true;
  }
  [[gnu::noinline]] void NodeChunk() {
    if (!NewChunk()) Fail("parser stack overflow");  // the node pool is exhausted
  }
  SyntaxNode* Node(uint32_t category, uint32_t kind) {
    if (static_cast<std::size_t>(m_high - m_low) < sizeof(SyntaxNode)) NodeChunk();
    char* const at = m_low;
    m_low += sizeof(SyntaxNode);
#if defined(__SSE2__)
    // A blank node in eight 16-byte stores, the 32-bit fields included,
    // rather than field by field.
    const __m128i zero = _mm_setzero_si128();
    static_assert(kNodeWords == 96);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(at), zero);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(at + 16), zero);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(at + 32), zero);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(at + 48), zero);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(at + 64), zero);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(at + 80), zero);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(at + kNodeWords),
                     _mm_setr_epi32(int(category), 0, int(kind), -1));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(at + kNodeWords + 16),
                     _mm_setr_epi32(int(Line()), 0, int(TypeNone), -1));
    return std::launder(reinterpret_cast<SyntaxNode*>(at));
#else
    SyntaxNode* node = ::new (static_cast<void*>(at)) SyntaxNode;
    node->category = category;
    node->kind = kind;
    node->line = Line();
    return node;
#endif
  }
  SyntaxNode* Operator(int32_t op, SyntaxNode* a, SyntaxNode* b = nullptr, SyntaxNode* c = nullptr) {
    SyntaxNode* node = Node(CatExpression, ExprOperator);
    node->value = op;
    node->child[0] = a;
    node->child[1] = b;
    node->child[2] = c;
    // What the semantic walk passes over adds nothing to the height.
    uint32_t below = op == OpNew ? 0 : Height(a);
    if (b != nullptr && op != OpMember && op != OpIsClass) below = std::max(below, Height(b));
    if (c != nullptr) below = std::max(below, Height(c));
    FinishHeight(node, below);
    return node;
  }
  // An operator of two operands, both walked.
  SyntaxNode* BinaryNode(int32_t op, SyntaxNode* a, SyntaxNode* b) {
    SyntaxNode* node = Node(CatExpression, ExprOperator);
    node->value = op;
    node->child[0] = a;
    node->child[1] = b;
    FinishHeight(node, std::max(Height(a), Height(b)));
    return node;
  }
  // Until the checks fold constants, an operator's or call's `datum` holds
  // the height of its expression as the semantic walk will see it (names and
  // types are leaves to the walk); a list is as high as its highest entry.
  static uint32_t Height(const SyntaxNode* node) {
    if (node == nullptr) return 0;
    uint32_t height = HeightOf(node);
    while ((node = node->next) != nullptr) height = std::max(height, HeightOf(node));
    return height;
  }
  static uint32_t HeightOf(const SyntaxNode* node) {
    const bool built =
        node->category == CatExpression && (node->kind == ExprOperator || node->kind == ExprCall);
    return built ? node->datum : 1;
  }
  void FinishHeight(SyntaxNode* node, uint32_t below) {
    node->datum = below + 1;
    if (node->datum > kMaxExpressionHeight) {
      ReportError(m_ctx, true, false, int(node->line), "Stack overflow; code nested too deep.");
      throw ParseStop();
    }
  }
  // Most names are short: copied in two overlapping moves without a call,
  // reading nothing outside the text.
  static void CopyText(char* to, const char* from, std::size_t n) {
    if (n >= 8 && n <= 16) {
      uint64_t head, tail;
      std::memcpy(&head, from, 8);
      std::memcpy(&tail, from + n - 8, 8);
      std::memcpy(to, &head, 8);
      std::memcpy(to + n - 8, &tail, 8);
    } else if (n >= 4 && n < 8) {
      uint32_t head, tail;
      std::memcpy(&head, from, 4);
      std::memcpy(&tail, from + n - 4, 4);
      std::memcpy(to, &head, 4);
      std::memcpy(to + n - 4, &tail, 4);
    } else if (n > 0 && n < 4) {
      to[0] = from[0];
      to[n / 2] = from[n / 2];
      to[n - 1] = from[n - 1];
    } else if (n > 16) {
      std::memcpy(to, from, n);
    }
  }
  // A NUL-terminated copy of `text` in the pool.
  const char* Pool(std::string_view text) {
    const std::size_t need = text.size() + 1;
    if (static_cast<std::size_t>(m_high - m_low) < need) {
      // A text longer than a chunk goes to the pool, which gives it storage
      // of its own; so does any text when no chunk can be had.
      const std::size_t block = m_pool->BlockSize();
      const std::size_t chunk = block > alignof(SyntaxNode) ? block - (alignof(SyntaxNode) - 1) : 0;
      if (need > chunk || !NewChunk()) {
        const char* copy = m_pool->StrDup(text.data(), text.size());
        if (copy == nullptr) Fail("parser stack overflow");
        return copy;
      }
    }
    m_high -= need;
    CopyText(m_high, text.data(), text.size());
    m_high[text.size()] = '\0';
    return m_high;
  }
  // The current IDENTIFIER as a name node.
  SyntaxNode* Name() {
    if (Peek() != IDENTIFIER) Fail("parse error");
    const std::string_view text = Text();
    Advance();
    SyntaxNode* node = Node(CatDeclaration, DeclName);
    node->text = Pool(text);
    return node;
  }
  SyntaxNode* AsName(SyntaxNode* identifier) {
    identifier->category = CatDeclaration;
    identifier->kind = DeclName;
    return identifier;
  }

  // --- declarations
  SyntaxNode* Program() {
    Chain program;
    while (Accept(KEYWORD_INCLUDE)) {
      if (Peek() != CONSTANT_STRING) Fail("parse error");
      // Kept as written, for the messages; files are known by the lower-cased name.
      std::string file = Utils::UnquoteLiteral(Text(), false);
      Advance();
      SyntaxNode* name = Node(CatDeclaration, DeclName);
      name->text = Pool(std::string_view(file.c_str()));
      SyntaxNode* include = Node(CatDeclaration, DeclInclude);
      include->child[0] = name;
      program.Add(include);
    }
    if (m_sink != nullptr) {
      Sink().Includes(program.head);
      program = Chain();
      Recycle();
    }
    do {
      SyntaxNode* declaration = ClassDeclaration();
      if (m_sink == nullptr) {
        program.Add(declaration);
        continue;
      }
      Sink().Class(declaration);
      Recycle();
    } while (Peek() != TOKEN_END);
    return program.head;
  }

  // The nodes handed to the sink are done with: their pool is reused.
  void Recycle() {
    m_ctx.stringPool.Rewind();
    m_low = m_high = nullptr;
  }

  static uint32_t SpecifierBit(int token) {
    switch (token) {
      case KEYWORD_PUBLIC: return SpecPublic;
      case KEYWORD_NATIVE: return SpecNative;
      case KEYWORD_FINAL: return SpecFinal;
      case KEYWORD_THREAD: return SpecThread;
      case KEYWORD_STATIC: return SpecStatic;
      case KEYWORD_GAME: return SpecGame;
      case KEYWORD_SECURED: return SpecSecured;
      case KEYWORD_DEFINE: return SpecDefine;
      default: return 0;
    }
  }
  uint32_t Specifiers() {
    uint32_t bits = 0;
    while (uint32_t bit = SpecifierBit(Peek())) {
      bits |= bit;
      Advance();
    }
    return bits;
  }

  SyntaxNode* ClassDeclaration() {
    const uint32_t specifiers = Specifiers();
    Expect(KEYWORD_CLASS);
    SyntaxNode* node = Node(CatDeclaration, DeclClass);
    node->child[0] = Name();
    Chain bases;
    if (Accept(KEYWORD_ISCLASS)) {
      bases.Add(Name());
      while (Accept(',')) bases.Add(Name());
    }
    node->child[1] = bases.head;
    node->flags = specifiers;
    Expect('{');
    Chain members;
    const bool handedOver = m_sink != nullptr && Peek() != '}' && Sink().TakesMembers(node);
    while (Peek() != '}') {
      if (handedOver)
        HandOverMember();
      else
        members.Add(MemberDeclaration());
    }
    Advance();
    Expect(';');
    node->child[2] = members.head;
    node->line = Line();  // the class's messages name the line of its end
    return node;
  }

  // One member read into the member pool and given to the sink; its memory
  // serves the next member. The class's own nodes stay in the context's pool.
  // A member that took one chunk and nothing else leaves the pool as it is:
  // the next member starts again at that chunk's bottom, without a rewind and
  // a new chunk.
  void HandOverMember() {
    char* const low = m_low;
    char* const high = m_high;
    Utils::FrameMemory& pool = m_ctx.memberPool;
    m_pool = &pool;
    m_low = m_memberChunk.low;
    m_high = m_memberChunk.high;
    SyntaxNode* member = MemberDeclaration();
    m_pool = &m_ctx.stringPool;
    m_low = low;
    m_high = high;
    Sink().Member(member);
    if (pool.AllocCount() == 1 && (m_memberChunk.low != nullptr || m_chunk.pool == &pool)) {
      if (m_memberChunk.low == nullptr) m_memberChunk = m_chunk;
    } else {
      pool.Rewind();
      m_memberChunk = {};
    }
  }

  static bool IsPrimitive(int token) { return token >= KEYWORD_VOID && token <= KEYWORD_OBJECT; }

  // The code of the primitive type or class name at the current token; a
  // class name's node goes to name.
  int32_t TypeName(SyntaxNode*& name) {
    const int token = Peek();
    name = nullptr;
    if (IsPrimitive(token)) {
      Advance();
      return token - KEYWORD_VOID;
    }
    if (token != IDENTIFIER) Fail("parse error");
    name = Name();
    return TypeObject;
  }

  SyntaxNode* TypeSpecifier() {
    SyntaxNode* name;
    const int32_t code = TypeName(name);
    return FinishType(code, name);
  }
  // The optional "[ ]" after a type, then the type node.
  SyntaxNode* FinishType(int32_t code, SyntaxNode* name) {
    if (Accept(SYMBOL_OP_DIM)) code += TypeVoidArray;
    SyntaxNode* type = Node(CatDeclaration, DeclType);
    type->value = code;
    type->child[0] = name;
    return type;
  }

  SyntaxNode* MemberDeclaration() {
    const uint32_t specifiers = Specifiers();
    SyntaxNode* type = TypeSpecifier();
    SyntaxNode* name = Name();
    SyntaxNode* node;
    if (Accept('(')) {
      SyntaxNode* parameters = ParameterList();
      if (Peek() == '{') {
        SyntaxNode* body = CompoundStatement();
        body->flags |= FlagFunctionBody;
        node = Node(CatDeclaration, DeclFunction);
        node->child[3] = body;
      } else {
        Expect(';');
        node = Node(CatDeclaration, DeclPrototype);
      }
      node->child[0] = type;
      node->child[1] = name;
      node->child[2] = parameters;
    } else {
      node = VariableList(type, name);
      node->flags |= FlagClassMember;
    }
    node->flags |= specifiers;
    return node;
  }

  // After "(": nothing, "void", or parameters; then ")".
  SyntaxNode* ParameterList() {
    if (Accept(')')) return nullptr;
    Chain parameters;
    if (Accept(KEYWORD_VOID)) {
      if (Accept(')')) return nullptr;
      SyntaxNode* type = FinishType(TypeVoid, nullptr);
      parameters.Add(Parameter(type));
    } else {
      parameters.Add(Parameter(TypeSpecifier()));
    }
    while (Accept(',')) parameters.Add(Parameter(TypeSpecifier()));
    Expect(')');
    return parameters.head;
  }
  SyntaxNode* Parameter(SyntaxNode* type) {
    SyntaxNode* name = Name();
    SyntaxNode* node = Node(CatDeclaration, DeclParameter);
    node->child[0] = type;
    node->child[1] = name;
    return node;
  }

  // type and the first declarator's name already read; through the ";".
  SyntaxNode* VariableList(SyntaxNode* type, SyntaxNode* firstName) {
    Chain declarators(Declarator(firstName));
    while (Accept(',')) declarators.Add(Declarator(Name()));
    Expect(';');
    SyntaxNode* node = Node(CatDeclaration, DeclVariables);
    node->child[0] = type;
    node->child[1] = declarators.head;
    return node;
  }
  SyntaxNode* Declarator(SyntaxNode* name) {
    SyntaxNode* value = nullptr;
    if (Accept('=')) value = Binary(0);
    SyntaxNode* node = Node(CatDeclaration, DeclDeclarator);
    node->child[0] = name;
    node->child[1] = value;
    return node;
  }

  // --- statements
  SyntaxNode* CompoundStatement() {
    Expect('{');
    Chain statements;
    while (Peek() != '}') statements.Add(Statement());
    Advance();
    SyntaxNode* node = Node(CatStatement, StmtCompound);
    node->child[0] = statements.head;
    return node;
  }

  SyntaxNode* StatementNode(uint32_t kind, SyntaxNode* a = nullptr, SyntaxNode* b = nullptr,
                            SyntaxNode* c = nullptr, SyntaxNode* d = nullptr) {
    SyntaxNode* node = Node(CatStatement, kind);
    node->child[0] = a;
    node->child[1] = b;
    node->child[2] = c;
    node->child[3] = d;
    return node;
  }

  static void MarkDiscarded(SyntaxNode* list) {
    for (SyntaxNode* n = list; n != nullptr; n = n->next) n->flags |= FlagDiscarded;
  }

  // ";" alone gives nothing; an expression statement marks every expression.
  SyntaxNode* ExpressionStatement() {
    if (m_pending == nullptr && Accept(';')) return nullptr;
    SyntaxNode* list = Expression();
    Expect(';');
    MarkDiscarded(list);
    return list;
  }

  SyntaxNode* ParenthesisedExpression() {
    Expect('(');
    SyntaxNode* e = Expression();
    Expect(')');
    return e;
  }

  // Each statement form has its own function so that the frame on the
  // recursive path (statement, block, statement) stays small.
  SyntaxNode* Statement() {
    Nest nest(*this);
    const int token = Peek();
    switch (token) {
      case '{': return CompoundStatement();
      case ';': Advance(); return nullptr;
      case KEYWORD_IF: return IfStatement();
      case KEYWORD_SWITCH: return SwitchStatement();
      case KEYWORD_WAIT: return WaitStatement();
      case KEYWORD_WHILE: return WhileStatement();
      case KEYWORD_FOR: return ForStatement();
      case KEYWORD_GOTO: return GotoStatement();
      case KEYWORD_CONTINUE: return SimpleJump(StmtContinue);
      case KEYWORD_BREAK: return SimpleJump(StmtBreak);
      case KEYWORD_RETURN: return ReturnStatement();
      case KEYWORD_CASE: return CaseStatement();
      case KEYWORD_DEFAULT: return DefaultStatement();
      case KEYWORD_ON: return OnStatement();
      case IDENTIFIER: return NameStatement();
      default:
        if (IsPrimitive(token)) return LocalDeclaration();
        return ExpressionStatement();
    }
  }

  [[gnu::noinline]] SyntaxNode* IfStatement() {
    Advance();
    SyntaxNode* condition = ParenthesisedExpression();
    SyntaxNode* then = Statement();
    SyntaxNode* otherwise = nullptr;
    if (Accept(KEYWORD_ELSE)) otherwise = Statement();
    return StatementNode(StmtIf, condition, then, otherwise);
  }

  [[gnu::noinline]] SyntaxNode* SwitchStatement() {
    Advance();
    SyntaxNode* value = ParenthesisedExpression();
    if (Peek() != '{') Fail("parse error");
    return StatementNode(StmtSwitch, value, CompoundStatement());
  }

  [[gnu::noinline]] SyntaxNode* WaitStatement() {
    Advance();
    Expect('(');
    Expect(')');
    if (Peek() != '{') Fail("parse error");
    return StatementNode(StmtWait, CompoundStatement());
  }

  [[gnu::noinline]] SyntaxNode* WhileStatement() {
    Advance();
    SyntaxNode* condition = ParenthesisedExpression();
    return StatementNode(StmtWhile, condition, Statement());
  }

  [[gnu::noinline]] SyntaxNode* ForStatement() {
    Advance();
    Expect('(');
    SyntaxNode* init = ExpressionStatement();
    SyntaxNode* condition = ExpressionStatement();
    if (condition != nullptr) {
      SyntaxNode* last = condition;
      while (last->next != nullptr) last = last->next;
      last->flags &= ~FlagDiscarded;
    }
    SyntaxNode* step = nullptr;
    if (Peek() != ')') {
      step = Expression();
      MarkDiscarded(step);
    }
    Expect(')');
    SyntaxNode* body = Statement();
    return StatementNode(StmtFor, init, condition, body, step);
  }

  [[gnu::noinline]] SyntaxNode* GotoStatement() {
    Advance();
    SyntaxNode* label = Name();
    Expect(';');
    return StatementNode(StmtGoto, label);
  }

  [[gnu::noinline]] SyntaxNode* SimpleJump(uint32_t kind) {
    Advance();
    Expect(';');
    return StatementNode(kind);
  }

  [[gnu::noinline]] SyntaxNode* ReturnStatement() {
    Advance();
    SyntaxNode* value = nullptr;
    if (Peek() != ';') value = Expression();
    Expect(';');
    return StatementNode(StmtReturn, value);
  }

  [[gnu::noinline]] SyntaxNode* CaseStatement() {
    Advance();
    SyntaxNode* value = Binary(0);
    Expect(':');
    SyntaxNode* labelled = Statement();
    SyntaxNode* node = StatementNode(StmtCase, value);
    node->next = labelled;
    return node;
  }

  [[gnu::noinline]] SyntaxNode* DefaultStatement() {
    Advance();
    Expect(':');
    SyntaxNode* labelled = Statement();
    SyntaxNode* node = StatementNode(StmtDefault);
    node->next = labelled;
    return node;
  }

  [[gnu::noinline]] SyntaxNode* OnStatement() {
    Advance();
    SyntaxNode* major = Constant();
    Expect(',');
    SyntaxNode* minor = Constant();
    SyntaxNode* variable = nullptr;
    if (Accept(',')) variable = Unary();
    Expect(':');
    SyntaxNode* labelled = Statement();
    SyntaxNode* node = StatementNode(StmtOn, major, minor, variable);
    node->next = labelled;
    return node;
  }

  // A label, a declaration of a class-typed variable, or an expression: the
  // token after the name decides.
  [[gnu::noinline]] SyntaxNode* NameStatement() {
    SyntaxNode* identifier = Identifier();
    const int after = Peek();
    if (after == ':') {
      Advance();
      SyntaxNode* labelled = Statement();
      SyntaxNode* node = StatementNode(StmtLabel, AsName(identifier));
      node->next = labelled;
      return node;
    }
    if (after == IDENTIFIER || after == SYMBOL_OP_DIM) {
      SyntaxNode* type = FinishType(TypeObject, AsName(identifier));
      return VariableList(type, Name());
    }
    m_pending = identifier;
    return ExpressionStatement();
  }

  [[gnu::noinline]] SyntaxNode* LocalDeclaration() {
    SyntaxNode* type = TypeSpecifier();
    return VariableList(type, Name());
  }

  // --- expressions
  // A comma list; each appended expression marks the list's first as discarded.
  SyntaxNode* Expression() {
    Chain list(Assignment());
    while (Accept(',')) {
      list.head->flags |= FlagDiscarded;
      list.Add(Assignment());
    }
    return list.head;
  }

  // Every cycle of the expression recursion passes a Nest once per level:
  // in Cast (parentheses, casts, prefix operators), at the right side of "="
  // and at "++" / "--" before an operand.
  SyntaxNode* Assignment() {
    bool unary = false;
    SyntaxNode* left = Binary(0, &unary);
    if (unary && Peek() == '=') {
      Advance();
      Nest nest(*this);
      SyntaxNode* right = Assignment();
      return Operator(OpAssign, left, right);
    }
    return left;
  }

  // Every token code is at most SYMBOL_UNKNOWN.
  static BinaryOperator BinaryOf(int token) { return kBinary.of[token]; }

  // Left-associative binary operators from `minLevel` up; `unary` tells
  // whether the result is a bare unary expression (a possible assignment target).
  SyntaxNode* Binary(int minLevel, bool* unary = nullptr) {
    bool isUnary = false;
    SyntaxNode* left = Cast(&isUnary);
    for (;;) {
      const BinaryOperator b = BinaryOf(Peek());
      if (b.level < minLevel) break;
      Advance();
      SyntaxNode* right = Binary(b.level + 1);
      left = BinaryNode(b.op, left, right);
      isUnary = false;
    }
    if (unary != nullptr) *unary = isUnary;
    return left;
  }

  // Names and constants, the most common operands, go straight to their
  // postfix operators; the rest takes the general way through Unary.
  [[gnu::noinline]] SyntaxNode* Cast(bool* unary) {
    Nest nest(*this);
    *unary = true;
    SyntaxNode* e;
    if (m_pending != nullptr) {
      e = m_pending;
      m_pending = nullptr;
    } else {
      switch (Peek()) {
        case IDENTIFIER: e = Identifier(); break;
        case CONSTANT_INT:
        case CONSTANT_FLOAT:
        case CONSTANT_STRING: e = Constant(); break;
        case '(': {
          Advance();
          if (IsPrimitive(Peek())) {
            *unary = false;
            SyntaxNode* type = TypeSpecifier();  // a class name here is not a cast
            Expect(')');
            bool ignored;
            SyntaxNode* operand = Cast(&ignored);
            return Operator(OpCast, operand, type);
          }
          SyntaxNode* inner = Expression();
          Expect(')');
          return Postfix(inner);
        }
        case KEYWORD_CAST: {
          Advance();
          *unary = false;
          Expect('<');
          SyntaxNode* type = TypeSpecifier();
          Expect('>');
          bool ignored;
          SyntaxNode* operand = Cast(&ignored);
          return Operator(OpCast, operand, type);
        }
        default: return Unary();
      }
    }
    switch (Peek()) {
      case '[':
      case '(':
      case '.':
      case SYMBOL_INC:
      case SYMBOL_DEC: return Postfix(e);
      default: return e;
    }
  }

  SyntaxNode* Unary() {
    if (m_pending != nullptr) return Postfix(Primary());
    int32_t op;
    switch (Peek()) {
      case SYMBOL_INC: {
        Advance();
        Nest nest(*this);
        return Operator(OpPreInc, Unary());
      }
      case SYMBOL_DEC: {
        Advance();
        Nest nest(*this);
        return Operator(OpPreDec, Unary());
      }
      case '+': op = OpPlus; break;
      case '-': op = OpNegate; break;
      case '~': op = OpComplement; break;
      case '!': op = OpNot; break;
      default: return Postfix(Primary());
    }
    Advance();
    bool ignored;
    return Operator(op, Cast(&ignored));
  }

  [[gnu::noinline]] SyntaxNode* Postfix(SyntaxNode* e) {
    for (;;) {
      switch (Peek()) {
        case '[': {
          Advance();
          if (Accept(',')) {
            SyntaxNode* to = Assignment();
            Expect(']');
            e = Operator(OpRange, e, nullptr, to);
            break;
          }
          SyntaxNode* index = Assignment();
          if (Accept(',')) {
            SyntaxNode* to = nullptr;
            if (Peek() != ']') to = Assignment();
            Expect(']');
            e = Operator(OpRange, e, index, to);
          } else {
            Expect(']');
            e = Operator(OpIndex, e, index);
          }
          break;
        }
        case '(': {
          Advance();
          SyntaxNode* arguments = nullptr;
          if (Peek() != ')') arguments = ArgumentList();
          Expect(')');
          SyntaxNode* call = Node(CatExpression, ExprCall);
          call->child[0] = e;
          call->child[1] = arguments;
          FinishHeight(call, std::max(Height(e), Height(arguments)));
          e = call;
          break;
        }
        case '.':
          Advance();
          switch (Peek()) {
            case KEYWORD_SIZE:
              Advance();
              Expect('(');
              Expect(')');
              e = Operator(OpSize, e);
              break;
            case KEYWORD_ISCLASS: {
              Advance();
              Expect('(');
              SyntaxNode* name = Name();
              Expect(')');
              e = Operator(OpIsClass, e, name);
              break;
            }
            case KEYWORD_COPY: {
              Advance();
              Expect('(');
              SyntaxNode* source = Assignment();
              Expect(')');
              e = Operator(OpCopy, e, source);
              break;
            }
            default: e = Operator(OpMember, e, Name()); break;
          }
          break;
        case SYMBOL_INC:
          Advance();
          e = Operator(OpPostInc, e);
          break;
        case SYMBOL_DEC:
          Advance();
          e = Operator(OpPostDec, e);
          break;
        default: return e;
      }
    }
  }

  SyntaxNode* ArgumentList() {
    Chain arguments(Assignment());
    while (Accept(',')) arguments.Add(Assignment());
    return arguments.head;
  }

  SyntaxNode* Identifier() {
    const std::string_view text = Text();
    Advance();
    SyntaxNode* node = Node(CatExpression, ExprIdentifier);
    node->text = Pool(text);
    return node;
  }

  [[gnu::noinline]] SyntaxNode* Primary() {
    if (m_pending != nullptr) {
      SyntaxNode* e = m_pending;
      m_pending = nullptr;
      return e;
    }
    switch (Peek()) {
      case IDENTIFIER: return Identifier();
      case KEYWORD_ME: Advance(); return Node(CatExpression, ExprMe);
      case KEYWORD_NULL: Advance(); return Node(CatExpression, ExprNull);
      case KEYWORD_NEW: return New();
      case '(': {
        Advance();
        SyntaxNode* inner = Expression();
        Expect(')');
        return inner;
      }
      default: return Constant();
    }
  }

  [[gnu::noinline]] SyntaxNode* New() {
    Advance();
    SyntaxNode* name;
    int32_t code = TypeName(name);
    SyntaxNode* count = nullptr;
    SyntaxNode* arguments = nullptr;
    if (Accept('[')) {
      count = Expression();
      Expect(']');
      code += TypeVoidArray;
    } else {
      Expect('(');
      if (Peek() != ')') arguments = ArgumentList();
      Expect(')');
    }
    SyntaxNode* type = Node(CatDeclaration, DeclType);
    type->value = code;
    type->child[0] = name;
    return Operator(OpNew, type, count, arguments);
  }

  // --- constants
  SyntaxNode* ConstantNode(int32_t constType, uint32_t datum) {
    Advance();
    SyntaxNode* node = Node(CatExpression, ExprConstant);
    node->value = constType;
    node->datum = datum;
    return node;
  }

  // A whole-number literal as a 32-bit pattern; beyond 32 bits is refused.
  uint32_t WholeNumber(std::string_view digits, int base) {
    uint64_t value = 0;
    for (char c : digits) {
      int d = (c >= '0' && c <= '9') ? c - '0' : (c | 0x20) - 'a' + 10;
      value = value * static_cast<uint64_t>(base) + static_cast<uint64_t>(d);
      if (value > 0xFFFFFFFFull) Fail("integer constant too large");
    }
    return static_cast<uint32_t>(value);
  }

  static uint32_t FloatBits(std::string_view text) {
    double d = 0.0;
    // Digits and a point, as the scanner gives them. Up to 15 digits of which
    // at most 22 follow the point, the whole digits and the power of ten are
    // exact doubles, so one division rounds as the full conversion would.
    static constexpr double kPowers[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                         1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                         1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
    uint64_t digits = 0;
    std::size_t count = 0;
    std::size_t point = text.size();
    for (std::size_t i = 0; i < text.size(); ++i) {
      if (text[i] == '.') {
        point = i;
        continue;
      }
      digits = digits * 10 + static_cast<uint64_t>(text[i] - '0');
      ++count;
    }
    const std::size_t decimals = point < text.size() ? text.size() - point - 1 : 0;
    if (count <= 15 && decimals <= 22) {
      d = static_cast<double>(digits) / kPowers[decimals];
      return SingleBits(d);
    }
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), d);
    (void)end;
    if (ec == std::errc::result_out_of_range) {
      // Too large becomes infinity, too small zero, as the conversion would round.
      const size_t dot = text.find('.');
      const std::string_view whole = text.substr(0, dot);
      d = whole.find_first_not_of('0') == std::string_view::npos ? 0.0 : HUGE_VAL;
    }
    return SingleBits(d);
  }
  static uint32_t SingleBits(double d) {
    float f;
    if (std::isinf(d) || std::fabs(d) > static_cast<double>(FLT_MAX))
      f = d < 0 ? -HUGE_VALF : HUGE_VALF;
    else
      f = static_cast<float>(d);
    uint32_t bits;
    std::memcpy(&bits, &f, sizeof bits);
    return bits;
  }

  // The pooled text of a string literal (`literal` as scanned: quoted, maybe
  // with the L prefix). A NUL, escaped or raw, ends the text.
  const char* StringText(std::string_view literal) {
    std::string_view inner = literal;
    if (inner.front() == 'L') inner.remove_prefix(1);
    inner = inner.substr(1, inner.size() - 2);
    if (std::memchr(inner.data(), '\\', inner.size()) == nullptr)
      return Pool(inner.substr(0, inner.find('\0')));  // nothing to unescape
    const std::string value = Utils::UnquoteLiteral(literal, true);
    return Pool(std::string_view(value.c_str()));
  }

  [[gnu::noinline]] SyntaxNode* Constant() {
    const int token = Peek();
    const std::string_view text = Text();
    switch (token) {
      case CONSTANT_HEX: return ConstantNode(ConstInt, WholeNumber(text.substr(2), 16));
      case CONSTANT_INT: return ConstantNode(ConstInt, WholeNumber(text, 10));
      case CONSTANT_FLOAT: return ConstantNode(ConstFloat, FloatBits(text));
      case CONSTANT_CHAR: {
        const std::string value = Utils::UnquoteLiteral(text, true);
        const int32_t c = value.empty() ? 0 : static_cast<signed char>(value[0]);
        return ConstantNode(ConstInt, static_cast<uint32_t>(c));
      }
      case CONSTANT_STRING: {
        SyntaxNode* node = ConstantNode(ConstString, 0);
        node->text = StringText(text);
        return node;
      }
      case KEYWORD_TRUE: return ConstantNode(ConstBool, 1);
      case KEYWORD_FALSE: return ConstantNode(ConstBool, 0);
      default: Fail("parse error");
    }
  }

  Scanner& m_scanner;
  ParseContext& m_ctx;
  ParseSink* m_sink;
  static constexpr int kNotRead = -1;
  const Scanner::Token* m_tok;       // the token read last: the look-ahead once it is read
  const Scanner::Token* m_batchEnd;  // the end of the scanner's batch
  int m_token = kNotRead;            // the look-ahead's code
  int m_depth = 0;
  SyntaxNode* m_pending = nullptr;                 // a primary already read at a statement's start
  Utils::FrameMemory* m_pool = &m_ctx.stringPool;  // where nodes and texts go now
  char* m_low = nullptr;                           // free room of the current chunk: [m_low, m_high)
  char* m_high = nullptr;
  struct Chunk {
    char* low = nullptr;
    char* high = nullptr;
    const Utils::FrameMemory* pool = nullptr;
  };
  Chunk m_chunk;        // the chunk taken last
  Chunk m_memberChunk;  // the member pool's only chunk, which the next member reuses; or none
};

}  // namespace

namespace {
thread_local bool t_onParseStack = false;
}

void RunOnParseStack(void (*body)(void*), void* argument) {
  if (t_onParseStack) {
    body(argument);
    return;
  }
  // The recursion may reach the nesting limit on any thread: the parse runs
  // on a stack made for it (only what it uses is ever touched).
  struct Job {
    void (*body)(void*);
    void* argument;
  } job{body, argument};
  Kiv::RunWithStack(
      kParseStackBytes,
      [](void* raw) {
        const Job& j = *static_cast<Job*>(raw);
        t_onParseStack = true;
        j.body(j.argument);
        t_onParseStack = false;
      },
      &job);
}

int Parse(Scanner& scanner, ParseContext& context, ParseSink* sink) {
  struct Job {
    Parser parser;
    int result;
  } job{Parser(scanner, context, sink), 1};
  RunOnParseStack([](void* raw) { static_cast<Job*>(raw)->result = static_cast<Job*>(raw)->parser.Run(); },
                  &job);
  return job.result;
}

}  // namespace GSCompiler
