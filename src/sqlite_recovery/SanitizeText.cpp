// Placeholder until the Unicode 6.2 printable table is generated: keeps nothing
// but line feeds and printable ASCII.
#include "sqlite_recovery/CommonFacility.h"

namespace talwen {
namespace common {

bool isPrintableCodePoint(uint32_t codePoint) {
    return codePoint == 0x0A || (codePoint >= 0x20 && codePoint < 0x7F);
}

std::string sanitizeText(const std::string& utf8) {
    std::string out;
    for (char c : utf8) {
        if (isPrintableCodePoint(static_cast<unsigned char>(c))) out += c;
    }
    return out;
}

}  // namespace common
}  // namespace talwen
