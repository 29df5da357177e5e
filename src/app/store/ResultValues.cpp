#include "app/store/ResultValues.h"

namespace talwen {
namespace app {

bool ResultValues::integerValue(size_t row, const char* column, int64_t* value) const {
    const auto cell = rows_.getValue(static_cast<uint32_t>(row), column);
    if (!cell->isInteger()) return false;
    *value = cell->getIntegerValue();
    return true;
}

bool ResultValues::textValue(size_t row, const char* column, QString* value) const {
    const auto cell = rows_.getValue(static_cast<uint32_t>(row), column);
    if (!cell->isText()) return false;
    const std::string& text = cell->getTextValue();
    *value = QString::fromUtf8(text.data(), static_cast<int>(text.size()));
    return true;
}

}  // namespace app
}  // namespace talwen
