// tarnis seek TABLE --index FILE --tag NAME KEY [--soft]: looks a key up in a tag the
// way the table's seek does (a shorter text matches a key it begins) and prints
// "found=true|false recno=N". Without a match the record is 0, or with --soft the
// record of the next greater key (0 past the last key).
#include "engine/base/tv6_Date.h"
#include "tools/tarnis/commands.h"
#include "tools/tarnis/index_files.h"
#include "tools/tarnis/options.h"

#include <charconv>
#include <iostream>

namespace tarnis::tool {

namespace {

// The search key for the tag's key type: text encoded to the code page, a number in
// the C locale's notation, a date as yyyymmdd (an empty text is the blank date).
TVobjIndexKeyData SearchKey(const TVobjIndexTag& tag, const std::string& text, TCodePage page) {
    TVobjIndexKeyData key;
    key.Reference = -1;
    switch (tag.KeyType) {
    case 'N': {
        double value = 0;
        const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
        if (error != std::errc() || end != text.data() + text.size())
            throw UsageError("invalid number: " + text);
        key.SetNumber(value);
        break;
    }
    case 'D': {
        const bool digits =
            text.size() == 8 && text.find_first_not_of("0123456789") == std::string::npos;
        if (!text.empty() && !digits) throw UsageError("a date is yyyymmdd: " + text);
        key.SetDate(text.empty() ? 0 : EngineDates.ParseDate(text));
        break;
    }
    default: {
        std::string bytes;
        if (!EncodeFromUtf8(text, page, bytes)) throw UsageError("KEY is not valid UTF-8");
        key.SetString(bytes);
        break;
    }
    }
    return key;
}

} // namespace

int CommandSeek(const Args& args) {
    const Options options(args, {"--soft"}, {"--index", "--tag", "--codepage"});
    options.ExpectPositional(2, "TABLE and KEY");
    const std::optional<std::string> tagName = options.Value("--tag");
    if (options.Values("--index").empty() || !tagName)
        throw UsageError("seek needs --index and --tag");
    const TCodePage page = options.CodePage();
    const auto table = OpenTableForReading(options.Positional()[0]);
    const IndexFiles indexes = OpenIndexesForReading(*table, options.Values("--index"));
    TVobjIndexTag& tag = FindTag(indexes, *tagName);
    const int32_t found = tag.Seek(SearchKey(tag, options.Positional()[1], page));
    const int32_t record =
        found != 0 || !options.Flag("--soft") || tag.AtEof ? found : tag.CurrentKey.Reference;
    std::cout << "found=" << (found != 0 ? "true" : "false") << " recno=" << record << '\n';
    return 0;
}

} // namespace tarnis::tool
