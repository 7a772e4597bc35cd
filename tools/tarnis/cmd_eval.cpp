#include "engine/base/tv6_Date.h"
#include "engine/expr/tv6_sql.h"
#include "engine/table/TtvDBFExpUserLink.h"
#include "platform/format_settings.h"
#include "tools/tarnis/commands.h"
#include "tools/tarnis/options.h"

#include <cmath>
#include <cstring>
#include <iostream>

namespace tarnis::tool {

namespace {

// One evaluated value as the tool prints it: text decoded by the code page, numbers
// in the engine's text form, dates as "yyyymmdd" (blanks for the blank date),
// logicals as .T./.F.; a field the language cannot express (a memo) as the field's
// text view.
std::string ValueText(const TtvExpBuffer& value, uint8_t type, TCodePage page) {
    switch (type) {
    case rtText:
        return DecodeToUtf8(value.AsText(), page);
    case rtDate: {
        const double jdn = value.AsNumber();
        const bool inRange = std::isfinite(jdn) && jdn >= 0 && jdn <= 2147483647.0;
        return EngineDates.FormatStored(inRange ? static_cast<int32_t>(jdn) : 0);
    }
    case rtLogical:
        return value.AsLogical() ? ".T." : ".F.";
    case rtOther: {
        TVO_dBaseFld* table = nullptr;
        int32_t field = 0;
        std::memcpy(&table, value.Data(), sizeof table);
        std::memcpy(&field, value.Data() + 8, 4);
        return DecodeToUtf8(table->GetTextN(field), page);
    }
    default:
        if (IsNumericType(type)) return FloatToStr(value.AsNumber());
        return {};
    }
}

} // namespace

int CommandEval(const Args& args) {
    const Options options(args, {"--deleted"}, {"--codepage"});
    options.ExpectPositional(2, "TABLE EXPR");
    const TCodePage page = options.CodePage();
    const bool withDeleted = options.Flag("--deleted");
    const auto table = OpenTableForReading(options.Positional()[0]);
    TtvExpHandler expression(table->Link.get(), false, options.Positional()[1]);

    TtvExpBuffer value;
    for (table->GoToRecord(MoveTop); !table->AtEof && table->RecNo > 0;
         table->GoToRecord(MoveNext)) {
        if (table->IsDeleted() && !withDeleted) continue;
        if (expression.Evaluate(value) == nullptr) return 1;
        std::cout << table->RecNo << '\t' << ValueText(value, expression.ResultType, page) << '\n';
    }
    return 0;
}

} // namespace tarnis::tool
