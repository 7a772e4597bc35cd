// The handler, its compiler, the registries and the base link. The node classes are
// in TtvExpBaseObject.cpp, the built-in functions in TtvUDF.cpp.
//
// Compiling runs in three steps over the text:
//   1. the character pass cuts the text into lexemes: blanks, runs of ordinary
//      characters (tokens), operators with their codes, brackets, commas and
//      literals;
//   2. the token pass turns the lexemes of one piece of text into a flat list of
//      nodes; a group or a function argument is a piece of its own, compiled by
//      the same pass one level deeper;
//   3. joining takes the operators level by level, leftmost first, and attaches
//      their neighbours as operands until one tree is left.
#include "engine/expr/tv6_sql.h"

#include "engine/base/tv6_Date.h"
#include "platform/code_page.h"
#include "platform/format_settings.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <new>
#include <utility>

namespace tarnis {

void RaiseExpression(const std::string& Message) {
    throw ETarnisExpression(Message);
}

// ---------------------------------------------------------------------------
// TtvExpBuffer
// ---------------------------------------------------------------------------

void TtvExpBuffer::SetNumber(double Value) {
    Bytes.assign(reinterpret_cast<const char*>(&Value), 8);
}

void TtvExpBuffer::SetNumber(double Value, int32_t Width) {
    SetNumber(Value);
    Bytes.append(reinterpret_cast<const char*>(&Width), 4);
}

void TtvExpBuffer::SetBytes(const void* Source, size_t Count) {
    Bytes.assign(static_cast<const char*>(Source), Count);
}

std::string_view TtvExpBuffer::AsText() const {
    const void* zero = std::memchr(Bytes.data(), 0, Bytes.size());
    const size_t length = zero == nullptr
                              ? Bytes.size()
                              : static_cast<size_t>(static_cast<const char*>(zero) - Bytes.data());
    return {Bytes.data(), length};
}

double TtvExpBuffer::AsNumber() const {
    unsigned char raw[8] = {};
    std::memcpy(raw, Bytes.data(), std::min<size_t>(Bytes.size(), 8));
    double value = 0;
    std::memcpy(&value, raw, 8);
    return value;
}

int32_t TtvExpBuffer::NumberWidth() const {
    if (Bytes.size() < 12) return 0;
    int32_t width = 0;
    std::memcpy(&width, Bytes.data() + 8, 4);
    return width;
}

std::string& TtvExpBuffer::TextBytes() {
    Bytes.resize(AsText().size());
    return Bytes;
}

void TtvExpBuffer::ReplaceNumber(double Value) {
    if (Bytes.size() < 8) Bytes.resize(8, '\0');
    std::memcpy(Bytes.data(), &Value, 8);
}

// ---------------------------------------------------------------------------
// Functions, field variables and their registries
// ---------------------------------------------------------------------------

std::string TtvUserDefFunction::FunctionName() const {
    return {};
}

bool TtvUserDefFunction::Execute(TtvExpFunction& /*Node*/, TtvExpBuffer& /*Buffer*/,
                                 uint8_t& /*Type*/) {
    return false;
}

TtvUserDefFieldVar::TtvUserDefFieldVar(std::string_view Name) : FFieldName(AnsiUpperCase(Name)) {
}

std::string TtvUserDefFieldVar::FieldName() const {
    return FFieldName;
}

int32_t TtvUserDefFieldVar::SourceId() const {
    return 16;
}

bool TtvUserDefFieldVar::FetchValue(TtvExpBuffer& /*Buffer*/, uint8_t& /*Type*/) {
    return false;
}

namespace {

template <typename T>
bool AddOwned(std::vector<std::unique_ptr<T>>& List, std::unique_ptr<T> Item) {
    if (!Item) return false;
    try {
        List.push_back(std::move(Item));
    } catch (const std::bad_alloc&) {
        return false;
    }
    return true;
}

template <typename T> T* ItemAt(const std::vector<std::unique_ptr<T>>& List, int32_t Index) {
    if (Index < 0 || static_cast<size_t>(Index) >= List.size()) return nullptr;
    return List[static_cast<size_t>(Index)].get();
}

} // namespace

bool TtvFunctionReg::Add(std::unique_ptr<TtvUserDefFunction> Item) {
    return AddOwned(List, std::move(Item));
}

TtvUserDefFunction* TtvFunctionReg::Items(int32_t Index) const {
    return ItemAt(List, Index);
}

std::string TtvFunctionReg::FunctionName(int32_t Index) const {
    const TtvUserDefFunction* item = Items(Index);
    return item == nullptr ? std::string() : item->FunctionName();
}

TtvUserDefFunction* TtvFunctionReg::Find(std::string_view Name) const {
    for (const auto& item : List)
        if (item->FunctionName() == Name) return item.get();
    return nullptr;
}

bool TtvFieldVarReg::Add(std::unique_ptr<TtvUserDefFieldVar> Item) {
    return AddOwned(List, std::move(Item));
}

TtvUserDefFieldVar* TtvFieldVarReg::Items(int32_t Index) const {
    return ItemAt(List, Index);
}

std::string TtvFieldVarReg::FieldName(int32_t Index) const {
    const TtvUserDefFieldVar* item = Items(Index);
    return item == nullptr ? std::string() : item->FieldName();
}

TtvUserDefFieldVar* TtvFieldVarReg::Find(std::string_view Name) const {
    for (const auto& item : List)
        if (item->FieldName() == Name) return item.get();
    return nullptr;
}

// ---------------------------------------------------------------------------
// TtvExpUserLink
// ---------------------------------------------------------------------------

TtvUserDefFunction* TtvExpUserLink::FindFunction(std::string_view Name) {
    return Functions.Find(Name);
}

TtvUserDefFieldVar* TtvExpUserLink::FindFieldVar(std::string_view Name) {
    return FieldVars.Find(Name);
}

TtvUserDefFunction* TtvExpUserLink::NoFunction(std::string_view Name) {
    RaiseExpression("There is no function for " + std::string(Name));
}

bool TtvExpUserLink::AddFunction(std::unique_ptr<TtvUserDefFunction> Function) {
    return Functions.Add(std::move(Function));
}

bool TtvExpUserLink::AddFieldVar(std::unique_ptr<TtvUserDefFieldVar> FieldVar) {
    return FieldVars.Add(std::move(FieldVar));
}

// ---------------------------------------------------------------------------
// The compiler
// ---------------------------------------------------------------------------

namespace {

enum class TLexKind : uint8_t {
    Blank,
    Token,
    Operator,
    Open,
    Close,
    Comma,
    TextLiteral,
    DateLiteral
};

struct TLexeme {
    TLexKind Kind;
    uint8_t OpCode = 0;
    std::string Text; // the characters of a token or a literal
};

uint8_t SingleOperatorCode(char c) {
    switch (c) {
    case '+':
        return opPlus;
    case '-':
        return opMinus;
    case '*':
        return opMultiply;
    case '/':
        return opDivide;
    case '^':
        return opPower;
    case '#':
        return opNotEqual;
    case '!':
        return opNot;
    case '<':
        return opLess;
    case '>':
        return opGreater;
    case '=':
        return opEqual;
    default:
        return 0;
    }
}

// The code of the two-character operator that `previous` and `c` form, 0 for none.
uint8_t PairOperatorCode(char previous, char c) {
    switch (previous) {
    case '*':
        return c == '*' ? opPower : 0;
    case '<':
        return c == '=' ? opLessEqual : c == '>' ? opNotEqual : 0;
    case '>':
        return c == '=' ? opGreaterEqual : 0;
    case '=':
        return c == '<' ? opLessEqual : c == '>' ? opGreaterEqual : c == '=' ? opExactEqual : 0;
    case '!':
        return c == '=' ? opNotEqual : 0;
    default:
        return 0;
    }
}

// The character pass.
std::vector<TLexeme> CharacterPass(std::string_view s) {
    std::vector<TLexeme> out;
    // The last lexeme is a token that the next ordinary character extends.
    bool tokenOpen = false;
    // The last lexeme is an operator of one character, written just before; the
    // character before it, when it was a token character, and whether it was.
    char pendingOperator = 0;
    bool tokenOpenBeforeOperator = false;

    const auto addTokenChar = [&](char c) {
        if (tokenOpen) {
            std::string& token = out.back().Text;
            // A token that begins with "." ends at its next "."; that "." separates.
            if (c == '.' && token.front() == '.') {
                out.push_back({TLexKind::Blank, 0, {}});
                tokenOpen = false;
                return;
            }
            token.push_back(c);
        } else {
            out.push_back({TLexKind::Token, 0, std::string(1, c)});
            tokenOpen = true;
        }
    };

    size_t i = 0;
    while (i < s.size()) {
        const char c = s[i];
        const char previousOperator = pendingOperator;
        const bool tokenWasOpen = tokenOpenBeforeOperator;
        pendingOperator = 0;
        tokenOpenBeforeOperator = false;

        if (c == '"' || c == '\'' || c == '[' || c == '{') {
            const char close = c == '[' ? ']' : c == '{' ? '}' : c;
            const size_t end = s.find(close, i + 1);
            const size_t stop = end == std::string_view::npos ? s.size() : end;
            out.push_back({c == '{' ? TLexKind::DateLiteral : TLexKind::TextLiteral, 0,
                           std::string(s.substr(i + 1, stop - i - 1))});
            tokenOpen = false;
            i = end == std::string_view::npos ? s.size() : end + 1;
            continue;
        }
        ++i;
        if (c == ' ' || c == ',' || c == '(' || c == ')') {
            out.push_back({c == ' '   ? TLexKind::Blank
                           : c == ',' ? TLexKind::Comma
                           : c == '(' ? TLexKind::Open
                                      : TLexKind::Close,
                           0,
                           {}});
            tokenOpen = false;
            continue;
        }
        if (previousOperator == '-' && c == '>') {
            // "->" between a table name and a field name reads as ".".
            out.pop_back();
            tokenOpen = tokenWasOpen;
            addTokenChar('.');
            continue;
        }
        if (const uint8_t pair = PairOperatorCode(previousOperator, c); pair != 0) {
            out.back().OpCode = pair;
            continue;
        }
        if (const uint8_t code = SingleOperatorCode(c); code != 0) {
            out.push_back({TLexKind::Operator, code, {}});
            tokenOpenBeforeOperator = tokenOpen;
            tokenOpen = false;
            pendingOperator = c;
            continue;
        }
        addTokenChar(c);
    }
    return out;
}

// Keywords: the name upper-cased, one leading and one trailing "." removed, when it
// has at least two characters.
enum class TKeyword { None, True, False, Operator, Reserved };

TKeyword FindKeyword(std::string_view name, uint8_t& opCode) {
    if (name.size() < 2) return TKeyword::None;
    if (name.front() == '.') name.remove_prefix(1);
    if (!name.empty() && name.back() == '.') name.remove_suffix(1);
    if (name == "T" || name == "TRUE") return TKeyword::True;
    if (name == "F" || name == "FALSE") return TKeyword::False;
    static constexpr std::pair<std::string_view, uint8_t> operators[] = {
        {"EQ", opEqual},   {"LE", opLessEqual}, {"LT", opLess}, {"GE", opGreaterEqual},
        {"GT", opGreater}, {"AND", opAnd},      {"OR", opOr},   {"NOT", opNot},
    };
    for (const auto& [word, code] : operators) {
        if (name == word) {
            opCode = code;
            return TKeyword::Operator;
        }
    }
    if (name == "LIKE" || name == "POS") return TKeyword::Reserved;
    return TKeyword::None;
}

class TtvExpCompiler {
public:
    TtvExpCompiler(TtvExpHandler& handler, std::vector<TLexeme> lexemes)
        : Handler(handler), Lexemes(std::move(lexemes)) {}

