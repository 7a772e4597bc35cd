// tarnis index TABLE FILE.CDX TAG KEY [--for EXPR] [--unique] [--descending]
// [--codepage ...]: builds the tag from every record of the table into the compound
// file (made when it is missing), replacing a tag of that name, and prints
// "TAG: N keys". The key's length comes from the first record (a key such as
// TRIM(NAME) is as long as the first record's). The expressions are encoded to the
// code page of the table's text (--codepage, default 850). Progress shows on a
// terminal.
#include "engine/base/tv6_eror.h"
#include "tools/tarnis/commands.h"
#include "tools/tarnis/compound_writing.h"
#include "tools/tarnis/index_files.h"
#include "tools/tarnis/options.h"
#include "tools/tarnis/progress_table.h"

#include <iostream>

namespace tarnis::tool {

namespace {

std::string Encoded(const std::string& utf8, TCodePage page, const char* what) {
    std::string bytes;
    if (!EncodeFromUtf8(utf8, page, bytes))
        throw UsageError(std::string(what) + " is not valid UTF-8");
    return bytes;
}

} // namespace

int CommandIndex(const Args& args) {
    const Options options(args, {"--unique", "--descending"}, {"--for", "--codepage"});
    options.ExpectPositional(4, "TABLE, FILE.CDX, TAG and KEY");
    const TCodePage page = options.CodePage();
    const std::string& tagName = options.Positional()[2];
    const std::string key = Encoded(options.Positional()[3], page, "KEY");
    const std::string condition = Encoded(options.Value("--for").value_or(""), page, "--for");
    if (tagName.find_first_not_of(' ') == std::string::npos) throw UsageError("TAG is empty");
    if (key.find_first_not_of(' ') == std::string::npos) throw UsageError("KEY is empty");

    ProgressTable table(options.Positional()[0], "indexing " + tagName);
    const auto file = OpenCompoundForWriting(table, options.Positional()[1], true);
    // The build reads the file in order; the key is defined on the first record.
    table.SetCache(true);
    if (table.RecordCount > 0) table.GoToRecord(1);
    if (!file->CreateTag(tagName, key, condition, !options.Flag("--descending"),
                         options.Flag("--unique")))
        throw ETarnisError("Cannot create index tag " + tagName);
    TVobjIndexTag& tag = *file->Tags.back();
    std::cout << tag.TagName << ": " << CountKeys(tag) << " keys\n";
    return 0;
}

} // namespace tarnis::tool
