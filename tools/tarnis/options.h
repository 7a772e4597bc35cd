// Command-line arguments of the tarnis tool: positional arguments and "--name
// [value]" options, checked against what each command accepts.
#pragma once

#include "platform/code_page.h"

#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace tarnis::tool {

// A usage error: the tool prints it with the usage text and exits with status 2.
class UsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class Options {
public:
    // Flags take no value; valued options take the next argument and may be given
    // more than once. Anything else starting with "--" is a usage error.
    Options(const std::vector<std::string>& args, const std::vector<std::string>& flags,
            const std::vector<std::string>& valued);

    const std::vector<std::string>& Positional() const { return positional_; }
    // The positional arguments, which must be exactly `count`.
    void ExpectPositional(size_t count, const char* what) const;
    bool Flag(const std::string& name) const { return flags_.count(name) != 0; }
    // The last value given for the option.
    std::optional<std::string> Value(const std::string& name) const;
    // Every value given for the option, in order.
    std::vector<std::string> Values(const std::string& name) const;
    // --codepage 850|1252|437|latin1 (default 850).
    TCodePage CodePage() const;

private:
    std::vector<std::string> positional_;
    std::map<std::string, bool> flags_;
    std::map<std::string, std::vector<std::string>> values_;
};

// A whole decimal number within [low, high], else a usage error naming `what`.
long ParseInteger(const std::string& text, long low, long high, const char* what);

} // namespace tarnis::tool
