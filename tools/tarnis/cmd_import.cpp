// tarnis import TABLE [--index FILE]... [--codepage ...] [--shared] [--protocol N]
//               FILE.jsonl|-
// Appends one record per line of JSON in the form `tarnis list --json` prints:
// members by field name, absent fields blank; "recno" is ignored and "deleted": true
// marks the new record deleted. Every open index is kept current.
#include "tools/tarnis/commands.h"
#include "tools/tarnis/index_files.h"
#include "tools/tarnis/json_line.h"
#include "tools/tarnis/options.h"

#include "engine/base/tv6_Date.h"

#include <fstream>
#include <iostream>

namespace tarnis::tool {

namespace {

[[noreturn]] void BadLine(size_t line, const std::string& what) {
    throw std::runtime_error("line " + std::to_string(line) + ": " + what);
}

std::string Encoded(const JsonValue& value, TCodePage page, size_t line, const std::string& field) {
    if (value.Type != JsonValue::Kind::String) BadLine(line, field + " needs a string");
    std::string bytes;
    if (!EncodeFromUtf8(value.Text, page, bytes)) BadLine(line, field + " is not valid UTF-8");
    return bytes;
}

// Stores one member into its field of the record image (the memo into the memo file).
void PutMember(TVO_dBHandler& table, int32_t no, const JsonValue& value, TCodePage page,
               size_t line) {
    const std::string field = table.FieldName(no);
    const char type = table.FieldType(no);
    const bool binary = table.IsBinaryField(no);
    if (value.Type == JsonValue::Kind::Null) {
        if (!binary) table.PutRawN(no, "");
        return;
    }
    if (type == 'M' || type == 'G' || (type == 'B' && !binary)) {
        const std::string text = Encoded(value, page, line, field);
        if (text.empty()) return;
        int32_t length = static_cast<int32_t>(text.size());
        table.WriteMemoN(no, reinterpret_cast<const uint8_t*>(text.data()), length);
        return;
    }
    switch (type) {
    case 'N':
    case 'F':
    case 'I':
    case 'Y':
    case 'B':
    case 'T':
        if (value.Type != JsonValue::Kind::Number) BadLine(line, field + " needs a number");
        table.PutNumberN(no, value.Number);
        return;
    case 'L':
        if (value.Type != JsonValue::Kind::Bool)
            BadLine(line, field + " needs true, false or null");
        table.PutLogicalN(no, value.Bool);
        return;
    case 'D':
        table.PutDateN(no, EngineDates.ParseDate(Encoded(value, page, line, field)));
        return;
    default:
        table.PutRawN(no, Encoded(value, page, line, field));
        return;
    }
}

} // namespace

int CommandImport(const Args& args) {
    const Options options(args, {"--shared"}, {"--codepage", "--index", "--protocol"});
    options.ExpectPositional(2, "TABLE and FILE.jsonl (or -)");
    const TCodePage page = options.CodePage();
    const std::string& source = options.Positional()[1];
    std::ifstream file;
    if (source != "-") {
        file.open(source);
        if (!file) throw UsageError("cannot read " + source);
    }
    std::istream& in = source == "-" ? std::cin : file;

    TVO_dBHandler table(options.Positional()[0], true, options.Flag("--shared"));
    if (const auto protocol = options.Value("--protocol"))
        table.SetLockProtocol(static_cast<int32_t>(ParseInteger(*protocol, 0, 3, "lock protocol")));
    OpenIndexesInTable(table, options.Values("--index"));

    size_t line = 0;
    int32_t added = 0;
    for (std::string text; std::getline(in, text);) {
        ++line;
        if (text.find_first_not_of(" \t\r") == std::string::npos) continue;
        JsonObject record;
        try {
            record = ParseJsonLine(text);
        } catch (const JsonError& e) {
            BadLine(line, e.what());
        }
        table.BlankRecord();
        bool deleted = false;
        for (const auto& [name, value] : record) {
            if (name == "recno") continue;
            if (name == "deleted") {
                deleted = value.Type == JsonValue::Kind::Bool && value.Bool;
                continue;
            }
            std::string fieldName;
            if (!EncodeFromUtf8(name, page, fieldName))
                BadLine(line, "member name is not valid UTF-8");
            const int32_t no = table.FieldNumber(fieldName);
            if (no == 0) BadLine(line, "no field " + name);
            PutMember(table, no, value, page, line);
        }
        table.AppendRecord();
        if (deleted) table.DeleteRecord();
        ++added;
    }
    table.Flush();
    std::cerr << added << " records added\n";
    return 0;
}

} // namespace tarnis::tool
