// TVO_dBaseFld: single fields of the current record image.
//
// Field layout, set when the table opens: in the in-memory descriptors, bytes 12-15
// hold the field's offset in the record (the first field starts at 1, after the
// deletion flag) and bytes 26-27 its 1-based number. A field's width is descriptor
// byte 16, plus 256 * byte 17 for 'C' (long character fields); for every other type
// byte 17 is the decimal count.
//
// How each type is stored and seen ("0x30" = a Visual FoxPro table):
//
//   type  stored as                                  number view       text view
//   C     characters, left-aligned, blank-padded     parsed            without trailing blanks
//   N, F  decimal text, right-aligned                parsed            number text
//   D     "yyyymmdd", blanks when empty              parsed as text    locale date display
//   L     one character; "TtYyJj" means true         parsed as text    "T" or "F"
//   M     memo block number: right-aligned decimal   block number      "---MEMO---" when a memo
//         text; in 0x30 a 4-byte LE integer when                       exists, else "---memo---"
//         the field is 4 wide
//   G     as M                                       block number      "-GENERAL--" / "-general--"
//   B     as M; in 0x30 an 8-byte double             block / double    "--BINARY--" / "--binary--"
//   I     (0x30) 4-byte LE integer                   the integer       the raw bytes
//   T     (0x30) JDN and milliseconds, two 4-byte    ms since 1 Jan 1  the raw bytes
//         LE integers; four blanks read as 2415019
//         and 0
//   Y     (0x30) 64-bit LE integer, value * 10 000   the value         the raw bytes
//
// "N" operations take a 1-based field number and answer the neutral result (0,
// false, empty text) for a number out of range, without a report. The by-name
// operations look the field up and report:
//   1003/1298  unknown field name ("<table file>-><name>")
//   1004/1299  a field of the wrong type for a typed operation
// Conversions report 1004 (invalid stored number or date, unreadable entered text)
// and 1011/1261 "Number too large to fit in field" ("<field> - <formatted number>").
#pragma once

#include "engine/table/tv6_DBF.h"

#include <memory>

#include <cstdint>
#include <string>
#include <string_view>

namespace tarnis {

class TtvDBFExpUserLink;

namespace sc {
constexpr int32_t FieldPutDate = 1251;
constexpr int32_t FieldPutNumber = 1261;
constexpr int32_t FieldPutLogical = 1262;
constexpr int32_t FieldName = 1298;
constexpr int32_t FieldType = 1299;
} // namespace sc

class TVO_dBaseFld : public TVO_dBaseDBF {
public:
    const uint8_t* CurrentField = nullptr; // the descriptor the last field operation used
    // Resolves field names and table functions of expressions compiled for the table.
    std::unique_ptr<TtvDBFExpUserLink> Link;

    TVO_dBaseFld(const std::string& FileName, bool ReadWrite, bool Shared);
    ~TVO_dBaseFld() override;

    virtual const uint8_t* FindField(std::string_view Name);
    // Blanks the whole image, then zero in every numeric field (and, in 0x30 tables,
    // in every binary field).
    virtual void BlankRecord();
    virtual int32_t GetDate(std::string_view Name);
    virtual int32_t GetDateN(int32_t No);
    virtual bool PutDate(std::string_view Name, int32_t Jdn);
    virtual bool PutDateN(int32_t No, int32_t Jdn);
    // Marks the current record deleted and writes it at once.
    virtual void DeleteRecord();
    virtual std::string GetRaw(std::string_view Name);
    virtual std::string GetRawN(int32_t No);
    virtual bool PutRaw(std::string_view Name, std::string_view Text);
    virtual bool PutRawN(int32_t No, std::string_view Text);
    virtual int32_t FieldDecimals(int32_t No);
    virtual int32_t FieldLength(int32_t No);
    virtual int32_t FieldOffset(int32_t No);
    virtual std::string FieldName(int32_t No);
    virtual char FieldType(int32_t No);
    // Application functions in expressions: Who is "FIND" or "PARSE"; 0 = handled,
    // -1 = not handled (always, here).
    virtual int32_t ExternalFunction(std::string_view Who, std::string_view Name, uint8_t* Buffer,
                                     char& Typ, bool& Chg);
    virtual bool GetLogical(std::string_view Name);
    virtual bool GetLogicalN(int32_t No);
    virtual bool PutLogical(std::string_view Name, bool Value);
    virtual bool PutLogicalN(int32_t No, bool Value);
    virtual double GetNumber(std::string_view Name);
    virtual double GetNumberN(int32_t No);
    virtual bool PutNumber(std::string_view Name, double Value);
    // A value that does not fit the field reports 1011/1261 and leaves the field
    // unchanged: one whose decimal text is wider than a decimal field, one outside
    // the range of a binary integer, date-time or currency field, and NaN or an
    // infinity for any of them (a binary double field takes every value).
    virtual bool PutNumberN(int32_t No, double Value);
    virtual std::string GetText(std::string_view Name);
    virtual std::string GetTextN(int32_t No);
    virtual bool PutText(std::string_view Name, std::string_view Text);
    virtual bool PutTextN(int32_t No, std::string_view Text);
    virtual void RecallRecord();

    // 0 when no field has the name (trailing blanks ignored, letter case ignored).
    int32_t FieldNumber(std::string_view Name);
    const uint8_t* TypedField(std::string_view Name, char Type);
    // The stored characters of a field, full width, cut at the first zero byte; a
    // view into CurrentRecord, valid until the image changes. Empty when No is out of
    // range.
    std::string_view RawField(int32_t No) const;

    TVobjMemo* MemoOf(int32_t No);
    int32_t MemoLengthN(int32_t No);
    // Length holds the buffer's capacity on entry and the bytes delivered on return.
    bool ReadMemoN(int32_t No, uint8_t* Buffer, int32_t& Length);
    // Writes the memo and points the field at its (possibly new) first block.
    int32_t WriteMemoN(int32_t No, const uint8_t* Data, int32_t& Length);

    // Whether field No holds a binary value: in a version 0x30 table the types B, G,
    // I, M, T and Y, when the field has the binary width (4 bytes for G, I, M; 8 for
    // B, T, Y). Visual FoxPro tables written by other programs may keep 10-character
    // memo fields with a decimal block number; those read and write as text.
    bool IsBinaryField(int32_t No) const;

protected:
    const uint8_t* Descriptor(int32_t No) const;
    bool ValidField(int32_t No) const { return No >= 1 && No <= FieldCount; }
    void FieldError(int32_t Code, int32_t SubCode, std::string_view Info);
    bool IsVfp() const { return Version == 0x30; }
};

} // namespace tarnis
