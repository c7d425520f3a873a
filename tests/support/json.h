// A strict JSON parser for the tests that read framecmp's JSON back: anything that is not
// valid JSON fails the test that parses it.
#pragma once

#include <gtest/gtest.h>

#include <cctype>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

struct Json {
    enum Kind { null, boolean, number, string, array, object } kind = null;
    bool flag = false;
    double value = 0;
    std::string text; // UTF-8
    std::vector<Json> items;
    std::map<std::string, Json> members;

    const Json& operator[](const std::string& key) const
    {
        static const Json missing;
        const auto found = members.find(key);
        if (kind != object || found == members.end()) {
            ADD_FAILURE() << "no member " << key;
            return missing;
        }
        return found->second;
    }
    const Json& operator[](size_t i) const
    {
        static const Json missing;
        if (kind != array || i >= items.size()) {
            ADD_FAILURE() << "no item " << i;
            return missing;
        }
        return items[i];
    }
};

struct JsonReader {
    const std::string& s;
    size_t at = 0;
    bool bad = false;

    void space()
    {
        while (at < s.size() && (s[at] == ' ' || s[at] == '\n' || s[at] == '\t' || s[at] == '\r')) {
            ++at;
        }
    }
    bool take(const std::string& word)
    {
        if (s.compare(at, word.size(), word) != 0) {
            return false;
        }
        at += word.size();
        return true;
    }
    static void putUtf8(uint32_t c, std::string& out)
    {
        if (c < 0x80) {
            out += char(c);
        } else if (c < 0x800) {
            out += char(0xc0 | (c >> 6));
            out += char(0x80 | (c & 0x3f));
        } else {
            out += char(0xe0 | (c >> 12));
            out += char(0x80 | ((c >> 6) & 0x3f));
            out += char(0x80 | (c & 0x3f));
        }
    }
    std::string stringBody()
    {
        std::string out;
        ++at; // the opening quote
        while (at < s.size() && s[at] != '"') {
            const auto c = static_cast<unsigned char>(s[at]);
            if (c < 0x20) {
                bad = true;
                return out;
            }
            if (c != '\\') {
                out += char(c);
                ++at;
                continue;
            }
            const char e = at + 1 < s.size() ? s[at + 1] : '\0';
            at += 2;
            const std::string simple = "\"\\/bfnrt";
            const std::string meant = "\"\\/\b\f\n\r\t";
            if (simple.find(e) != std::string::npos && e != '\0') {
                out += meant[simple.find(e)];
            } else if (e == 'u' && at + 4 <= s.size()) {
                putUtf8(uint32_t(std::stoul(s.substr(at, 4), nullptr, 16)), out);
                at += 4;
            } else {
                bad = true;
                return out;
            }
        }
        bad = bad || at >= s.size();
        ++at;
        return out;
    }
    Json value()
    {
        space();
        Json v;
        if (at >= s.size()) {
            bad = true;
        } else if (take("null")) {
        } else if (take("true") || take("false")) {
            v.kind = Json::boolean;
            v.flag = s[at - 1] == 'e' && s[at - 2] == 'u';
        } else if (s[at] == '"') {
            v.kind = Json::string;
            v.text = stringBody();
        } else if (s[at] == '[' || s[at] == '{') {
            const bool isObject = s[at] == '{';
            v.kind = isObject ? Json::object : Json::array;
            ++at;
            space();
            if (take(isObject ? "}" : "]")) {
                return v;
            }
            for (;;) {
                space();
                if (isObject) {
                    if (at >= s.size() || s[at] != '"') {
                        bad = true;
                        return v;
                    }
                    const std::string key = stringBody();
                    space();
                    bad = bad || !take(":") || v.members.count(key) != 0;
                    v.members[key] = value();
                } else {
                    v.items.push_back(value());
                }
                space();
                if (take(",")) {
                    continue;
                }
                bad = bad || !take(isObject ? "}" : "]");
                return v;
            }
        } else {
            // -?(0|[1-9][0-9]*)(.[0-9]+)?([eE][+-]?[0-9]+)?
            const size_t start = at;
            take("-");
            const auto digits = [&] {
                const size_t from = at;
                while (at < s.size() && std::isdigit(static_cast<unsigned char>(s[at]))) {
                    ++at;
                }
                return at - from;
            };
            const size_t whole = digits();
            bad = bad || whole == 0 || (whole > 1 && s[start + (s[start] == '-' ? 1 : 0)] == '0');
            if (take(".")) {
                bad = bad || digits() == 0;
            }
            if (take("e") || take("E")) {
                take("+") || take("-");
                bad = bad || digits() == 0;
            }
            v.kind = Json::number;
            v.value = std::stod(s.substr(start, at - start));
        }
        return v;
    }
};

// The one JSON value of `text`, or a failure of the test.
inline Json parseJson(const std::string& text)
{
    JsonReader reader{text};
    Json v = reader.value();
    reader.space();
    EXPECT_FALSE(reader.bad || reader.at != text.size()) << "not valid JSON near byte " << reader.at << ":\n"
                                                         << text.substr(0, 2000);
    return v;
}
