// The nodes of a compiled expression: their text forms and their evaluation,
// operators and the text comparison included.
#include "engine/base/tv6_Date.h"
#include "engine/expr/tv6_sql.h"
#include "platform/code_page.h"
#include "platform/format_settings.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <utility>

namespace tarnis {

namespace {

[[noreturn]] void RaiseInvalid(const char* What) {
    RaiseExpression(std::string("A ") + What + " value is required but invalid");
}

std::string TypeName(uint8_t Type) {
    switch (Type) {
    case rtText:
        return "Text";
    case rtNumber:
        return "Number";
    case rtDate:
        return "Date";
    case rtLogical:
        return "Boolean";
    default:
        return "Unknown Value";
    }
}

// Plain byte order: negative, 0 or positive.
int CompareBytes(std::string_view a, std::string_view b) {
    const size_t common = std::min(a.size(), b.size());
    const int c = common == 0 ? 0 : std::memcmp(a.data(), b.data(), common);
    if (c != 0) return c;
    return a.size() < b.size() ? -1 : a.size() > b.size() ? 1 : 0;
}

void TrimTrailingBlanks(std::string& text) {
    size_t end = text.size();
    while (end > 0 && text[end - 1] == ' ')
        --end;
    text.resize(end);
}

void CheckTextLength(size_t length) {
    if (length > MaxTextResult)
        RaiseExpression("Text result longer than " + std::to_string(MaxTextResult) + " characters");
}

} // namespace

// ---------------------------------------------------------------------------
// TtvExpBaseObject
// ---------------------------------------------------------------------------

std::string TtvExpBaseObject::NameText() const {
    return {};
}

int32_t TtvExpBaseObject::SourceId() const {
    return -1;
}

std::string TtvExpBaseObject::Text() const {
    std::string text = Left ? Left->Text() : std::string();
    text += NameText();
    if (Right) text += Right->Text();
    return text;
}

std::string TtvExpBaseObject::FieldList(int32_t Id) const {
    std::string list = Left ? Left->FieldList(Id) : std::string();
    if (Right) list += Right->FieldList(Id);
    return list;
}

bool TtvExpBaseObject::Evaluate(TtvExpBuffer& Buffer, uint8_t& Type) {
    Buffer.Clear();
    Type = rtAbsent;
    ResultType = Type;
    return false;
}

// ---------------------------------------------------------------------------
// TtvExpContainer
// ---------------------------------------------------------------------------

std::string TtvExpContainer::Text() const {
    // Built by appending: GCC 12 at -O3 warns falsely (-Wrestrict) on "(" + s + ")".
    std::string text = "(";
    if (Right) text += Right->Text();
    text += ')';
    return text;
}

bool TtvExpContainer::Evaluate(TtvExpBuffer& Buffer, uint8_t& Type) {
    if (!Right) return TtvExpBaseObject::Evaluate(Buffer, Type);
    const bool produced = Right->Evaluate(Buffer, Type);
    ResultType = Type;
    return produced;
}

// ---------------------------------------------------------------------------
// TtvExpFunction
// ---------------------------------------------------------------------------

TtvExpFunction::TtvExpFunction(TtvExpHandler* Owner, TtvUserDefFunction* Callee,
                               std::string CallName)
    : Handler(Owner), Function(Callee), Name(std::move(CallName)) {
    NodeKind = nkFunction;
}

TtvExpBuffer& TtvExpFunction::GetArgument(int32_t Index, TtvExpBuffer& Buffer, uint8_t Expected,
                                          uint8_t& Actual) {
    if (Index < 0 || Index >= ArgumentCount() || !Arguments[static_cast<size_t>(Index)]) {
        Buffer.Clear();
        Actual = rtAbsent;
    } else {
        Arguments[static_cast<size_t>(Index)]->Evaluate(Buffer, Actual);
    }
    if (Expected != rtAny && Expected != Actual && !IsNumericType(Expected) &&
        IsNumericType(Actual))
        RaiseExpression(TypeName(Expected) + " needed for Argument " + std::to_string(Index + 1) +
                        " of " + Name);
    return Buffer;
}

std::string TtvExpFunction::NameText() const {
    return Name;
}

std::string TtvExpFunction::Text() const {
    std::string text = Name + "(";
    for (size_t i = 0; i < Arguments.size(); ++i) {
        if (i > 0) text += ',';
        if (Arguments[i]) text += Arguments[i]->Text();
    }
    return text + ")";
}

std::string TtvExpFunction::FieldList(int32_t Id) const {
    std::string list;
    for (const auto& argument : Arguments)
        if (argument) list += argument->FieldList(Id);
    return list;
}

bool TtvExpFunction::Evaluate(TtvExpBuffer& Buffer, uint8_t& Type) {
    Buffer.Clear();
    Type = rtNone;
    const bool produced = Function->Execute(*this, Buffer, Type);
    ResultType = Type;
    return produced;
}

// ---------------------------------------------------------------------------
// TtvExpFieldvar
// ---------------------------------------------------------------------------

TtvExpFieldvar::TtvExpFieldvar(TtvExpHandler* Owner, TtvUserDefFieldVar* Variable)
    : Handler(Owner), FieldVar(Variable) {
    NodeKind = nkFieldVar;
    Length = Variable->FieldLength;
}

std::string TtvExpFieldvar::NameText() const {
    return FieldVar->FieldName();
}

int32_t TtvExpFieldvar::SourceId() const {
    return FieldVar->SourceId();
}

std::string TtvExpFieldvar::FieldList(int32_t Id) const {
    return SourceId() == Id ? NameText() + ";" : std::string();
}

bool TtvExpFieldvar::Evaluate(TtvExpBuffer& Buffer, uint8_t& Type) {
    Buffer.Clear();
    Type = rtNone;
    const bool produced = FieldVar->FetchValue(Buffer, Type);
    ResultType = Type;
    return produced;
}

// ---------------------------------------------------------------------------
// TtvExpOperator
// ---------------------------------------------------------------------------

uint8_t OperatorLevel(uint8_t OpCode) {
    switch (OpCode) {
    case opPower:
        return 2;
    case opMultiply:
    case opDivide:
        return 3;
    case opPlus:
    case opMinus:
        return 4;
    case opEqual:
    case opNotEqual:
    case opGreater:
    case opLess:
    case opGreaterEqual:
    case opLessEqual:
    case opInString:
    case opExactEqual:
        return 5;
    case opNot:
        return 6;
    case opAnd:
        return 7;
    case opOr:
        return 8;
    default:
        return 0;
    }
}

TtvExpOperator::TtvExpOperator(uint8_t Code, const TtvExpHandler& Owner)
    : OpCode(Code), Precedence(OperatorLevel(Code)), CaseInsensitive(Owner.CaseInsensitive),
      Wildcards(Owner.Wildcards), AnyChars(Owner.AnyChars), OneChar(Owner.OneChar) {
    NodeKind = nkOperatorUnattached;
}

std::string TtvExpOperator::NameText() const {
    switch (OpCode) {
    case opPower:
        return "^";
    case opMultiply:
        return "*";
    case opDivide:
        return "/";
    case opPlus:
        return "+";
    case opMinus:
        return "-";
    case opEqual:
        return "=";
    case opNotEqual:
        return "#";
    case opGreater:
        return ">";
    case opLess:
        return "<";
    case opGreaterEqual:
        return ">=";
    case opLessEqual:
        return "<=";
    case opExactEqual:
        return "exactly equal";
    case opInString:
        return "in string";
    case opNot:
        return ".NOT.";
    case opAnd:
        return ".AND.";
    case opOr:
        return ".OR.";
    default:
        return {};
    }
}

std::string TtvExpOperator::Text() const {
    std::string text = Left ? Left->Text() : std::string();
    text += OpCode == opExactEqual ? std::string("==") : NameText();
    if (Right) text += Right->Text();
    return text;
}

// The text comparison of "=", "#", "<", ">", "<=" and ">=": trailing blanks do
// not count, and a right side that begins or ends with AnyChars matches by
// containment, prefix or suffix. Works in the operand buffers.
int TtvExpOperator::CompareTexts() {
    std::string& left = LeftBuffer.TextBytes();
    std::string& right = RightBuffer.TextBytes();
    TrimTrailingBlanks(left);
    TrimTrailingBlanks(right);
    if (!Wildcards || right.empty() || (right.front() != AnyChars && right.back() != AnyChars))
        return CaseInsensitive ? AnsiCompareText(left, right) : CompareBytes(left, right);
    if (right.size() == 1) return 0; // AnyChars alone matches anything
    if (CaseInsensitive) {
        AnsiUpperBuff(left.data(), left.size());
        AnsiUpperBuff(right.data(), right.size());
    }
    const bool leading = right.front() == AnyChars;
    const bool trailing = right.back() == AnyChars;
    std::string_view pattern(right);
    if (leading) pattern.remove_prefix(1);
    if (trailing) pattern.remove_suffix(1);
    const int c = CompareBytes(left, pattern);
    if (c == 0) return 0;
    const std::string_view text(left);
    if (leading && trailing) return text.find(pattern) != std::string_view::npos ? 0 : c;
    if (trailing) return text.starts_with(pattern) ? 0 : c;
    return text.ends_with(pattern) ? 0 : c;
}

bool TtvExpOperator::Evaluate(TtvExpBuffer& Buffer, uint8_t& Type) {
    if (!Right || (!Left && OpCode != opNot))
        RaiseExpression("Target value missing for " + NameText() + " operation");
    uint8_t leftType = rtAbsent;
    uint8_t rightType = rtAbsent;
    if (Left)
        Left->Evaluate(LeftBuffer, leftType);
    else
        LeftBuffer.Clear();
    Right->Evaluate(RightBuffer, rightType);

    if (leftType != rightType && !(IsNumericType(leftType) && IsNumericType(rightType))) {
        if (OpCode != opNot) RaiseExpression("The two sides of an operation do not match");
        if (rightType != rtLogical) RaiseInvalid("boolean");
    }
    const bool logicalResult =
        (OpCode >= opEqual && OpCode <= opExactEqual) || (OpCode >= opAnd && OpCode <= opNot);
    const uint8_t resultType = logicalResult ? rtLogical : rightType;

    if (rightType == rtLogical) {
        const uint8_t l = LeftBuffer.FirstByte();
        const uint8_t r = RightBuffer.FirstByte();
        bool result = false;
        switch (OpCode) {
        case opEqual:
        case opExactEqual:
            result = l == r;
            break;
        case opNotEqual:
            result = l != r;
            break;
        case opAnd:
            result = l != 0 && r != 0;
            break;
        case opOr:
            result = l != 0 || r != 0;
            break;
        case opNot:
            result = r == 0;
            break;
        case opPlus:
        case opMinus:
        case opMultiply:
        case opDivide:
        case opPower:
            RaiseInvalid("number");
        default:
            RaiseInvalid("assigned");
        }
        Buffer.SetLogical(result);
    } else if (IsNumericType(rightType)) {
        const double l = LeftBuffer.AsNumber();
        const double r = RightBuffer.AsNumber();
        switch (OpCode) {
        case opEqual:
        case opExactEqual:
            Buffer.SetLogical(l == r);
            break;
        case opNotEqual:
            Buffer.SetLogical(l != r);
            break;
        case opGreater:
            Buffer.SetLogical(l > r);
            break;
        case opLess:
            Buffer.SetLogical(l < r);
            break;
        case opGreaterEqual:
            Buffer.SetLogical(l >= r);
            break;
        case opLessEqual:
            Buffer.SetLogical(l <= r);
            break;
        case opPlus:
            Buffer.SetNumber(l + r);
            break;
        case opMinus:
            Buffer.SetNumber(l - r);
            break;
        case opMultiply:
            Buffer.SetNumber(l * r);
            break;
        case opDivide:
            Buffer.SetNumber(l / r);
            break;
        case opPower:
            Buffer.SetNumber(std::pow(l, r));
            break;
        default:
            RaiseInvalid("assigned");
        }
    } else if (rightType == rtText) {
        switch (OpCode) {
        case opEqual:
            Buffer.SetLogical(CompareTexts() == 0);
            break;
        case opNotEqual:
            Buffer.SetLogical(CompareTexts() != 0);
            break;
        case opGreater:
            Buffer.SetLogical(CompareTexts() > 0);
            break;
        case opLess:
            Buffer.SetLogical(CompareTexts() < 0);
            break;
        case opGreaterEqual:
            Buffer.SetLogical(CompareTexts() >= 0);
            break;
        case opLessEqual:
            Buffer.SetLogical(CompareTexts() <= 0);
            break;
        case opExactEqual:
            Buffer.SetLogical(LeftBuffer.AsText() == RightBuffer.AsText());
            break;
        case opPlus:
        case opMinus: {
            const std::string_view left = LeftBuffer.AsText();
            const std::string_view right = RightBuffer.AsText();
            CheckTextLength(left.size() + right.size());
            // "-" moves the left text's trailing blanks behind the result; its first
            // character stays in front.
            size_t keep = left.size();
            if (OpCode == opMinus) {
                while (keep > 1 && left[keep - 1] == ' ')
                    --keep;
            }
            Buffer.Clear();
            std::string& out = Buffer.TextBytes();
            out.append(left.substr(0, keep));
            out.append(right);
            out.append(left.substr(keep));
            break;
        }
        default:
            RaiseInvalid("assigned");
        }
    } else {
        RaiseInvalid("assigned");
    }
    Type = resultType;
    ResultType = resultType;
    return true;
}

// ---------------------------------------------------------------------------
// Literals
// ---------------------------------------------------------------------------

TtvExpTextLit::TtvExpTextLit(std::string Characters) : Value(std::move(Characters)) {
    NodeKind = nkTextLit;
    ResultType = rtText;
    Length = static_cast<int32_t>(Value.size());
}

std::string TtvExpTextLit::NameText() const {
    char open = '"';
    char close = '"';
    if (Value.find('"') != std::string::npos) {
        if (Value.find('\'') == std::string::npos) {
            open = close = '\'';
        } else {
            open = '[';
            close = ']';
        }
    }
    return open + Value + close;
}

bool TtvExpTextLit::Evaluate(TtvExpBuffer& Buffer, uint8_t& Type) {
    Buffer.SetText(Value);
    Type = rtText;
    return true;
}

TtvExpNumLit::TtvExpNumLit(std::string Token) : Value(0), Source(std::move(Token)) {
    NodeKind = nkNumberLit;
    ResultType = rtNumber;
    Length = static_cast<int32_t>(Source.size());
    if (!TryParseDecimal(Source, Value)) Value = 0;
    const size_t point = Source.find('.');
    Decimals = point == std::string::npos ? 0 : static_cast<int32_t>(Source.size() - point - 1);
}

std::string TtvExpNumLit::NameText() const {
    if (!std::isfinite(Value)) return Source;
    std::string text = FormatFixed(Value, Decimals);
    const size_t first = text.find_first_not_of(' ');
    return first == std::string::npos ? text : text.substr(first);
}

bool TtvExpNumLit::Evaluate(TtvExpBuffer& Buffer, uint8_t& Type) {
    Buffer.SetNumber(Value);
    Type = rtNumber;
    return true;
}

TtvExpDateLit::TtvExpDateLit(double Jdn) : Value(Jdn) {
    NodeKind = nkDateLit;
    ResultType = rtDate;
}

std::string TtvExpDateLit::NameText() const {
    std::string text = "{";
    text += EngineDates.FormatDisplay(static_cast<int32_t>(Value));
    text += '}';
    return text;
}

bool TtvExpDateLit::Evaluate(TtvExpBuffer& Buffer, uint8_t& Type) {
    Buffer.SetDate(Value);
    Type = rtDate;
    return true;
}

TtvExpBlnLit::TtvExpBlnLit(bool True) : Value(True ? 1 : 0) {
    NodeKind = nkLogicalLit;
    ResultType = rtLogical;
}

std::string TtvExpBlnLit::NameText() const {
    return Value != 0 ? ".T." : ".F.";
}

bool TtvExpBlnLit::Evaluate(TtvExpBuffer& Buffer, uint8_t& Type) {
    Buffer.SetLogical(Value != 0);
    Type = rtLogical;
    return true;
}

} // namespace tarnis
