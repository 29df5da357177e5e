#pragma once

// A small JSON reader for the ground truth the fixture generator writes next to a
// generated database. Enough of RFC 8259 for that file: objects, arrays, strings
// with every escape (\uXXXX surrogate pairs become one UTF-8 character), numbers
// (integers kept exact up to 64 bits), true, false, null. Throws std::runtime_error
// on malformed input.

#include <cstdint>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace wcrtest {

class JsonValue {
public:
    enum class Kind { Null, Bool, Integer, Real, String, Array, Object };

    Kind kind = Kind::Null;
    bool boolValue = false;
    int64_t integerValue = 0;
    double realValue = 0.0;
    std::string stringValue;
    std::vector<JsonValue> items;
    std::map<std::string, JsonValue> members;

    bool isNull() const { return kind == Kind::Null; }
    const JsonValue& operator[](const std::string& key) const {
        const auto found = members.find(key);
        if (found == members.end()) throw std::runtime_error("JSON key missing: " + key);
        return found->second;
    }
    const std::string& str() const { return expect(Kind::String).stringValue; }
    int64_t integer() const { return expect(Kind::Integer).integerValue; }
    bool boolean() const { return expect(Kind::Bool).boolValue; }
    const std::vector<JsonValue>& array() const { return expect(Kind::Array).items; }

    static JsonValue parse(const std::string& text) {
        size_t at = 0;
        JsonValue value = parseValue(text, at);
        skipBlank(text, at);
        if (at != text.size()) fail("trailing characters", at);
        return value;
    }

private:
    const JsonValue& expect(Kind wanted) const {
        if (kind != wanted) throw std::runtime_error("JSON value of another kind");
        return *this;
    }
    [[noreturn]] static void fail(const std::string& what, size_t at) {
        throw std::runtime_error("JSON " + what + " at " + std::to_string(at));
    }
    static void skipBlank(const std::string& t, size_t& at) {
        while (at < t.size() && (t[at] == ' ' || t[at] == '\n' || t[at] == '\r' || t[at] == '\t'))
            ++at;
    }
    static void expectWord(const std::string& t, size_t& at, const char* word) {
        const std::string w(word);
        if (t.compare(at, w.size(), w) != 0) fail("bad literal", at);
        at += w.size();
    }
    static void appendUtf8(std::string& out, uint32_t cp) {
        if (cp < 0x80) {
            out += static_cast<char>(cp);
        } else if (cp < 0x800) {
            out += static_cast<char>(0xC0 | (cp >> 6));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else if (cp < 0x10000) {
            out += static_cast<char>(0xE0 | (cp >> 12));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (cp >> 18));
            out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        }
    }
    static uint32_t hex4(const std::string& t, size_t& at) {
        if (at + 4 > t.size()) fail("short \\u escape", at);
        const uint32_t value = static_cast<uint32_t>(std::stoul(t.substr(at, 4), nullptr, 16));
        at += 4;
        return value;
    }
    static std::string parseString(const std::string& t, size_t& at) {
        if (t[at] != '"') fail("string expected", at);
        ++at;
        std::string out;
        while (true) {
            if (at >= t.size()) fail("unterminated string", at);
            const char c = t[at++];
            if (c == '"') return out;
            if (c != '\\') {
                out += c;
                continue;
            }
            if (at >= t.size()) fail("unterminated escape", at);
            const char e = t[at++];
            switch (e) {
                case '"': out += '"'; break;
                case '\\': out += '\\'; break;
                case '/': out += '/'; break;
                case 'b': out += '\b'; break;
                case 'f': out += '\f'; break;
                case 'n': out += '\n'; break;
                case 'r': out += '\r'; break;
                case 't': out += '\t'; break;
                case 'u': {
                    uint32_t cp = hex4(t, at);
                    if (cp >= 0xD800 && cp < 0xDC00 && t.compare(at, 2, "\\u") == 0) {
                        size_t next = at + 2;
                        const uint32_t low = hex4(t, next);
                        if (low >= 0xDC00 && low < 0xE000) {
                            cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
                            at = next;
                        }
                    }
                    appendUtf8(out, cp);
                    break;
                }
                default: fail("bad escape", at);
            }
        }
    }
    static JsonValue parseValue(const std::string& t, size_t& at) {
        skipBlank(t, at);
        if (at >= t.size()) fail("value expected", at);
        JsonValue v;
        const char c = t[at];
        if (c == '{') {
            v.kind = Kind::Object;
            ++at;
            skipBlank(t, at);
            if (at < t.size() && t[at] == '}') {
                ++at;
                return v;
            }
            while (true) {
                skipBlank(t, at);
                std::string key = parseString(t, at);
                skipBlank(t, at);
                if (at >= t.size() || t[at] != ':') fail("':' expected", at);
                ++at;
                v.members[key] = parseValue(t, at);
                skipBlank(t, at);
                if (at < t.size() && t[at] == ',') {
                    ++at;
                    continue;
                }
                if (at < t.size() && t[at] == '}') {
                    ++at;
                    return v;
                }
                fail("',' or '}' expected", at);
            }
        }
        if (c == '[') {
            v.kind = Kind::Array;
            ++at;
            skipBlank(t, at);
            if (at < t.size() && t[at] == ']') {
                ++at;
                return v;
            }
            while (true) {
                v.items.push_back(parseValue(t, at));
                skipBlank(t, at);
                if (at < t.size() && t[at] == ',') {
                    ++at;
                    continue;
                }
                if (at < t.size() && t[at] == ']') {
                    ++at;
                    return v;
                }
                fail("',' or ']' expected", at);
            }
        }
        if (c == '"') {
            v.kind = Kind::String;
            v.stringValue = parseString(t, at);
            return v;
        }
        if (c == 't') {
            expectWord(t, at, "true");
            v.kind = Kind::Bool;
            v.boolValue = true;
            return v;
        }
        if (c == 'f') {
            expectWord(t, at, "false");
            v.kind = Kind::Bool;
            return v;
        }
        if (c == 'n') {
            expectWord(t, at, "null");
            return v;
        }
        const size_t start = at;
        bool real = false;
        while (at < t.size() && std::string("+-0123456789.eE").find(t[at]) != std::string::npos) {
            if (t[at] == '.' || t[at] == 'e' || t[at] == 'E') real = true;
            ++at;
        }
        if (start == at) fail("unexpected character", at);
        const std::string number = t.substr(start, at - start);
        if (real) {
            v.kind = Kind::Real;
            v.realValue = std::stod(number);
        } else {
            v.kind = Kind::Integer;
            v.integerValue = std::stoll(number);
        }
        return v;
    }
};

}  // namespace wcrtest
