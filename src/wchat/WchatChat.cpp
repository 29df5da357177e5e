#include "wchat/WchatChat.h"

namespace talwen {
namespace wchat {

// The two patterns are matched by hand rather than with std::regex: the message
// texts are long (XML payloads), and the library's backtracking matcher recurses
// once per character of a trailing ".*", which can exhaust the stack. The
// hand-written scans accept exactly what these ECMAScript patterns accept when
// they must match the whole examined text:
//   tagged sender:  [\w|@|-]+
//   from attribute: fromusername\s*=\s*"([\w|@|-]+)".*
namespace {

// [\w|@|-]: ASCII letters, digits, "_", "|", "@" and "-".
bool isUserNameChar(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
           c == '|' || c == '@' || c == '-';
}

// \s of the ECMAScript grammar over single bytes in the classic locale.
bool isSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

}  // namespace

std::string WchatChat::findTaggedUserName(const std::string& text) {
    const size_t end = text.find(":\n");
    if (end == std::string::npos || end == 0) return std::string();
    for (size_t i = 0; i < end; ++i) {
        if (!isUserNameChar(text[i])) return std::string();
    }
    return text.substr(0, end);
}

std::string WchatChat::findFromUserName(const std::string& text) {
    static const std::string kAttribute = "fromusername";
    size_t pos = text.find(kAttribute);
    if (pos == std::string::npos) return std::string();
    pos += kAttribute.size();
    while (pos < text.size() && isSpace(text[pos])) ++pos;
    if (pos >= text.size() || text[pos] != '=') return std::string();
    ++pos;
    while (pos < text.size() && isSpace(text[pos])) ++pos;
    if (pos >= text.size() || text[pos] != '"') return std::string();
    const size_t nameBegin = ++pos;
    while (pos < text.size() && isUserNameChar(text[pos])) ++pos;
    if (pos == nameBegin || pos >= text.size() || text[pos] != '"') return std::string();
    const size_t nameEnd = pos;
    // ".*" to the end of the text: "." matches no line feed or carriage return.
    if (text.find_first_of("\n\r", nameEnd + 1) != std::string::npos) return std::string();
    return text.substr(nameBegin, nameEnd - nameBegin);
}

void WchatChat::setMessage(const std::string& value) {
    message_ = value;
    markSet(kMessageFlag);
    const std::string tagged = findTaggedUserName(value);
    if (!tagged.empty()) setTaggedUserName(tagged);
    const std::string from = findFromUserName(value);
    if (!from.empty()) setFromUserName(from);
}

}  // namespace wchat
}  // namespace talwen
