// One JSON object per line, as `tarnis list --json` prints them and `tarnis import`
// reads them: members whose values are strings, numbers, true, false or null.
// Nested objects and arrays are not part of this form.
#pragma once

#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tarnis::tool {

struct JsonValue {
    enum class Kind { Null, Bool, Number, String } Type = Kind::Null;
    bool Bool = false;
    double Number = 0;
    std::string Text; // UTF-8
};

using JsonObject = std::vector<std::pair<std::string, JsonValue>>;

class JsonError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Parses one line; throws JsonError naming what is wrong.
JsonObject ParseJsonLine(std::string_view line);

} // namespace tarnis::tool
