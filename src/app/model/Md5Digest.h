#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace talwen {
namespace app {

// MD5 (RFC 1321) of `length` bytes as 32 lower-case hexadecimal digits. The
// messenger names a contact's media directories after this digest of its user name.
std::string md5Hex(const uint8_t* bytes, size_t length);
std::string md5Hex(const std::string& bytes);

}  // namespace app
}  // namespace talwen