    std::unique_ptr<TtvExpBaseObject> Compile() { return CompilePiece(0, Lexemes.size(), 0); }

private:
    using TNode = std::unique_ptr<TtvExpBaseObject>;

    TtvExpHandler& Handler;
    std::vector<TLexeme> Lexemes;

    // The index of the ")" that closes the "(" at `open`, before `end`; `end` when
    // there is none.
    size_t MatchingClose(size_t open, size_t end) const {
        int depth = 0;
        for (size_t i = open; i < end; ++i) {
            if (Lexemes[i].Kind == TLexKind::Open) ++depth;
            if (Lexemes[i].Kind == TLexKind::Close && --depth == 0) return i;
        }
        return end;
    }

    void CountOperand(const TtvExpBaseObject& node) {
        ++Handler.OperandCount;
        if (node.NodeKind == nkFieldVar || node.NodeKind == nkNumberLit) {
            Handler.MaxLength = std::max(Handler.MaxLength, node.Length);
            Handler.MaxDecimals = std::max(Handler.MaxDecimals, node.Decimals);
        }
    }

    TNode Operand(TNode node) {
        CountOperand(*node);
        return node;
    }

    TtvUserDefFunction* FindFunction(const std::string& name) {
        if (TtvUserDefFunction* builtin = BuiltinFunctions.Find(name)) return builtin;
        if (Handler.Link == nullptr) RaiseExpression("There is no function for " + name);
        if (TtvUserDefFunction* own = Handler.Link->FindFunction(name)) return own;
        TtvUserDefFunction* claimed = Handler.Link->NoFunction(name);
        if (claimed == nullptr) RaiseExpression("There is no function for " + name);
        return claimed;
    }

