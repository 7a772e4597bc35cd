#include "tools/tarnis/json_line.h"

#include "platform/code_page.h"

#include <charconv>

namespace tarnis::tool {

namespace {

class Reader {
public:
    explicit Reader(std::string_view text) : text_(text) {}

    JsonObject Object() {
        JsonObject members;
        Expect('{');
        SkipBlanks();
        if (Peek() == '}') {
            ++pos_;
        } else {
            for (;;) {
                SkipBlanks();
                std::string name = String();
                Expect(':');
                members.emplace_back(std::move(name), Value());
                SkipBlanks();
                if (Peek() == ',') {
                    ++pos_;
                    continue;
                }
                Expect('}');
                break;
            }
        }
        SkipBlanks();
        if (pos_ != text_.size()) Fail("text after the object");
        return members;
    }

private:
    std::string_view text_;
    size_t pos_ = 0;

    [[noreturn]] void Fail(const std::string& what) const {
        throw JsonError(what + " at column " + std::to_string(pos_ + 1));
    }
    char Peek() const { return pos_ < text_.size() ? text_[pos_] : '\0'; }
    void SkipBlanks() {
        while (pos_ < text_.size() &&
               (text_[pos_] == ' ' || text_[pos_] == '\t' || text_[pos_] == '\r'))
            ++pos_;
    }
    void Expect(char c) {
        SkipBlanks();
        if (Peek() != c) Fail(std::string("expected '") + c + "'");
        ++pos_;
    }
    bool Word(std::string_view word) {
        if (text_.substr(pos_, word.size()) != word) return false;
        pos_ += word.size();
        return true;
    }

    uint32_t Hex4() {
        if (pos_ + 4 > text_.size()) Fail("short \\u escape");
        uint32_t value = 0;
        const auto [end, error] =
            std::from_chars(text_.data() + pos_, text_.data() + pos_ + 4, value, 16);
        if (error != std::errc() || end != text_.data() + pos_ + 4) Fail("bad \\u escape");
        pos_ += 4;
        return value;
    }

    std::string String() {
        Expect('"');
        std::string out;
        for (;;) {
            if (pos_ >= text_.size()) Fail("unterminated string");
            const char c = text_[pos_++];
            if (c == '"') return out;
            if (static_cast<unsigned char>(c) < 0x20) Fail("control character in string");
            if (c != '\\') {
                out += c;
                continue;
            }
            const char e = Peek();
            ++pos_;
            switch (e) {
            case '"':
            case '\\':
            case '/':
                out += e;
                break;
            case 'b':
                out += '\b';
                break;
            case 'f':
                out += '\f';
                break;
            case 'n':
                out += '\n';
                break;
            case 'r':
                out += '\r';
                break;
            case 't':
                out += '\t';
                break;
            case 'u': {
                uint32_t cp = Hex4();
                if (cp >= 0xD800 && cp < 0xDC00 && Word("\\u")) {
                    const uint32_t low = Hex4();
                    if (low < 0xDC00 || low >= 0xE000) Fail("bad surrogate pair");
                    cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
                }
                AppendUtf8(out, cp);
                break;
            }
            default:
                Fail("bad escape");
            }
        }
    }

    JsonValue Value() {
        SkipBlanks();
        JsonValue v;
        const char c = Peek();
        if (c == '"') {
            v.Type = JsonValue::Kind::String;
            v.Text = String();
        } else if (Word("true")) {
            v.Type = JsonValue::Kind::Bool;
            v.Bool = true;
        } else if (Word("false")) {
            v.Type = JsonValue::Kind::Bool;
        } else if (Word("null")) {
            v.Type = JsonValue::Kind::Null;
        } else if (c == '-' || (c >= '0' && c <= '9')) {
            const auto [end, error] =
                std::from_chars(text_.data() + pos_, text_.data() + text_.size(), v.Number);
            if (error != std::errc()) Fail("bad number");
            pos_ = static_cast<size_t>(end - text_.data());
            v.Type = JsonValue::Kind::Number;
        } else {
            Fail("expected a string, number, true, false or null");
        }
        return v;
    }
};

} // namespace

JsonObject ParseJsonLine(std::string_view line) {
    return Reader(line).Object();
}

} // namespace tarnis::tool
