#include "platform/file_names.h"

#include "support/temp_dir.h"
#include "support/test_data.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

namespace tarnis {
namespace {

using test::TempDir;

struct NameCase {
    std::string Input;
    std::string Expected;
};

TEST(FileNames, CurrentDirectoryIsTheProcessDirectory) {
    EXPECT_EQ(CurrentDirectory(), std::filesystem::current_path().string());
}

TEST(FileNames, ExpandAbsoluteNames) {
    const NameCase cases[] = {
        {"/a/b/c.dbf", "/a/b/c.dbf"},
        {"/a/b/../c.dbf", "/a/c.dbf"},
        {"/a/./b/./c.dbf", "/a/b/c.dbf"},
        {"//a///b//c.dbf", "/a/b/c.dbf"},
        {"/a/b/c/../../d", "/a/d"},
        {"/../x.dbf", "/x.dbf"},
        {"/a/../../../x", "/x"},
        {"/a/..", "/"},
        {"/", "/"},
        {"/.", "/"},
        {"/a/b/", "/a/b/"},
        {"/a/b/./", "/a/b/"},
        {"/a/..b/c", "/a/..b/c"},
        {"/a/.b/c.", "/a/.b/c."},
        {"/A/B.DBF", "/A/B.DBF"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ExpandFileName(c.Input), c.Expected) << c.Input;
}

TEST(FileNames, ExpandRelativeNamesAgainstTheCurrentDirectory) {
    const std::string cwd = CurrentDirectory();
    const std::string parent = std::filesystem::path(cwd).parent_path().string();
    const std::string parentPrefix = parent == "/" ? "/" : parent + "/";
    const NameCase cases[] = {
        {"x.dbf", cwd + "/x.dbf"},
        {"./x.dbf", cwd + "/x.dbf"},
        {"sub/../x.dbf", cwd + "/x.dbf"},
        {"sub/x.dbf", cwd + "/sub/x.dbf"},
        {"../x.dbf", parentPrefix + "x.dbf"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ExpandFileName(c.Input), c.Expected) << c.Input;
    EXPECT_EQ(ExpandFileName(""), "");
}

TEST(FileNames, NameParts) {
    struct Case {
        std::string Name, Path, File, Ext;
    };
    const Case cases[] = {
        {"/data/radera.dbf", "/data/", "radera.dbf", ".dbf"},
        {"/data/RADERA.DBF", "/data/", "RADERA.DBF", ".DBF"},
        {"/data.old/radera", "/data.old/", "radera", ""},
        {"/data/archive.tar.gz", "/data/", "archive.tar.gz", ".gz"},
        {"/data/name.", "/data/", "name.", "."},
        {"radera.dbf", "", "radera.dbf", ".dbf"},
        {"/data/", "/data/", "", ""},
        {"/", "/", "", ""},
        {"", "", "", ""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ExtractFilePath(c.Name), c.Path) << c.Name;
        EXPECT_EQ(ExtractFileName(c.Name), c.File) << c.Name;
        EXPECT_EQ(ExtractFileExt(c.Name), c.Ext) << c.Name;
    }
}

TEST(FileNames, ChangeFileExt) {
    struct Case {
        std::string Name, Ext, Expected;
    };
    const Case cases[] = {
        {"/data/radera.dbf", ".fpt", "/data/radera.fpt"},
        {"/data/RADERA.DBF", ".CDX", "/data/RADERA.CDX"},
        {"/data/radera", ".dbt", "/data/radera.dbt"},
        {"/data.old/radera", ".dbt", "/data.old/radera.dbt"},
        {"/data/a.b.c", ".x", "/data/a.b.x"},
        {"/data/radera.dbf", "", "/data/radera"},
        {"radera.dbf", ".ntx", "radera.ntx"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ChangeFileExt(c.Name, c.Ext), c.Expected) << c.Name << " " << c.Ext;
}

// ---- letter-case fallback ----

class NameCaseTest : public testing::Test {
protected:
    void MakeFile(const std::string& relative) {
        const std::filesystem::path path = dir_.File(relative);
        std::filesystem::create_directories(path.parent_path());
        test::WriteFileBytes(path.string(), "x");
    }
    std::string Full(const std::string& relative) const { return dir_.File(relative); }

    TempDir dir_;
};

TEST_F(NameCaseTest, ExistingNamesStayAsGiven) {
    MakeFile("Table.dbf");
    EXPECT_EQ(ResolveNameCase(Full("Table.dbf")), Full("Table.dbf"));
    EXPECT_EQ(ResolveNameCase(dir_.Path()), dir_.Path());
    EXPECT_EQ(ResolveNameCase(dir_.Path() + "/"), dir_.Path() + "/");
}

TEST_F(NameCaseTest, FindsTheOneEntryMatchingIgnoringCase) {
    MakeFile("FOO.DBF");
    MakeFile("Data/Sub/Table.Dbf");
    const NameCase cases[] = {
        {"foo.dbf", "FOO.DBF"},
        {"Foo.Dbf", "FOO.DBF"},
        {"DATA/SUB/TABLE.DBF", "Data/Sub/Table.Dbf"},
        {"data/sub/table.dbf", "Data/Sub/Table.Dbf"},
        {"Data/SUB/table.DBF", "Data/Sub/Table.Dbf"},
        {"DATA/sub", "Data/Sub"},
        {"DATA/sub/", "Data/Sub/"},
        // A missing part stops the search; what follows stays as given.
        {"DATA/none/TABLE.DBF", "Data/none/TABLE.DBF"},
        {"DATA/SUB/TABLE.CDX", "Data/Sub/TABLE.CDX"},
        {"nothing.dbf", "nothing.dbf"},
        {"foo.dbf/x", "FOO.DBF/x"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ResolveNameCase(Full(c.Input)), Full(c.Expected)) << c.Input;
}

TEST_F(NameCaseTest, AmbiguousMatchesKeepTheNameAsGiven) {
    MakeFile("abc.dbf");
    MakeFile("ABC.DBF");
    MakeFile("Dir/x.dbf");
    MakeFile("DIR/x.dbf");
    EXPECT_EQ(ResolveNameCase(Full("Abc.Dbf")), Full("Abc.Dbf"));
    EXPECT_EQ(ResolveNameCase(Full("abc.dbf")), Full("abc.dbf"));
    EXPECT_EQ(ResolveNameCase(Full("ABC.DBF")), Full("ABC.DBF"));
    EXPECT_EQ(ResolveNameCase(Full("dir/X.DBF")), Full("dir/X.DBF"));
    // The exact name wins even though it has a case twin.
    EXPECT_EQ(ResolveNameCase(Full("Dir/X.DBF")), Full("Dir/x.dbf"));
}

TEST_F(NameCaseTest, AnsiLettersMatchIgnoringCase) {
    // Names as Windows-1252 bytes: "ÉTÉ.DBF" on disk, asked for as "été.dbf".
    MakeFile("\xC9T\xC9.DBF");
    MakeFile("\x8C"
             "UVRE");
    EXPECT_EQ(ResolveNameCase(Full("\xE9t\xE9.dbf")), Full("\xC9T\xC9.DBF"));
    EXPECT_EQ(ResolveNameCase(Full("\x9C"
                                   "uvre")),
              Full("\x8C"
                   "UVRE"));
    // ß has no upper case: "STRASSE" is another name.
    MakeFile("stra\xDF"
             "e");
    EXPECT_EQ(ResolveNameCase(Full("STRASSE")), Full("STRASSE"));
    EXPECT_EQ(ResolveNameCase(Full("STRA\xDF"
                                   "E")),
              Full("stra\xDF"
                   "e"));
}

TEST_F(NameCaseTest, NormalizeExpandsThenResolves) {
    MakeFile("Data/RADERA.DBF");
    EXPECT_EQ(NormalizeFileName(Full("data/./x/../radera.dbf")), Full("Data/RADERA.DBF"));
    EXPECT_EQ(NormalizeFileName(Full("DATA//RADERA.DBF")), Full("Data/RADERA.DBF"));
}

TEST_F(NameCaseTest, NormalizeResolvesRelativeNames) {
    MakeFile("Data/RADERA.DBF");
    const std::filesystem::path previous = std::filesystem::current_path();
    std::filesystem::current_path(dir_.Path());
    const std::string normalized = NormalizeFileName("data/radera.dbf");
    const std::string cwd = CurrentDirectory();
    std::filesystem::current_path(previous);
    EXPECT_EQ(normalized, cwd + "/Data/RADERA.DBF");
}

} // namespace
} // namespace tarnis