    TNode FunctionCall(const std::string& name, size_t open, size_t close, int depth) {
        TtvUserDefFunction* function = FindFunction(name);
        auto call = std::make_unique<TtvExpFunction>(&Handler, function, name);
        // Empty brackets (blanks only) hold no argument; otherwise every piece between
        // commas outside inner brackets is one, even an empty one.
        bool empty = true;
        for (size_t i = open + 1; i < close; ++i)
            empty = empty && Lexemes[i].Kind == TLexKind::Blank;
        if (!empty) {
            size_t start = open + 1;
            int inner = 0;
            for (size_t i = open + 1; i <= close; ++i) {
                const TLexKind kind = i < close ? Lexemes[i].Kind : TLexKind::Comma;
                if (kind == TLexKind::Open) ++inner;
                if (kind == TLexKind::Close) --inner;
                if (kind == TLexKind::Comma && inner <= 0) {
                    call->Arguments.push_back(CompilePiece(start, i, depth + 1));
                    start = i + 1;
                }
            }
        }
        CountOperand(*call);
        return call;
    }

    TNode NameOperand(const std::string& name) {
        uint8_t code = 0;
        switch (FindKeyword(name, code)) {
        case TKeyword::True:
            return Operand(std::make_unique<TtvExpBlnLit>(true));
        case TKeyword::False:
            return Operand(std::make_unique<TtvExpBlnLit>(false));
        case TKeyword::Operator:
            return std::make_unique<TtvExpOperator>(code, Handler);
        case TKeyword::Reserved: {
            std::string word = name;
            if (word.front() == '.') word.erase(0, 1);
            if (!word.empty() && word.back() == '.') word.pop_back();
            RaiseExpression("Operator " + word + " is not supported");
        }
        case TKeyword::None:
            break;
        }
        if (Handler.Link == nullptr) RaiseExpression("Field/variable " + name + " is unknown");
        TtvUserDefFieldVar* variable = Handler.Link->FindFieldVar(name);
        if (variable == nullptr) RaiseExpression("There is no function for " + name);
        return Operand(std::make_unique<TtvExpFieldvar>(&Handler, variable));
    }

