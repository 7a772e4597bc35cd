// Walking, seeking and checking every tag of a compound index over a small table:
// the input is the index file's bytes; the table is the fixture table the seed
// indexes were written for.
#include "engine/base/tv6_eror.h"
#include "engine/expr/tv6_sql.h"
#include "engine/index/TVobjIndexCheck.h"
#include "engine/index/tv6_indx.h"
#include "engine/table/TVO_dBHandler.h"
#include "fuzz/fuzz_support.h"
#include "platform/format_settings.h"

#include <filesystem>

using namespace tarnis;

namespace {

// The fixture table and its memo file, copied once into the work directory.
std::string TablePath() {
    static const std::string path = [] {
        const char* source = std::getenv("TARNIS_FUZZ_TABLE");
        const std::string from = source ? source : "tests/data/cdx-fpt/test_cdx.dbf";
        const std::string to = fuzz::WorkDirectory() + "/C.DBF";
        std::filesystem::copy_file(from, to, std::filesystem::copy_options::overwrite_existing);
        std::filesystem::path memo = from;
        memo.replace_extension(".fpt");
        if (std::filesystem::exists(memo))
            std::filesystem::copy_file(memo, fuzz::WorkDirectory() + "/C.FPT",
                                       std::filesystem::copy_options::overwrite_existing);
        return to;
    }();
    return path;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string index = fuzz::WorkDirectory() + "/C.CDX";
    fuzz::WriteFile(index, std::string_view(reinterpret_cast<const char*>(data), size));
    try {
        TVO_dBHandler table(TablePath(), false, false);
        if (table.OpenIndex(index) != 0) return 0;
        for (int32_t n = 1; TVobjIndexTag* tag = table.TagByGlobalNumber(n); ++n) {
            try {
                table.SelectTag(tag->TagName, false);
                int32_t steps = 0;
                for (table.GoToRecord(MoveTop); !table.AtEof && steps < 400;
                     table.GoToRecord(MoveNext))
                    ++steps;
                for (table.GoToRecord(MoveBottom); !table.AtBof && steps < 800;
                     table.GoToRecord(MovePrior))
                    ++steps;
                table.SeekKey("M");
                const TVobjIndexCheck check(*tag, true);
            } catch (const ETarnisError&) {
            } catch (const ETarnisExpression&) {
            } catch (const EConvertError&) {
            }
        }
    } catch (const ETarnisError&) {
    } catch (const ETarnisExpression&) {
    }
    return 0;
}
