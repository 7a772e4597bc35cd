#include "engine/base/tv6_eror.h"

#include <gtest/gtest.h>

namespace tarnis {
namespace {

struct MessageCase {
    int32_t Code;
    int32_t SubCode;
    const char* Info;
    const char* Expected;
};

TEST(EngineErrorMessage, TableTextsAndGenericForm) {
    const MessageCase cases[] = {
        {2, 1107, "C:\\DATA\\RADERA.DBF", "File not found - C:\\DATA\\RADERA.DBF"},
        {32, 1107, "/d/t.dbf", "File access denied - /d/t.dbf"},
        {5, 1107, "/d/t.dbf", "File access denied - /d/t.dbf"},
        {1006, NoSubCode, "", "Formula expression cannot be translated - "},
        {1011, 1261, "AMOUNT - 123456.00", "Number too large to fit in field - AMOUNT - 123456.00"},
        {2112, NoSubCode, "C:\\DATA\\RADERA.DBF", "Tarnis Error 2112.\r C:\\DATA\\RADERA.DBF>-7"},
        {221, 1101, "", "Tarnis Error 221, SubCode 1101.\r"},
        {4711, NoSubCode, "", "Tarnis Error 4711.\r"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Code);
        EXPECT_EQ(EngineErrorMessage(c.Code, c.SubCode, c.Info), c.Expected);
        try {
            EngineError(c.Code, c.SubCode, c.Info);
            ADD_FAILURE() << "no exception";
        } catch (const ETarnisError& e) {
            EXPECT_STREQ(e.what(), c.Expected);
        }
    }
}

TEST(EngineErrorMessage, EveryTableTextFitsTheCutLength) {
    for (int32_t code : {2,   3,   4,   5,   12,  15,  32,   33,   100,  101,  102,  103,  104,
                         105, 106, 150, 152, 162, 183, 1001, 1002, 1003, 1004, 1005, 1006, 1011}) {
        ASSERT_NE(ErrorText(code), nullptr) << code;
        EXPECT_EQ(EngineErrorMessage(code, NoSubCode, "x"), std::string(ErrorText(code)) + " - x");
    }
    EXPECT_EQ(ErrorText(221), nullptr);
}

TEST(EngineErrorProc, ReplacementThatReturnsLetsTheCallerGoOn) {
    static int32_t seen = 0;
    const TEngineErrorProc saved = EngineErrorProc;
    EngineErrorProc = [](int32_t Code, int32_t, std::string_view) { seen = Code; };
    EXPECT_NO_THROW(EngineError(1002, 1207, "t"));
    EngineErrorProc = saved;
    EXPECT_EQ(seen, 1002);
    EXPECT_THROW(EngineError(1002, 1207, "t"), ETarnisError);
}

} // namespace
} // namespace tarnis
