// The expression engine: xBase expressions such as UPPER(NAME)+DTOS(BORN) or
// PRICE > 100 .AND. .NOT. DELETED() for index keys, FOR conditions and filters.
//
// TtvExpHandler compiles a text once into a tree of nodes and evaluates the tree as
// often as needed, typically once per record. Names resolve through a link
// (TtvExpUserLink) that knows the fields of a table (field variables) and its table
// functions; the built-in functions (TtvUDF.h) are found before the link is asked.
// Every error of the engine is an ETarnisExpression carrying only its message.
//
// ---------------------------------------------------------------------------
// Values
// ---------------------------------------------------------------------------
// An evaluation leaves a value in a TtvExpBuffer and its type code beside it:
//
//   code  name        bytes in the buffer
//   0     rtNone      no result (no expression, or a value that cannot be converted)
//   1     rtAbsent    nothing: a missing argument, or a node that produced nothing
//   2     rtAny       only as the expected type of an argument
//   3     rtText      the characters; a reader stops at the first zero byte
//   4     rtNumber    IEEE 754 double (8 bytes), optionally followed by a 32-bit
//                     width when the number comes from a numeric field
//   6     rtDate      Julian day number as a double (8 bytes); CTOD('') gives
//                     BlankDateValue (1e100), a blank date field gives 0
//   8     rtLogical   one byte, 1 true, 0 false
//   9     rtOther     a field the link cannot express as one of the above
//
// Codes 4 to 7 form the numeric family: operators take any two of them as
// compatible. The engine itself produces 4 and 6.
//
// The buffer is read by byte layout whatever the type code says, exactly as the
// language treats a value handed to a function that expected another type: text
// is the bytes up to the first zero byte (or all of them), a number is the first
// 8 bytes (missing bytes read as zero), a logical is the first byte (0 when the
// buffer is empty). So every read is defined; a mismatched argument just reads
// what the bytes say.
//
// Buffers are reused: a node keeps its own buffers and a buffer keeps its
// capacity, so once the longest value has been seen an evaluation allocates
// nothing.
//
// ---------------------------------------------------------------------------
// The language
// ---------------------------------------------------------------------------
// Literals: 'text', "text", [text] (another quote character inside is an ordinary
// character; an unclosed literal runs to the end of the text); {date} read with
// TtvDBFDate::ParseDate (a text that is no date fails to compile with "'<text>' is
// not a valid date"); numbers such as 12, 3.25, 1E5; .T. .F. TRUE FALSE (and T. /
// F.). A single letter T or F without dots is a field name. A blank is the only
// separator.
//
// A "+" or "-" that stands first or right after another operator is a sign: it
// becomes the first character of the next token, so -5 and 3 - -2 are numbers. A
// signed token is always a number literal, worth 0 when it is not a number: -X for
// a field X is 0, and a sign before a group or a literal is a 0 of its own.
//
// A name is a run of characters up to a blank, an operator, a bracket, a quote or
// a comma; a name that begins with "." ends at its next "." (.AND. is the word
// AND). So A.AND.B is the one name A.AND.B, and NOT(X) calls a function NOT: write
// A .AND. B and .NOT.(X) or !X. Operators take the neighbour on their left and
// right in the flat list, leftmost first, so a second .NOT. directly after a first
// one leaves the expression without a tree ("Expression cannot be evaluated").
// A ")" without its group and a "," outside a call are ignored.
//
// Operators, tighter levels first; one level groups from left to right:
//
//   level 2  ^ **                       numbers -> number (the real power)
//   level 3  * /                        numbers -> number
//   level 4  + -                        numbers -> number; texts -> text
//   level 5  = EQ, # <> !=, > GT, < LT,
//            >= => GE, <= =< LE, ==     -> logical
//   level 6  ! .NOT.                    logical (right operand only) -> logical
//   level 7  .AND.                      logicals -> logical
//   level 8  .OR.                       logicals -> logical
//
// The result of an arithmetic operator has the type of its right operand, so a
// date plus a number is a number and a number plus a date is a date.
//
// Text "=" and the other ordering comparisons ignore trailing blanks of both
// sides; with Wildcards a right side that begins and/or ends with AnyChars ("*")
// matches by containment, prefix or suffix, and AnyChars alone matches anything;
// with CaseInsensitive the comparison ignores the ANSI letter case. Text "-" joins
// the texts after moving the left text's trailing blanks behind the result.
//
// "==" is the exact comparison: the two values are identical. Texts are equal only
// when every character is, trailing blanks and letter case included; no wildcard
// applies. Numbers and dates compare by value, logicals by their bytes.
//
// "$" is not an operator of this language: it is skipped like any other character
// that cannot start a name or a number, so 'A' $ NAME leaves two operands side by
// side and fails with "Expression cannot be evaluated". The keywords LIKE and POS
// are reserved: an expression that uses them fails to compile with
// "Operator LIKE is not supported" (or POS).
//
// ALIAS->FIELD names the field variable ALIAS.FIELD. A name directly followed by
// "(" is a function call; "(" after anything else opens a group.
//
// Division follows IEEE arithmetic: x / 0 is an infinity and 0 / 0 is not a
// number; STR of such a value is a row of asterisks.
//
// Text forms (ExpressionText) are for display: names upper-cased, operators
// without blanks around them, number literals in fixed notation with their
// decimals, dates in the display form. Text literals keep their characters
// between double quotes, or apostrophes or brackets when they hold a double quote.
// A form like A.AND.B does not read back as the same expression.
//
// ---------------------------------------------------------------------------
// Limits
// ---------------------------------------------------------------------------
// - An expression text has at most 511 characters and holds no zero byte; a longer
//   text fails to compile with "Expression is longer than 511 characters", a zero
//   byte with "Expression contains a zero byte".
// - Groups and function calls nest at most 64 deep ("Expression is nested too
//   deeply").
// - A text result is at most 65535 characters (the widest character field a table
//   can hold); a join, SPACE, a pad function or STR that would build a longer text
//   fails with "Text result longer than 65535 characters".
// - EvaluateVariant delivers at most the first 255 characters of a text result.
// - EvaluateVariant of a date outside the 32-bit day numbers, BlankDateValue
//   included, gives the blank date (day number 0).
#pragma once

