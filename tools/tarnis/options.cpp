#include "tools/tarnis/options.h"

#include <algorithm>
#include <charconv>

namespace tarnis::tool {

Options::Options(const std::vector<std::string>& args, const std::vector<std::string>& flags,
                 const std::vector<std::string>& valued) {
    const auto known = [](const std::vector<std::string>& list, const std::string& name) {
        return std::find(list.begin(), list.end(), name) != list.end();
    };
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg.size() < 2 || arg.compare(0, 2, "--") != 0) {
            positional_.push_back(arg);
        } else if (known(flags, arg)) {
            flags_[arg] = true;
        } else if (known(valued, arg)) {
            if (i + 1 >= args.size()) throw UsageError(arg + " needs a value");
            values_[arg].push_back(args[++i]);
        } else {
            throw UsageError("unknown option " + arg);
        }
    }
}

void Options::ExpectPositional(size_t count, const char* what) const {
    if (positional_.size() != count) throw UsageError(std::string("expected ") + what);
}

std::optional<std::string> Options::Value(const std::string& name) const {
    const auto it = values_.find(name);
    if (it == values_.end()) return std::nullopt;
    return it->second.back();
}

std::vector<std::string> Options::Values(const std::string& name) const {
    const auto it = values_.find(name);
    return it == values_.end() ? std::vector<std::string>() : it->second;
}

TCodePage Options::CodePage() const {
    const std::string page = Value("--codepage").value_or("850");
    if (page == "850") return TCodePage::CP850;
    if (page == "1252") return TCodePage::CP1252;
    if (page == "437") return TCodePage::CP437;
    if (page == "latin1") return TCodePage::Latin1;
    throw UsageError("--codepage must be 850, 1252, 437 or latin1");
}

long ParseInteger(const std::string& text, long low, long high, const char* what) {
    long value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || value < low || value > high)
        throw UsageError(std::string("invalid ") + what + ": " + text);
    return value;
}

} // namespace tarnis::tool
