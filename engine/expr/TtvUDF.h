// The 33 built-in functions of the expression language. One instance of each
// lives in BuiltinFunctions (tv6_sql.h), registered in this order:
//
//   ALLTRIM ASC AT ATC CEILING CHR CTOD DATE DESCEND DOW DTOC DTOS EMPTY FLOOR IIF
//   INT LEFT LEN LOWER LTRIM PADC PADL PADR RIGHT RTRIM SOUNDEX SPACE STR STRZERO
//   SUBSTR TRIM UPPER VAL
//
// They are found before the functions of a link, so a table function named like one
// of them is never called. A function evaluates its arguments only when it needs
// them, in the order of its argument list (IIF evaluates only the branch it
// returns). Functions hold no state: one instance serves every expression.
//
// Argument rules. An argument expected as text or as a logical that comes as a
// number or a date raises "<Text|Boolean> needed for Argument <n> of <NAME>"; any
// other mismatch is not reported and the function reads the value's bytes as the
// type it expected (tv6_sql.h). A missing argument reads as empty: "" as text, 0 as
// a number, false as a logical.
//
// Counts and positions are the argument truncated toward zero (a value beyond the
// 32-bit range counts as the nearest 32-bit number, one that is not a number as 0).
// Results over the limits, as this engine defines them:
//   - LEFT, RIGHT, SPACE, PADC/PADL/PADR with a length <= 0 give an empty text;
//     SUBSTR with a start below 1 or a count <= 0 gives an empty text;
//   - SPACE, the pad functions and STR fail with "Text result longer than 65535
//     characters" when they would build a longer text;
//   - CEILING and FLOOR compute as 32-bit integers inside that range and as whole
//     doubles outside it;
//   - STR with a width <= 0 gives an empty text; negative decimals count as 0; a
//     value that is not finite gives asterisks; STR without a width under a link
//     whose DefaultNumberWidth is -1 takes the width of the numeric field given as
//     x, and 10 when x is not a field;
//   - CTOD of text that is neither eight digits nor a locale date lets the
//     platform's EConvertError "'<text>' is not a valid date" through.
//
// Dates: a date argument is a Julian day number held as a double; BlankDateValue
// (1e100, CTOD('')) is the blank date of DTOC, DTOS, DOW, DESCEND and EMPTY.
#pragma once

#include "engine/expr/tv6_sql.h"

#include <cstddef>
#include <string>