#include "engine/base/tv6_tool.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace tarnis {

// ---- result type codes ----
constexpr uint8_t rtNone = 0;
constexpr uint8_t rtAbsent = 1;
constexpr uint8_t rtAny = 2;
constexpr uint8_t rtText = 3;
constexpr uint8_t rtNumber = 4;
constexpr uint8_t rtDate = 6;
constexpr uint8_t rtLogical = 8;
constexpr uint8_t rtOther = 9;

inline constexpr bool IsNumericType(uint8_t Type) {
    return Type >= 4 && Type <= 7;
}

// The blank date that CTOD of an empty text gives.
constexpr double BlankDateValue = 1e100;

// The limits above.
constexpr size_t MaxExpressionLength = 511;
constexpr int32_t MaxNestingDepth = 64;
constexpr size_t MaxTextResult = 65535;
constexpr size_t MaxVariantText = 255;

// Every error of the expression engine; the message is all it carries.
class ETarnisExpression : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

[[noreturn]] void RaiseExpression(const std::string& Message);

// ---------------------------------------------------------------------------
// TtvExpBuffer: the bytes of one value (layouts above), in a growable buffer that
// keeps its capacity between evaluations.
// ---------------------------------------------------------------------------
class TtvExpBuffer {
public:
    void Clear() { Bytes.clear(); }
    size_t Size() const { return Bytes.size(); }
    const char* Data() const { return Bytes.data(); }

    // The characters as given; readers stop at the first zero byte.
    void SetText(std::string_view Text) { Bytes.assign(Text.data(), Text.size()); }
    void SetNumber(double Value);
    // A number with the width of the numeric field it comes from.
    void SetNumber(double Value, int32_t Width);
    void SetDate(double Jdn) { SetNumber(Jdn); }
    void SetLogical(bool Value) { Bytes.assign(1, Value ? '\1' : '\0'); }
    void SetBytes(const void* Source, size_t Count);

    // The bytes up to the first zero byte.
    std::string_view AsText() const;
    // The first 8 bytes as a double; missing bytes read as zero.
    double AsNumber() const;
    // The 32-bit width behind a number from a field; 0 when there is none.
    int32_t NumberWidth() const;
    uint8_t FirstByte() const { return Bytes.empty() ? 0 : static_cast<uint8_t>(Bytes[0]); }
    // The bytes for in-place work on a value of any type.
    char* MutableData() { return Bytes.data(); }
    bool AsLogical() const { return FirstByte() != 0; }

    // The text for in-place work: the bytes are first cut at the first zero byte.
    std::string& TextBytes();
    // Replaces the first 8 bytes with Value and keeps any bytes behind them (the
    // width of a number from a field).
    void ReplaceNumber(double Value);

private:
    std::string Bytes;
};

