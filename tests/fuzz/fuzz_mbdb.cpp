// The Manifest.mbdb parser over arbitrary bytes, with and without a domain filter.
#include <cstdint>

#include "backup/MbdbParser.h"

using namespace talwen::backup;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    (void)MbdbParser::parse(data, size);
    MbdbParser::Selection selection;
    selection.domain = "AppDomain-com.tencent.xin";
    bool overLimit = false;
    (void)MbdbParser::parse(data, size, selection, &overLimit);
    return 0;
}
