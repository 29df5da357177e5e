#pragma once

#include <cstdint>

namespace talwen {
namespace app {

// Limits of picture downloads. The defaults are the product's; tests shorten them.
struct PictureSettings {
    // Fetch nothing at all (examiners who must not touch the network).
    bool offline = false;
    // For the whole request, redirects and body included.
    int timeoutMs = 15000;
    // A longer body is not read further and nothing is saved.
    int64_t maxBytes = 5 * 1024 * 1024;
    int maxRedirects = 5;
    // A picture wider or taller is not decoded: a small file can declare a huge image.
    int maxImageSide = 2048;
};

}  // namespace app
}  // namespace talwen