class TtvExpFunction;
class TtvExpHandler;

// ---------------------------------------------------------------------------
// Functions and field variables that an expression can name.
// ---------------------------------------------------------------------------

// One function of the language: a built-in (TtvUDF.h) or a table function of a
// link. Execute reads its arguments through Node.GetArgument, computes, and leaves
// its result and type code in Buffer (the call's own buffer); false when it could
// not deliver a value.
class TtvUserDefFunction : public TtvObject {
public:
    // The upper-case name the function is called by.
    virtual std::string FunctionName() const;
    virtual bool Execute(TtvExpFunction& Node, TtvExpBuffer& Buffer, uint8_t& Type);
};

// One named value, usually a field of a table.
class TtvUserDefFieldVar : public TtvObject {
public:
    // The FieldName of the language's object model; a data member cannot share its
    // name with the virtual FieldName, hence the F.
    std::string FFieldName;
    int32_t FieldLength = 0;

    // Name is upper-cased (ANSI).
    explicit TtvUserDefFieldVar(std::string_view Name);

    virtual std::string FieldName() const;
    // Which link object the variable belongs to (16 unless a link says otherwise).
    virtual int32_t SourceId() const;
    // Writes the current value and its type code; false when there is none.
    virtual bool FetchValue(TtvExpBuffer& Buffer, uint8_t& Type);
};

// Owning lists of functions and of field variables.
class TtvFunctionReg {
public:
    // None is ignored; false when nothing was added (none, or the list cannot grow).
    bool Add(std::unique_ptr<TtvUserDefFunction> Item);
    int32_t Count() const { return static_cast<int32_t>(List.size()); }
    // None when Index is out of range.
    TtvUserDefFunction* Items(int32_t Index) const;
    // Empty when Index is out of range.
    std::string FunctionName(int32_t Index) const;
    // The first item whose name equals Name exactly; none when there is none.
    TtvUserDefFunction* Find(std::string_view Name) const;

private:
    std::vector<std::unique_ptr<TtvUserDefFunction>> List;
};

class TtvFieldVarReg {
public:
    bool Add(std::unique_ptr<TtvUserDefFieldVar> Item);
    int32_t Count() const { return static_cast<int32_t>(List.size()); }
    TtvUserDefFieldVar* Items(int32_t Index) const;
    std::string FieldName(int32_t Index) const;
    TtvUserDefFieldVar* Find(std::string_view Name) const;

private:
    std::vector<std::unique_ptr<TtvUserDefFieldVar>> List;
};

// The built-in functions, in registration order (TtvUDF.h). Read-only; exists for
// the whole run of the program.
extern const TtvFunctionReg BuiltinFunctions;

// ---------------------------------------------------------------------------
// TtvExpUserLink: resolves the names of an expression for its owner (a table).
// ---------------------------------------------------------------------------
class TtvExpUserLink : public TtvObject {
public:
    TtvFunctionReg Functions;
    TtvFieldVarReg FieldVars;
    // Width of STR() without a width; -1 means the width of the numeric field given
    // to STR.
    int32_t DefaultNumberWidth = 10;

    // The first registered function / field variable named exactly Name.
    virtual TtvUserDefFunction* FindFunction(std::string_view Name);
    virtual TtvUserDefFieldVar* FindFieldVar(std::string_view Name);
    // Asked for a function name that nothing else knows: a function to call, or an
    // error. The base raises "There is no function for <Name>".
    virtual TtvUserDefFunction* NoFunction(std::string_view Name);

    bool AddFunction(std::unique_ptr<TtvUserDefFunction> Function);
    bool AddFieldVar(std::unique_ptr<TtvUserDefFieldVar> FieldVar);
};

// ---------------------------------------------------------------------------
// The compiled tree.
// ---------------------------------------------------------------------------

// NodeKind values.
constexpr uint8_t nkGroup = 0; // also the plain base object
constexpr uint8_t nkOperator = 2;
constexpr uint8_t nkOperatorUnattached = 3;
constexpr uint8_t nkFunction = 4;
constexpr uint8_t nkFieldVar = 5;
constexpr uint8_t nkTextLit = 6;
constexpr uint8_t nkNumberLit = 7;
constexpr uint8_t nkDateLit = 8;
constexpr uint8_t nkLogicalLit = 9;

