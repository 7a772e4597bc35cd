// The table's link for the expression engine: it resolves the names of index keys,
// FOR conditions and filters compiled for a table.
//
// It holds one field variable per field (in field order) and the table functions
// RECNO, DELETED, BOF, EOF, TYPE and LEN. A function name that neither the built-in
// functions nor the link know is offered to the application through the table's
// ExternalFunction ("FIND"); a name the application claims becomes a TtvlDBFGeneric
// function whose calls go to ExternalFunction ("PARSE").
//
// Values delivered:
//   field 'C'              text: the stored characters, full width with blanks
//   field 'N', 'F'         number followed by the field's width
//   field 'D'              date: the day number (0 for a blank date)
//   field 'L'              logical
//   any other field type   "other": the table's address (8 bytes) followed by the
//                          field number (4 bytes)
//   RECNO()                number, width 7; DELETED(), BOF(), EOF() logical
//   TYPE(name)             the field's type letter; LEN(name) descriptor byte 16
// TYPE and LEN of a name that is not a field report 1003 through the table.
//
// An application function receives a 512-byte area, zero-filled, whose first 8
// bytes hold the address of the call node (through which it can evaluate the call's
// arguments); it answers with a type letter and the value in the area: 'C' a
// zero-terminated text, 'D' a 32-bit day number, 'F'/'N' a double, 'L' a letter of
// "TtYyJj" for true.
#pragma once

#include "engine/expr/tv6_sql.h"

#include <memory>
#include <string>

namespace tarnis {

class TVO_dBaseFld;

// An application function known by name.
class TtvlDBFGeneric : public TtvUserDefFunction {
public:
    TVO_dBaseFld* Table;
    std::string Name;

    TtvlDBFGeneric(TVO_dBaseFld* Table, std::string Name) : Table(Table), Name(std::move(Name)) {}
    std::string FunctionName() const override { return Name; }
    bool Execute(TtvExpFunction& Node, TtvExpBuffer& Buffer, uint8_t& Type) override;
};

// The table functions; each answers about the table's current record.
class TtvlDBFTableFunction : public TtvUserDefFunction {
public:
    explicit TtvlDBFTableFunction(TVO_dBaseFld* Table) : Table(Table) {}
    TVO_dBaseFld* Table;
};

#define TARNIS_TABLE_FUNCTION(ClassName, Called)                                                   \
    class ClassName : public TtvlDBFTableFunction {                                                \
    public:                                                                                        \
        using TtvlDBFTableFunction::TtvlDBFTableFunction;                                          \
        std::string FunctionName() const override { return Called; }                               \
        bool Execute(TtvExpFunction& Node, TtvExpBuffer& Buffer, uint8_t& Type) override;          \
    };
TARNIS_TABLE_FUNCTION(TtvlDBFRecNo, "RECNO")
TARNIS_TABLE_FUNCTION(TtvlDBFDeleted, "DELETED")
TARNIS_TABLE_FUNCTION(TtvlDBFBOF, "BOF")
TARNIS_TABLE_FUNCTION(TtvlDBFEOF, "EOF")
TARNIS_TABLE_FUNCTION(TtvlDBFType, "TYPE")
TARNIS_TABLE_FUNCTION(TtvlDBFLen, "LEN")
#undef TARNIS_TABLE_FUNCTION

// One field of the table as a variable of the language.
class TtvlDBFFieldVars : public TtvUserDefFieldVar {
public:
    int32_t FieldNo;
    TVO_dBaseFld* Table;

    TtvlDBFFieldVars(TVO_dBaseFld* Table, int32_t FieldNo);
    int32_t SourceId() const override { return 17; }
    bool FetchValue(TtvExpBuffer& Buffer, uint8_t& Type) override;
};

class TtvDBFExpUserLink : public TtvExpUserLink {
public:
    std::unique_ptr<TtvlDBFGeneric> Generic;

    // Registers the table functions and one field variable per field.
    explicit TtvDBFExpUserLink(TVO_dBaseFld* Table);
    TtvUserDefFunction* NoFunction(std::string_view Name) override;
};

} // namespace tarnis
