#pragma once

#include <string>

namespace talwen {
namespace common {

// The file operations whose system calls differ between POSIX systems and
// Windows, for writing a file under a temporary name in its directory and giving
// it its own name only once it is whole. Paths are UTF-8 (UTF-16 for the Windows
// calls); a failure comes with the system's own text (strerror, FormatMessage).

// Creates a new, empty file in the directory of `path`, named "." + the file name
// of `path` + `tag` + six random characters, and returns its path. An existing
// file is never opened. Empty on failure, with the reason in *failure.
std::string createTemporaryFileNextTo(const std::string& path, const std::string& tag, std::string* failure);

enum class PublishResult {
    Published,      // `path` is the file; the temporary name is gone
    AlreadyExists,  // something has the name `path`; nothing was changed
    Failed,         // the reason is in *failure; nothing was changed
};

// Gives the complete file `temporary` the name `path` (same directory) without
// ever replacing a file of that name, also one that appeared after a check:
// link() on POSIX (one more look and rename() where the file system has no hard
// links), MoveFileExW without MOVEFILE_REPLACE_EXISTING on Windows.
PublishResult publishFile(const std::string& temporary, const std::string& path, std::string* failure);

// Removes the file `path`: true when it is gone (or was never there); false with
// the reason in *failure (may be null) when it could not be removed.
bool removeFileIfPresent(const std::string& path, std::string* failure = nullptr);

}  // namespace common
}  // namespace talwen