class TtvExpBaseObject : public TtvObject {
public:
    uint8_t NodeKind = nkGroup;
    // Type of a literal, or of the node's last evaluation.
    uint8_t ResultType = rtNone;
    // A text literal's length, a number literal's text length, a field's width.
    int32_t Length = 0;
    // Digits after the point of a number literal.
    int32_t Decimals = 0;
    std::unique_ptr<TtvExpBaseObject> Left;
    // The right operand, or the inner tree of a group.
    std::unique_ptr<TtvExpBaseObject> Right;

    TtvExpBaseObject() = default;
    TtvExpBaseObject(const TtvExpBaseObject&) = delete;
    TtvExpBaseObject& operator=(const TtvExpBaseObject&) = delete;

    // The node's own text: a function or field name, a literal in source form, an
    // operator's name.
    virtual std::string NameText() const;
    // The link object a field variable belongs to; -1 for every other node.
    virtual int32_t SourceId() const;
    // The whole sub-expression: left text, own text, right text.
    virtual std::string Text() const;
    // The names of the field variables below this node whose SourceId is Id, each
    // followed by ";".
    virtual std::string FieldList(int32_t Id) const;
    // Writes the node's value into Buffer and its code into Type; false when no
    // value was produced. The base produces nothing (rtAbsent).
    virtual bool Evaluate(TtvExpBuffer& Buffer, uint8_t& Type);
};

// A parenthesised group; Right is the inner tree (none for "()", which evaluates
// to rtAbsent).
class TtvExpContainer : public TtvExpBaseObject {
public:
    std::string Text() const override;
    bool Evaluate(TtvExpBuffer& Buffer, uint8_t& Type) override;
};

// A function call.
class TtvExpFunction : public TtvExpBaseObject {
public:
    TtvExpHandler* Handler;
    // One tree per argument; none for an empty argument ("F(a,,b)").
    std::vector<std::unique_ptr<TtvExpBaseObject>> Arguments;
    // Owned by its registry, which outlives the handler.
    TtvUserDefFunction* Function;
    // The upper-case name as written.
    std::string Name;
    // Scratch buffers for functions that keep one argument while reading the next.
    TtvExpBuffer Work[2];

    TtvExpFunction(TtvExpHandler* Owner, TtvUserDefFunction* Callee, std::string CallName);

    int32_t ArgumentCount() const { return static_cast<int32_t>(Arguments.size()); }
    // Evaluates argument Index (0-based) into Buffer; Actual := its type, rtAbsent
    // (with an empty buffer) when there is no such argument. Raises "<Type> needed
    // for Argument <n> of <NAME>" when Expected is text or a logical and a number or
    // a date came; no other mismatch is reported.
    TtvExpBuffer& GetArgument(int32_t Index, TtvExpBuffer& Buffer, uint8_t Expected,
                              uint8_t& Actual);

    std::string NameText() const override;
    std::string Text() const override;
    std::string FieldList(int32_t Id) const override;
    bool Evaluate(TtvExpBuffer& Buffer, uint8_t& Type) override;
};

// A field variable; Length is the variable's FieldLength.
class TtvExpFieldvar : public TtvExpBaseObject {
public:
    TtvExpHandler* Handler;
    // Owned by the link.
    TtvUserDefFieldVar* FieldVar;

    TtvExpFieldvar(TtvExpHandler* Owner, TtvUserDefFieldVar* Variable);

    std::string NameText() const override;
    int32_t SourceId() const override;
    std::string FieldList(int32_t Id) const override;
    bool Evaluate(TtvExpBuffer& Buffer, uint8_t& Type) override;
};

// Operator codes.
constexpr uint8_t opEqual = 129;
constexpr uint8_t opNotEqual = 130;
constexpr uint8_t opGreater = 131;
constexpr uint8_t opLess = 132;
constexpr uint8_t opGreaterEqual = 133;
constexpr uint8_t opLessEqual = 134;
constexpr uint8_t opInString = 135; // has no token in the language
constexpr uint8_t opExactEqual = 136;
constexpr uint8_t opPlus = 137;
constexpr uint8_t opMinus = 138;
constexpr uint8_t opMultiply = 139;
constexpr uint8_t opDivide = 140;
constexpr uint8_t opPower = 141;
constexpr uint8_t opAnd = 144;
constexpr uint8_t opOr = 145;
constexpr uint8_t opNot = 146;

// The level (Precedence) of an operator code; 0 for an unknown code.
uint8_t OperatorLevel(uint8_t OpCode);

