// Opening and listing a table: the input is the DBF bytes and the memo bytes. Every
// field of every record is read in every view, and every memo is read.
#include "engine/base/tv6_eror.h"
#include "engine/expr/tv6_sql.h"
#include "engine/table/TVO_dBaseFld.h"
#include "engine/table/tv6_memo.h"
#include "fuzz/fuzz_support.h"
#include "platform/format_settings.h"

#include <vector>

using namespace tarnis;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view parts[2];
    fuzz::SplitInput(data, size, parts, 2);
    const std::string dir = fuzz::WorkDirectory();
    fuzz::WriteFile(dir + "/T.DBF", parts[1]);
    // Both memo extensions, so whichever the version byte asks for is there.
    fuzz::WriteFile(dir + "/T.FPT", parts[0]);
    fuzz::WriteFile(dir + "/T.DBT", parts[0]);
    try {
        TVO_dBaseFld table(dir + "/T.DBF", false, false);
        int32_t records = 0;
        for (table.GoToRecord(MoveTop); !table.AtEof && records < 64;
             table.GoToRecord(MoveNext), ++records) {
            for (int32_t no = 1; no <= table.FieldCount; ++no) {
                try {
                    table.GetRawN(no);
                    table.GetTextN(no);
                    table.GetNumberN(no);
                    table.GetDateN(no);
                    table.GetLogicalN(no);
                    const int32_t length = table.MemoLengthN(no);
                    if (length > 0) {
                        std::vector<uint8_t> buffer(static_cast<size_t>(length));
                        int32_t got = length;
                        table.ReadMemoN(no, buffer.data(), got);
                        if (got < 0 || got > length) __builtin_trap();
                    }
                } catch (const ETarnisError&) {
                } catch (const EConvertError&) {
                }
            }
        }
    } catch (const ETarnisError&) {
    }
    return 0;
}
