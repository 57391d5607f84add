#include "json.h"

#include <cstdlib>
#include <cstring>

const Json *Json::find(const std::string &key) const {
    for (const auto &member : members)
        if (member.first == key)
            return &member.second;
    return nullptr;
}

namespace {

// Deeper nesting than the tool writes is refused rather than recursed into.
constexpr int MAX_DEPTH = 32;

struct Reader {
    const std::string &s;
    std::size_t at = 0;
    std::string error;

    void blanks() {
        while (at < s.size() && std::strchr(" \t\r\n", s[at]) && s[at])
            ++at;
    }
    bool fail(const char *what) {
        if (error.empty())
            error = std::string(what) + " at byte " + std::to_string(at);
        return false;
    }
    bool literal(const char *word) {
        const std::size_t n = std::strlen(word);
        if (s.compare(at, n, word) != 0)
            return fail("not a JSON value");
        at += n;
        return true;
    }
    static void utf8(std::string &out, unsigned code) {
        if (code < 0x80) {
            out += static_cast<char>(code);
        } else if (code < 0x800) {
            out += static_cast<char>(0xC0 | code >> 6);
            out += static_cast<char>(0x80 | (code & 0x3F));
        } else {
            out += static_cast<char>(0xE0 | code >> 12);
            out += static_cast<char>(0x80 | (code >> 6 & 0x3F));
            out += static_cast<char>(0x80 | (code & 0x3F));
        }
    }
    bool string(std::string &out) {
        if (at >= s.size() || s[at] != '"')
            return fail("expected a string");
        for (++at; at < s.size() && s[at] != '"'; ++at) {
            const unsigned char c = static_cast<unsigned char>(s[at]);
            if (c < 0x20)
                return fail("a control character in a string");
            if (c != '\\') {
                out += static_cast<char>(c);
                continue;
            }
            if (++at >= s.size())
                break;
            const char *escapes = "\"\"\\\\//b\bf\fn\nr\rt\t";
            const char *found = std::strchr(escapes, s[at]);
            if (s[at] == 'u') {
                if (at + 4 >= s.size())
                    return fail("a short \\u escape");
                char *end = nullptr;
                const std::string hex = s.substr(at + 1, 4);
                const unsigned long code = std::strtoul(hex.c_str(), &end, 16);
                if (*end)
                    return fail("a bad \\u escape");
                utf8(out, static_cast<unsigned>(code));
                at += 4;
            } else if (found && (found - escapes) % 2 == 0 && s[at]) {
                out += found[1];
            } else {
                return fail("a bad escape");
            }
        }
        if (at >= s.size())
            return fail("an unterminated string");
        ++at;
        return true;
    }
    bool number(Json &value) {
        const std::size_t start = at;
        while (at < s.size() && std::strchr("+-0123456789.eE", s[at]) && s[at])
            ++at;
        const std::string digits = s.substr(start, at - start);
        char *end = nullptr;
        value.number = std::strtod(digits.c_str(), &end);
        if (digits.empty() || *end)
            return fail("not a JSON value");
        value.kind = Json::Kind::Number;
        return true;
    }
    // Items separated by ',' from the opening bracket at `at` to `close`;
    // `item` reads one.
    template <typename Item>
    bool sequence(char close, Item item) {
        ++at;
        blanks();
        if (at < s.size() && s[at] == close) {
            ++at;
            return true;
        }
        for (;;) {
            if (!item())
                return false;
            blanks();
            if (at < s.size() && s[at] == ',') {
                ++at;
                continue;
            }
            if (at < s.size() && s[at] == close) {
                ++at;
                return true;
            }
            return fail(close == '}' ? "expected ',' or '}'" : "expected ',' or ']'");
        }
    }
    bool value(Json &v, int depth) {
        if (depth > MAX_DEPTH)
            return fail("nested too deeply");
        blanks();
        const std::size_t start = at;
        if (at >= s.size())
            return fail("the text ends where a value should be");
        bool ok = true;
        switch (s[at]) {
        case '{':
            v.kind = Json::Kind::Object;
            ok = sequence('}', [&] {
                std::string key;
                Json member;
                blanks();
                if (!string(key))
                    return false;
                blanks();
                if (at >= s.size() || s[at] != ':')
                    return fail("expected ':'");
                ++at;
                if (!value(member, depth + 1))
                    return false;
                v.members.emplace_back(std::move(key), std::move(member));
                return true;
            });
            break;
        case '[':
            v.kind = Json::Kind::Array;
            ok = sequence(']', [&] {
                Json item;
                if (!value(item, depth + 1))
                    return false;
                v.items.push_back(std::move(item));
                return true;
            });
            break;
        case '"':
            v.kind = Json::Kind::String;
            return string(v.text);
        case 't': v.kind = Json::Kind::Boolean; v.boolean = true; ok = literal("true"); break;
        case 'f': v.kind = Json::Kind::Boolean; ok = literal("false"); break;
        case 'n': ok = literal("null"); break;
        default: ok = number(v); break;
        }
        if (ok)
            v.text = s.substr(start, at - start);
        return ok;
    }
};

}  // namespace

bool parse_json(const std::string &text, Json &value, std::string &error) {
    Reader reader{text, 0, {}};
    bool ok = reader.value(value, 0);
    reader.blanks();
    if (ok && reader.at != text.size())
        ok = reader.fail("text after the value");
    error = reader.error;
    return ok;
}
