// Runs the built tarnis tool (TARNIS_TOOL) as a separate process for the tool tests.
#pragma once

#include <string>
#include <vector>

namespace tarnis::test {

struct ToolRun {
    int Status; // exit status; -1 when the tool did not exit normally
    std::string Out;
    std::string Err;
};

// The argument quoted for the shell.
std::string Quote(const std::string& arg);
ToolRun Tarnis(const std::vector<std::string>& args);
// The lines of a text, without their line ends.
std::vector<std::string> Lines(const std::string& text);

} // namespace tarnis::test