class TtvExpOperator : public TtvExpBaseObject {
public:
    uint8_t OpCode;
    uint8_t Precedence;
    // Copied from the handler when the node is created.
    bool CaseInsensitive;
    bool Wildcards;
    char AnyChars = '*';
    char OneChar = '?'; // kept, never used by a comparison

    TtvExpOperator(uint8_t Code, const TtvExpHandler& Owner);

    // "+", "=", ".AND.", ...; "exactly equal" for "==" and "in string" for code 135
    // (the names used in messages).
    std::string NameText() const override;
    // Left and right text around the operator without blanks; "==" is written as
    // "==" so that the text reads back as the same expression.
    std::string Text() const override;
    bool Evaluate(TtvExpBuffer& Buffer, uint8_t& Type) override;

private:
    TtvExpBuffer LeftBuffer;
    TtvExpBuffer RightBuffer;

    int CompareTexts();
};

class TtvExpTextLit : public TtvExpBaseObject {
public:
    std::string Value;
    explicit TtvExpTextLit(std::string Characters);
    // Between double quotes; when the text holds a double quote, between
    // apostrophes or brackets, whichever the text does not hold, so that the text
    // reads back as the same literal.
    std::string NameText() const override;
    bool Evaluate(TtvExpBuffer& Buffer, uint8_t& Type) override;
};

class TtvExpNumLit : public TtvExpBaseObject {
public:
    double Value;
    // The token as written (a sign included).
    std::string Source;
    explicit TtvExpNumLit(std::string Token);
    // Fixed notation with Decimals digits; the token as written when the value is
    // not finite.
    std::string NameText() const override;
    bool Evaluate(TtvExpBuffer& Buffer, uint8_t& Type) override;
};

class TtvExpDateLit : public TtvExpBaseObject {
public:
    double Value;
    explicit TtvExpDateLit(double Jdn);
    // "{" + display form + "}".
    std::string NameText() const override;
    bool Evaluate(TtvExpBuffer& Buffer, uint8_t& Type) override;
};

class TtvExpBlnLit : public TtvExpBaseObject {
public:
    uint8_t Value;
    explicit TtvExpBlnLit(bool True);
    // ".T." or ".F.".
    std::string NameText() const override;
    bool Evaluate(TtvExpBuffer& Buffer, uint8_t& Type) override;
};

// ---------------------------------------------------------------------------
// TtvExpHandler: one compiled expression.
// ---------------------------------------------------------------------------
class TtvExpHandler : public TtvObject {
public:
    // Not owned; none compiles expressions without fields or table functions.
    TtvExpUserLink* Link;
    // Type of the last evaluation.
    uint8_t ResultType = rtNone;
    // Largest Length and Decimals of the field variables and number literals of the
    // last compile (the width and decimals of numeric keys in NTX files).
    int32_t MaxLength = 0;
    int32_t MaxDecimals = 0;
    std::unique_ptr<TtvExpBaseObject> Root;
    // Literals, field variables and function calls created by the last compile.
    int32_t OperandCount = 0;
    // These two are copied into each operator when it is created: set them before
    // compiling (construct with an empty text, set, then SetExpression).
    bool CaseInsensitive = false;
    bool Wildcards = true;
    char AnyChars;
    char OneChar;

    // SqlWildcards chooses "%" and "_" instead of "*" and "?". Compiles Text when it
    // is not empty.
    TtvExpHandler(TtvExpUserLink* UserLink, bool SqlWildcards, std::string_view Text);
    TtvExpHandler(const TtvExpHandler&) = delete;
    TtvExpHandler& operator=(const TtvExpHandler&) = delete;

    // Frees the old tree, resets the counters and compiles Text (an empty text gives
    // no tree). After an error the handler has no tree and its counters are 0.
    void SetExpression(std::string_view Text);
    // Evaluates into Buffer; none when there is no tree.
    TtvExpBuffer* Evaluate(TtvExpBuffer& Buffer);
    // Text -> vkText (at most 255 characters), types 4 and 7 -> vkNumber, rtDate ->
    // vkDate (blank for a day number outside 32 bits), rtLogical -> vkLogical. Any
    // other type, or no tree: ResultType := 0 and the result is none.
    TtvVariant* EvaluateVariant(TtvVariant& Variant);
    // The tree's Text; empty without a tree.
    std::string ExpressionText() const;

private:
    TtvExpBuffer VariantBuffer;
};

} // namespace tarnis
