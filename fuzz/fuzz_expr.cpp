// Compiling and evaluating an expression against a small table with one field of
// each kind.
#include "engine/base/tv6_eror.h"
#include "engine/expr/tv6_sql.h"
#include "engine/table/TVO_dBaseFld.h"
#include "engine/table/TtvDBFExpUserLink.h"
#include "engine/table/table_create.h"
#include "fuzz/fuzz_support.h"
#include "platform/format_settings.h"

#include <memory>

using namespace tarnis;

namespace {

TVO_dBaseFld& Table() {
    static std::unique_ptr<TVO_dBaseFld> table = [] {
        const std::string path = fuzz::WorkDirectory() + "/E.DBF";
        CreateTableFile(path, 0x83,
                        {{"NAME", 'C', 10},
                         {"QTY", 'N', 5},
                         {"AMOUNT", 'N', 12, 2},
                         {"BORN", 'D', 8},
                         {"OK", 'L', 1},
                         {"NOTES", 'M', 10}});
        auto t = std::make_unique<TVO_dBaseFld>(path, true, false);
        t->BlankRecord();
        t->PutTextN(1, "Zo\xE9 Smith");
        t->PutNumberN(2, 42);
        t->PutNumberN(3, -1234.5);
        t->PutTextN(4, "19991231");
        t->PutLogicalN(5, true);
        t->AppendRecord();
        return t;
    }();
    return *table;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    TVO_dBaseFld& table = Table();
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    try {
        TtvExpHandler expression(table.Link.get(), size % 2 == 0, text);
        TtvExpBuffer buffer;
        expression.Evaluate(buffer);
        TtvVariant variant;
        expression.EvaluateVariant(variant);
        expression.ExpressionText();
    } catch (const ETarnisExpression&) {
    } catch (const ETarnisError&) {
    } catch (const EConvertError&) {
    }
    return 0;
}