    static bool IsUnattachedOperator(const std::vector<TNode>& list) {
        return !list.empty() && list.back()->NodeKind == nkOperatorUnattached;
    }

    // The token pass and the joining over the lexemes [begin, end).
    TNode CompilePiece(size_t begin, size_t end, int depth) {
        if (depth > MaxNestingDepth) RaiseExpression("Expression is nested too deeply");
        std::vector<TNode> list;
        // Signs that stand first or after an operator; they become the first
        // characters of the next token.
        std::string sign;
        const auto flushSign = [&] {
            if (sign.empty()) return;
            list.push_back(Operand(std::make_unique<TtvExpNumLit>(sign)));
            sign.clear();
        };

        size_t i = begin;
        while (i < end) {
            const TLexeme& lexeme = Lexemes[i];
            switch (lexeme.Kind) {
            case TLexKind::Blank:
            case TLexKind::Close: // a ")" without its group
            case TLexKind::Comma: // a "," outside a call
                ++i;
                break;
            case TLexKind::Operator:
                if ((lexeme.OpCode == opPlus || lexeme.OpCode == opMinus) &&
                    (list.empty() || IsUnattachedOperator(list))) {
                    sign.push_back(lexeme.OpCode == opPlus ? '+' : '-');
                } else {
                    flushSign();
                    list.push_back(std::make_unique<TtvExpOperator>(lexeme.OpCode, Handler));
                }
                ++i;
                break;
            case TLexKind::Open: {
                flushSign();
                const size_t close = MatchingClose(i, end);
                if (close == end) RaiseExpression("Missing closing parentheses");
                auto group = std::make_unique<TtvExpContainer>();
                group->Right = CompilePiece(i + 1, close, depth + 1);
                list.push_back(std::move(group));
                i = close + 1;
                break;
            }
            case TLexKind::TextLiteral:
                flushSign();
                list.push_back(Operand(std::make_unique<TtvExpTextLit>(lexeme.Text)));
                ++i;
                break;
            case TLexKind::DateLiteral: {
                flushSign();
                double jdn = 0;
                try {
                    jdn = EngineDates.ParseDate(lexeme.Text);
                } catch (const EConvertError& error) {
                    RaiseExpression(error.what());
                }
                list.push_back(Operand(std::make_unique<TtvExpDateLit>(jdn)));
                ++i;
                break;
            }
            case TLexKind::Token: {
                std::string name = lexeme.Text;
                AnsiUpperBuff(name.data(), name.size());
                if (!sign.empty()) {
                    // A signed token is a number literal, worth 0 when it is not a number.
                    list.push_back(Operand(std::make_unique<TtvExpNumLit>(sign + name)));
                    sign.clear();
                    ++i;
                    break;
                }
                if (i + 1 < end && Lexemes[i + 1].Kind == TLexKind::Open) {
                    const size_t close = MatchingClose(i + 1, end);
                    if (close == end) RaiseExpression("Missing closing parentheses");
                    list.push_back(FunctionCall(name, i + 1, close, depth));
                    i = close + 1;
                    break;
                }
                const unsigned char first = static_cast<unsigned char>(name.front());
                if (first == '.' || first == '_' || (first >= 'A' && first <= 'Z')) {
                    list.push_back(NameOperand(name));
                } else if (first == '+' || first == '-' || (first >= '0' && first <= '9')) {
                    list.push_back(Operand(std::make_unique<TtvExpNumLit>(name)));
                }
                // Any other token ("$", a name beginning with another character) is
                // skipped.
                ++i;
                break;
            }
            }
        }
        flushSign();
        return Join(list);
    }

