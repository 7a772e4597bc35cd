#include "engine/table/TtvDBFExpUserLink.h"

#include "engine/base/tv6_tool.h"
#include "engine/table/TVO_dBaseFld.h"
#include "platform/code_page.h"

#include <cstring>

namespace tarnis {

namespace {

constexpr size_t AreaSize = 512;

} // namespace

// ---- application functions ----

bool TtvlDBFGeneric::Execute(TtvExpFunction& Node, TtvExpBuffer& Buffer, uint8_t& Type) {
    uint8_t area[AreaSize] = {};
    TtvExpFunction* node = &Node;
    std::memcpy(area, &node, sizeof node);
    char typ = ' ';
    bool chg = false;
    if (Table->ExternalFunction("PARSE", Name, area, typ, chg) == -1) {
        Type = rtNone;
        return false;
    }
    switch (typ) {
    case 'C':
        Type = rtText;
        Buffer.SetText(std::string_view(reinterpret_cast<const char*>(area),
                                        strnlen(reinterpret_cast<const char*>(area), AreaSize)));
        return true;
    case 'D': {
        int32_t jdn = 0;
        std::memcpy(&jdn, area, 4);
        Type = rtDate;
        Buffer.SetDate(jdn);
        return true;
    }
    case 'F':
    case 'N': {
        double value = 0;
        std::memcpy(&value, area, 8);
        Type = rtNumber;
        Buffer.SetNumber(value);
        return true;
    }
    case 'L':
        Type = rtLogical;
        Buffer.SetLogical(TrueLetters.find(static_cast<char>(area[0])) != std::string_view::npos &&
                          area[0] != 0);
        return true;
    default:
        Type = rtNone;
        return false;
    }
}

// ---- table functions ----

bool TtvlDBFRecNo::Execute(TtvExpFunction&, TtvExpBuffer& Buffer, uint8_t& Type) {
    Type = rtNumber;
    Buffer.SetNumber(Table->RecNo, 7);
    return true;
}

bool TtvlDBFDeleted::Execute(TtvExpFunction&, TtvExpBuffer& Buffer, uint8_t& Type) {
    Type = rtLogical;
    Buffer.SetLogical(Table->IsDeleted());
    return true;
}

bool TtvlDBFBOF::Execute(TtvExpFunction&, TtvExpBuffer& Buffer, uint8_t& Type) {
    Type = rtLogical;
    Buffer.SetLogical(Table->AtBof);
    return true;
}

bool TtvlDBFEOF::Execute(TtvExpFunction&, TtvExpBuffer& Buffer, uint8_t& Type) {
    Type = rtLogical;
    Buffer.SetLogical(Table->AtEof);
    return true;
}

namespace {

// The descriptor named by the call's first argument (upper-cased); the table reports
// 1003 for a name that is not a field.
const uint8_t* NamedField(TVO_dBaseFld& table, TtvExpFunction& node, TtvExpBuffer& buffer) {
    uint8_t actual = rtNone;
    node.GetArgument(0, buffer, rtText, actual);
    return table.FindField(AnsiUpperCase(buffer.AsText()));
}

} // namespace

bool TtvlDBFType::Execute(TtvExpFunction& Node, TtvExpBuffer& Buffer, uint8_t& Type) {
    const uint8_t* field = NamedField(*Table, Node, Buffer);
    if (field == nullptr) return false;
    Type = rtText;
    // The letter filled in rather than copied from a view: GCC 12 at -O3 reports a
    // false overlap (-Wrestrict) for a one-byte copy.
    Buffer.TextBytes().assign(1, static_cast<char>(field[11]));
    return true;
}

bool TtvlDBFLen::Execute(TtvExpFunction& Node, TtvExpBuffer& Buffer, uint8_t& Type) {
    const uint8_t* field = NamedField(*Table, Node, Buffer);
    if (field == nullptr) return false;
    Type = rtNumber;
    Buffer.SetNumber(field[16]);
    return true;
}

// ---- field variables ----

TtvlDBFFieldVars::TtvlDBFFieldVars(TVO_dBaseFld* Table, int32_t FieldNo)
    : TtvUserDefFieldVar(Table->FieldName(FieldNo)), FieldNo(FieldNo), Table(Table) {
    FieldLength = Table->FieldLength(FieldNo);
}

bool TtvlDBFFieldVars::FetchValue(TtvExpBuffer& Buffer, uint8_t& Type) {
    switch (Table->FieldType(FieldNo)) {
    case 'C':
        Type = rtText;
        Buffer.SetText(Table->RawField(FieldNo));
        return true;
    case 'N':
    case 'F':
        Type = rtNumber;
        Buffer.SetNumber(Table->GetNumberN(FieldNo), FieldLength);
        return true;
    case 'D':
        Type = rtDate;
        Buffer.SetDate(Table->GetDateN(FieldNo));
        return true;
    case 'L':
        Type = rtLogical;
        Buffer.SetLogical(Table->GetLogicalN(FieldNo));
        return true;
    default: {
        uint8_t other[12];
        TVO_dBaseFld* table = Table;
        std::memcpy(other, &table, 8);
        std::memcpy(other + 8, &FieldNo, 4);
        Type = rtOther;
        Buffer.SetBytes(other, sizeof other);
        return true;
    }
    }
}

// ---- the link ----

TtvDBFExpUserLink::TtvDBFExpUserLink(TVO_dBaseFld* Table)
    : Generic(std::make_unique<TtvlDBFGeneric>(Table, "genericfunction")) {
    AddFunction(std::make_unique<TtvlDBFRecNo>(Table));
    AddFunction(std::make_unique<TtvlDBFDeleted>(Table));
    AddFunction(std::make_unique<TtvlDBFBOF>(Table));
    AddFunction(std::make_unique<TtvlDBFEOF>(Table));
    AddFunction(std::make_unique<TtvlDBFType>(Table));
    AddFunction(std::make_unique<TtvlDBFLen>(Table));
    for (int32_t no = 1; no <= Table->FieldCount; ++no)
        AddFieldVar(std::make_unique<TtvlDBFFieldVars>(Table, no));
}

TtvUserDefFunction* TtvDBFExpUserLink::NoFunction(std::string_view Name) {
    uint8_t area[AreaSize] = {};
    char typ = ' ';
    bool chg = false;
    if (Generic->Table->ExternalFunction("FIND", Name, area, typ, chg) != -1) {
        auto function = std::make_unique<TtvlDBFGeneric>(Generic->Table, AnsiUpperCase(Name));
        TtvlDBFGeneric* found = function.get();
        if (AddFunction(std::move(function))) return found;
    }
    return TtvExpUserLink::NoFunction(Name);
}

} // namespace tarnis
