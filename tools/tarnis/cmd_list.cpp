#include "tools/tarnis/commands.h"
#include "tools/tarnis/field_view.h"
#include "tools/tarnis/index_files.h"
#include "tools/tarnis/options.h"

#include <algorithm>
#include <iostream>

namespace tarnis::tool {

namespace {

constexpr size_t MaxColumn = 40;

// Characters (not bytes) of UTF-8 text.
size_t Columns(std::string_view utf8) {
    return static_cast<size_t>(
        std::count_if(utf8.begin(), utf8.end(), [](char c) { return (c & 0xC0) != 0x80; }));
}

// The text cut or padded to exactly `width` characters.
std::string Fit(const std::string& utf8, size_t width) {
    if (Columns(utf8) <= width) return utf8 + std::string(width - Columns(utf8), ' ');
    std::string out;
    size_t used = 0;
    for (size_t i = 0; i < utf8.size(); ++i) {
        if ((utf8[i] & 0xC0) != 0x80 && ++used == width) break;
        out += utf8[i];
    }
    return out + "\u2026";
}

// Visible form of control characters that the code pages decode to.
std::string Printable(std::string text) {
    for (char& c : text)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '.';
    return text;
}

size_t ColumnWidth(TVO_dBaseFld& table, int32_t no) {
    const char type = table.FieldType(no);
    size_t width =
        type == 'M' || type == 'G' ? MaxColumn : static_cast<size_t>(table.FieldLength(no));
    return std::min(std::max(width, table.FieldName(no).size()), MaxColumn);
}

} // namespace

int CommandList(const Args& args) {
    // --range takes two values, LOW and HIGH.
    Args rest;
    std::optional<std::pair<std::string, std::string>> range;
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] != "--range") {
            rest.push_back(args[i]);
            continue;
        }
        if (i + 2 >= args.size()) throw UsageError("--range needs LOW and HIGH");
        range.emplace(args[i + 1], args[i + 2]);
        i += 2;
    }
    const Options options(rest, {"--deleted", "--json"},
                          {"--codepage", "--index", "--tag", "--filter"});
    options.ExpectPositional(1, "TABLE");
    const TCodePage page = options.CodePage();
    const bool withDeleted = options.Flag("--deleted");
    const bool json = options.Flag("--json");
    const std::optional<std::string> tagName = options.Value("--tag");
    if (tagName && options.Values("--index").empty()) throw UsageError("--tag needs --index");
    if (range && !tagName) throw UsageError("--range needs --tag");
    const auto table = OpenTableForReading(options.Positional()[0]);
    OpenIndexesInTable(*table, options.Values("--index"));

    // The handler walks: in the tag's order (within the range), over the filter, and
    // past deleted records unless they are asked for.
    table->UseDeleted = withDeleted;
    if (tagName) {
        table->SelectTag(*tagName, false);
    } else {
        table->SetCache(true);
    }
    if (const auto filter = options.Value("--filter")) {
        std::string bytes;
        if (!EncodeFromUtf8(*filter, page, bytes)) throw UsageError("--filter is not valid UTF-8");
        table->SetFilter(bytes, false, true);
        table->SetFilterActive(true);
    }
    if (range) {
        std::string low, high;
        if (!EncodeFromUtf8(range->first, page, low) || !EncodeFromUtf8(range->second, page, high))
            throw UsageError("--range is not valid UTF-8");
        table->SetKeyRange(low, high, true, true);
    }

    std::vector<size_t> widths;
    if (!json) {
        std::string header = withDeleted ? "recno  del" : "recno";
        for (int32_t no = 1; no <= table->FieldCount; ++no) {
            widths.push_back(ColumnWidth(*table, no));
            header += "  " + Fit(table->FieldName(no), widths.back());
        }
        while (!header.empty() && header.back() == ' ')
            header.pop_back();
        std::cout << header << '\n';
    }

    for (table->GoToRecord(MoveTop); !table->AtEof && !table->AtBof && table->RecNo > 0;
         table->GoToRecord(MoveNext)) {
        const bool deleted = table->IsDeleted();
        std::string line;
        if (json) {
            line = "{\"recno\":" + std::to_string(table->RecNo) +
                   ",\"deleted\":" + (deleted ? "true" : "false");
            for (int32_t no = 1; no <= table->FieldCount; ++no) {
                line += ',';
                line += JsonString(DecodeToUtf8(table->FieldName(no), page));
                line += ':';
                line += FieldJson(*table, no, page);
            }
            line += "}";
        } else {
            std::string recno = std::to_string(table->RecNo);
            line = std::string(recno.size() < 5 ? 5 - recno.size() : 0, ' ') + recno;
            if (withDeleted) line += deleted ? "    *" : "     ";
            for (int32_t no = 1; no <= table->FieldCount; ++no)
                line += "  " + Fit(Printable(FieldDisplay(*table, no, page)),
                                   widths[static_cast<size_t>(no - 1)]);
            while (!line.empty() && line.back() == ' ')
                line.pop_back();
        }
        std::cout << line << '\n';
    }
    return 0;
}

} // namespace tarnis::tool