namespace tarnis {

// s without leading and trailing blanks.
class TtvUDFAllTrim : public TtvUserDefFunction {
public:
    std::string FunctionName() const override;
    bool Execute(TtvExpFunction& Node, TtvExpBuffer& Buffer, uint8_t& Type) override;
};

// Code of the first character of s; 0 for an empty text.
class TtvUDFAsc : public TtvUserDefFunction {
public:
    std::string FunctionName() const override;
    bool Execute(TtvExpFunction& Node, TtvExpBuffer& Buffer, uint8_t& Type) override;
};

// AT(needle, haystack, n): 1-based position of the n-th occurrence of needle (n
// defaults to 1; occurrences may overlap). With fewer than n occurrences the last one
// found; with none, an empty needle or n <= 0, 0.
class TtvUDFAt : public TtvUserDefFunction {
public:
    std::string FunctionName() const override;
    bool Execute(TtvExpFunction& Node, TtvExpBuffer& Buffer, uint8_t& Type) override;
};

// AT after both texts are upper-cased (ANSI).
class TtvUDFAtC : public TtvUserDefFunction {
public:
    std::string FunctionName() const override;
    bool Execute(TtvExpFunction& Node, TtvExpBuffer& Buffer, uint8_t& Type) override;
};

// Smallest whole number >= x.
class TtvUDFCeiling : public TtvUserDefFunction {
public:
    std::string FunctionName() const override;
    bool Execute(TtvExpFunction& Node, TtvExpBuffer& Buffer, uint8_t& Type) override;
};

// The character with code trunc(n); 0 gives an empty text; outside 0..255 (or not a
// number) raises "A Byte value is required but invalid".
class TtvUDFChr : public TtvUserDefFunction {
public:
    std::string FunctionName() const override;
    bool Execute(TtvExpFunction& Node, TtvExpBuffer& Buffer, uint8_t& Type) override;
};

// BlankDateValue for an empty text, otherwise TtvDBFDate::ParseDate.
class TtvUDFCTOD : public TtvUserDefFunction {
public:
    std::string FunctionName() const override;
    bool Execute(TtvExpFunction& Node, TtvExpBuffer& Buffer, uint8_t& Type) override;
};

// Today's date.
class TtvUDFDate : public TtvUserDefFunction {
public:
    std::string FunctionName() const override;
    bool Execute(TtvExpFunction& Node, TtvExpBuffer& Buffer, uint8_t& Type) override;
};

// A value that sorts in reverse order, of the type of x: a date d becomes
// 5231808 - d (BlankDateValue stays), a number -x (0 stays), every character c of a
// text (256 - c) mod 256, a logical its negation; any other value gets its first
// byte set to 0.
class TtvUDFDescend : public TtvUserDefFunction {
public:
    std::string FunctionName() const override;
    bool Execute(TtvExpFunction& Node, TtvExpBuffer& Buffer, uint8_t& Type) override;
};

// 1 Sunday .. 7 Saturday; 0 for a date <= 0 and for the blank date.
class TtvUDFDOW : public TtvUserDefFunction {
public:
    std::string FunctionName() const override;
    bool Execute(TtvExpFunction& Node, TtvExpBuffer& Buffer, uint8_t& Type) override;
};

// DTOC(d, mode): the display form, or "yyyymmdd" when mode is the number 1; empty
// for the blank date.
class TtvUDFDTOC : public TtvUserDefFunction {
public:
    std::string FunctionName() const override;
    bool Execute(TtvExpFunction& Node, TtvExpBuffer& Buffer, uint8_t& Type) override;
};

// "yyyymmdd"; eight blanks for a date <= 0; empty for the blank date.
class TtvUDFDTOS : public TtvUserDefFunction {
public:
    std::string FunctionName() const override;
    bool Execute(TtvExpFunction& Node, TtvExpBuffer& Buffer, uint8_t& Type) override;
};

// True for the blank date (not for a blank date field, which is 0), the number 0,
// the empty text (blanks are not empty) and false; never for another type.
class TtvUDFEmpty : public TtvUserDefFunction {
public:
    std::string FunctionName() const override;
    bool Execute(TtvExpFunction& Node, TtvExpBuffer& Buffer, uint8_t& Type) override;
};

// Largest whole number <= x.
class TtvUDFFloor : public TtvUserDefFunction {
public:
    std::string FunctionName() const override;
    bool Execute(TtvExpFunction& Node, TtvExpBuffer& Buffer, uint8_t& Type) override;
};

// IIF(c, a, b): a when c's byte is not 0, else b; rtAbsent when that one is missing.
class TtvUDFIIF : public TtvUserDefFunction {
public:
    std::string FunctionName() const override;
    bool Execute(TtvExpFunction& Node, TtvExpBuffer& Buffer, uint8_t& Type) override;
};

// x truncated toward zero (no 32-bit limit).
class TtvUDFInt : public TtvUserDefFunction {
public:
    std::string FunctionName() const override;
    bool Execute(TtvExpFunction& Node, TtvExpBuffer& Buffer, uint8_t& Type) override;
};

// The first trunc(n) characters; empty when n <= 0.01.
class TtvUDFLeft : public TtvUserDefFunction {
public:
    std::string FunctionName() const override;
    bool Execute(TtvExpFunction& Node, TtvExpBuffer& Buffer, uint8_t& Type) override;
};

// Number of characters.
class TtvUDFLen : public TtvUserDefFunction {
public:
    std::string FunctionName() const override;
    bool Execute(TtvExpFunction& Node, TtvExpBuffer& Buffer, uint8_t& Type) override;
};

// ANSI lower case.
class TtvUDFLower : public TtvUserDefFunction {
public:
    std::string FunctionName() const override;
    bool Execute(TtvExpFunction& Node, TtvExpBuffer& Buffer, uint8_t& Type) override;
};

// s without leading blanks.
class TtvUDFLTrim : public TtvUserDefFunction {
public:
    std::string FunctionName() const override;
    bool Execute(TtvExpFunction& Node, TtvExpBuffer& Buffer, uint8_t& Type) override;
};

// The pad functions' common part: reads the fill character first (missing: a
// blank; a text of one character: that character; anything else raises "A Char
// value is required but invalid"), then s and n; fills s up to n characters,
// LeadingFill of them in front, then cuts the result to n characters. Not
// registered; its name is empty.
class TtvUDFPadMain : public TtvUserDefFunction {
public:
    bool Execute(TtvExpFunction& Node, TtvExpBuffer& Buffer, uint8_t& Type) override;

protected:
    // How many of Missing fill characters go in front of s.
    virtual size_t LeadingFill(size_t Missing) const;
};

// s centred: (n - length) / 2 fill characters in front, the rest behind.
class TtvUDFPadC : public TtvUDFPadMain {
public:
    std::string FunctionName() const override;

protected:
    size_t LeadingFill(size_t Missing) const override;
};

// s right-aligned: the fill in front.
class TtvUDFPadL : public TtvUDFPadMain {
public:
    std::string FunctionName() const override;

protected:
    size_t LeadingFill(size_t Missing) const override;
};

// s left-aligned: the fill behind.
class TtvUDFPadR : public TtvUDFPadMain {
public:
    std::string FunctionName() const override;
};

// The last trunc(n) characters; empty when n <= 0.
class TtvUDFRight : public TtvUserDefFunction {
public:
    std::string FunctionName() const override;
    bool Execute(TtvExpFunction& Node, TtvExpBuffer& Buffer, uint8_t& Type) override;
};

// The four-character sound code: the first (upper-cased) character, then the
// digits of the following consonants (BFPV 1, CGJKQSXZ 2, DT 3, L 4, MN 5, R 6),
// each one kept when it differs from the last one kept, padded with "0". An empty
// text gives "0000".
class TtvUDFSoundex : public TtvUserDefFunction {
public:
    std::string FunctionName() const override;
    bool Execute(TtvExpFunction& Node, TtvExpBuffer& Buffer, uint8_t& Type) override;
};

// trunc(n) blanks.
class TtvUDFSpace : public TtvUserDefFunction {
public:
    std::string FunctionName() const override;
    bool Execute(TtvExpFunction& Node, TtvExpBuffer& Buffer, uint8_t& Type) override;
};

// STR(x, width, decimals): x right-aligned in width characters with decimals digits
// after a "." (rounded); width asterisks when it does not fit. Without a numeric
// width: no decimals and the link's DefaultNumberWidth (10 without a link).
class TtvUDFStr : public TtvUserDefFunction {
public:
    std::string FunctionName() const override;
    bool Execute(TtvExpFunction& Node, TtvExpBuffer& Buffer, uint8_t& Type) override;
};

// STR with every leading blank turned into "0" (STRZERO(-5, 3) is "0-5").
class TtvUDFStrZero : public TtvUDFStr {
public:
    std::string FunctionName() const override;
    bool Execute(TtvExpFunction& Node, TtvExpBuffer& Buffer, uint8_t& Type) override;
};

// SUBSTR(s, start, count): count characters (all to the end when count is not a
// number) from the 1-based position start.
class TtvUDFSubStr : public TtvUserDefFunction {
public:
    std::string FunctionName() const override;
    bool Execute(TtvExpFunction& Node, TtvExpBuffer& Buffer, uint8_t& Type) override;
};

// s without trailing blanks.
class TtvUDFTrim : public TtvUserDefFunction {
public:
    std::string FunctionName() const override;
    bool Execute(TtvExpFunction& Node, TtvExpBuffer& Buffer, uint8_t& Type) override;
};

// TRIM by the name RTRIM.
class TtvUDFRTrim : public TtvUDFTrim {
public:
    std::string FunctionName() const override;
};

// ANSI upper case (Windows-1252: é -> É, ÿ -> Ÿ, œ -> Œ).
class TtvUDFUpper : public TtvUserDefFunction {
public:
    std::string FunctionName() const override;
    bool Execute(TtvExpFunction& Node, TtvExpBuffer& Buffer, uint8_t& Type) override;
};

// s read by the platform's text-to-float conversion (the locale's decimal
// separator, blanks around allowed); 0 for empty text or text that is not a number.
class TtvUDFVal : public TtvUserDefFunction {
public:
    std::string FunctionName() const override;
    bool Execute(TtvExpFunction& Node, TtvExpBuffer& Buffer, uint8_t& Type) override;
};

} // namespace tarnis