    static TNode Join(std::vector<TNode>& list) {
        for (uint8_t level = 2; level <= 8 && list.size() > 1; ++level) {
            while (list.size() > 1) {
                size_t at = 0;
                while (at < list.size() &&
                       !(list[at]->NodeKind == nkOperatorUnattached &&
                         static_cast<TtvExpOperator&>(*list[at]).Precedence == level))
                    ++at;
                if (at == list.size()) break;
                TtvExpBaseObject& op = *list[at];
                if (at + 1 < list.size()) {
                    op.Right = std::move(list[at + 1]);
                    list.erase(list.begin() + static_cast<std::ptrdiff_t>(at + 1));
                }
                if (level != 6 && at > 0) {
                    op.Left = std::move(list[at - 1]);
                    list.erase(list.begin() + static_cast<std::ptrdiff_t>(at - 1));
                }
                op.NodeKind = nkOperator;
            }
        }
        if (list.empty()) return nullptr;
        if (list.size() != 1) RaiseExpression("Expression cannot be evaluated");
        return std::move(list.front());
    }
};

} // namespace

// ---------------------------------------------------------------------------
// TtvExpHandler
// ---------------------------------------------------------------------------

TtvExpHandler::TtvExpHandler(TtvExpUserLink* UserLink, bool SqlWildcards, std::string_view Text)
    : Link(UserLink), AnyChars(SqlWildcards ? '%' : '*'), OneChar(SqlWildcards ? '_' : '?') {
    if (!Text.empty()) SetExpression(Text);
}

void TtvExpHandler::SetExpression(std::string_view Text) {
    Root.reset();
    OperandCount = 0;
    MaxLength = 0;
    MaxDecimals = 0;
    ResultType = rtNone;
    if (Text.size() > MaxExpressionLength)
        RaiseExpression("Expression is longer than " + std::to_string(MaxExpressionLength) +
                        " characters");
    if (Text.find('\0') != std::string_view::npos)
        RaiseExpression("Expression contains a zero byte");
    TtvExpCompiler compiler(*this, CharacterPass(Text));
    try {
        Root = compiler.Compile();
    } catch (...) {
        // A handler without a tree has no operands.
        OperandCount = 0;
        MaxLength = 0;
        MaxDecimals = 0;
        throw;
    }
}

TtvExpBuffer* TtvExpHandler::Evaluate(TtvExpBuffer& Buffer) {
    if (!Root) {
        ResultType = rtNone;
        return nullptr;
    }
    Root->Evaluate(Buffer, ResultType);
    return &Buffer;
}

TtvVariant* TtvExpHandler::EvaluateVariant(TtvVariant& Variant) {
    if (!Root) {
        ResultType = rtNone;
        return nullptr;
    }
    Root->Evaluate(VariantBuffer, ResultType);
    switch (ResultType) {
    case rtText: {
        const std::string_view text = VariantBuffer.AsText();
        Variant.SetString(text.substr(0, MaxVariantText));
        break;
    }
    case rtNumber:
    case 7:
        Variant.SetNumber(VariantBuffer.AsNumber());
        break;
    case rtDate: {
        const double day = std::trunc(VariantBuffer.AsNumber());
        const bool fits = day >= std::numeric_limits<int32_t>::min() &&
                          day <= std::numeric_limits<int32_t>::max();
        Variant.SetDate(fits ? static_cast<int32_t>(day) : 0);
        break;
    }
    case rtLogical:
        Variant.SetBoolean(VariantBuffer.FirstByte());
        break;
    default:
        ResultType = rtNone;
        return nullptr;
    }
    return &Variant;
}

std::string TtvExpHandler::ExpressionText() const {
    return Root ? Root->Text() : std::string();
}

} // namespace tarnis
