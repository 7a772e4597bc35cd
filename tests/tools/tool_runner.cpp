#include "tool_runner.h"

#include "support/temp_dir.h"
#include "support/test_data.h"

#include <cstdio>
#include <sys/wait.h>

namespace tarnis::test {

std::string Quote(const std::string& arg) {
    std::string q = "'";
    for (char c : arg)
        q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

ToolRun Tarnis(const std::vector<std::string>& args) {
    TempDir dir;
    std::string command = Quote(TARNIS_TOOL);
    for (const auto& a : args)
        command += " " + Quote(a);
    command += " 2>" + Quote(dir.File("err"));
    FILE* pipe = popen(command.c_str(), "r");
    std::string out;
    char buffer[4096];
    for (size_t n; (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;)
        out.append(buffer, n);
    const int status = pclose(pipe);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, out, ReadFileBytes(dir.File("err"))};
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
        lines.push_back(text.substr(start, end - start));
    return lines;
}

} // namespace tarnis::test
