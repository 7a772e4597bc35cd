// tarnis: the storage engine's command-line tool.
//
// Exit status: 0 success; 1 the engine failed (its message on standard error);
// 2 a usage error.
#include "engine/base/tv6_eror.h"
#include "platform/format_settings.h"
#include "tools/tarnis/commands.h"
#include "tools/tarnis/options.h"

#include <algorithm>
#include <cstring>
#include <iostream>
#include <map>

namespace {

constexpr const char* Usage = R"(usage: tarnis COMMAND [ARGS]

Commands:
  info TABLE [--index FILE]...
                              the table's header facts and fields; with --index
                              also each index file's tags (key, FOR, type, order,
                              uniqueness, number of keys)
  list TABLE [--deleted] [--json] [--codepage 850|1252|437|latin1]
             [--index FILE]... [--tag NAME] [--filter EXPR] [--range LOW HIGH]
                              the records in file order, or in the order of the
                              tag (within the key range LOW..HIGH), those for which
                              the filter expression is true; deleted records only
                              with --deleted (and then marked); --json prints one
                              object per line; text is decoded from the stored
                              bytes by --codepage (default 850)
  seek TABLE --index FILE --tag NAME KEY [--soft] [--codepage ...]
                              looks KEY up in the tag (text, a number, or a date as
                              yyyymmdd): "found=true|false recno=N"; without a match
                              recno is 0, or with --soft the next greater key's
  memo TABLE RECNO FIELD      one memo's stored text, as raw bytes
  import TABLE [--index FILE]... [--codepage ...] [--shared] [--protocol 0-3]
         FILE.jsonl|-         appends one record per JSON line (the form list --json
                              prints; absent fields blank), keeping every given
                              index current; --shared opens the table for sharing
                              with other processes, with the lock protocol given
  pack TABLE [--index FILE]...
                              removes the deleted records and rebuilds the indexes
  check TABLE --index FILE...
                              verifies every tag against the table; exit status 1
                              with a report of what is wrong
  index TABLE FILE.CDX TAG KEY [--for EXPR] [--unique] [--descending]
        [--codepage ...]      builds the tag from the table into the compound
                              file (made when missing), replacing a tag of that
                              name: "TAG: N keys"
  reindex TABLE --index FILE...
                              rebuilds every tag of the files: "FILE TAG: N keys"
                              per tag; a progress bar on a terminal
  deltag TABLE FILE.CDX TAG   removes the tag from the compound file
  eval TABLE EXPR [--deleted] [--codepage ...]
                              evaluates the xBase expression for every record:
                              one line "recno<TAB>value" per record (dates as
                              yyyymmdd, logicals as .T./.F.)

Options:
  --help                      this text

Exit status: 0 success, 1 the engine reported an error, 2 usage error.
)";

} // namespace

int main(int argc, char** argv) {
    using namespace tarnis::tool;
    const Args all(argv + 1, argv + argc);
    if (all.empty()) {
        std::cerr << Usage;
        return 2;
    }
    if (std::find(all.begin(), all.end(), "--help") != all.end() || all[0] == "help") {
        std::cout << Usage;
        return 0;
    }
    const std::map<std::string, int (*)(const Args&)> commands = {
        {"info", CommandInfo},   {"list", CommandList},     {"memo", CommandMemo},
        {"eval", CommandEval},   {"import", CommandImport}, {"pack", CommandPack},
        {"check", CommandCheck}, {"seek", CommandSeek},     {"index", CommandIndex},
        {"reindex", CommandReindex}, {"deltag", CommandDeleteTag}};
    const auto command = commands.find(all[0]);
    try {
        if (command == commands.end()) throw UsageError("unknown command " + all[0]);
        return command->second(Args(all.begin() + 1, all.end()));
    } catch (const UsageError& e) {
        std::cerr << "tarnis: " << e.what() << "\n\n" << Usage;
        return 2;
    } catch (const std::exception& e) {
        // Engine messages may hold a carriage return before the file name.
        std::string message = e.what();
        std::replace(message.begin(), message.end(), '\r', '\n');
        std::cerr << message << '\n';
        return 1;
    }
}
