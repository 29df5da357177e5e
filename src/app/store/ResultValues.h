#pragma once

#include <cstdint>
#include <string>

#include <QString>

#include "sqldb/ResultSet.h"

namespace talwen {
namespace app {

// Reads of one value of a query result into the fields of the app's lists. A value
// that is NULL or of another storage class leaves the field as it was, so a fresh
// record keeps its initial 0 or empty text. The column must be one the statement
// selects (ResultSet throws otherwise).
class ResultValues {
public:
    explicit ResultValues(const sqldb::ResultSet& rows) : rows_(rows) {}

    size_t rowCount() const { return rows_.getRowCount(); }

    bool integerValue(size_t row, const char* column, int64_t* value) const;
    bool textValue(size_t row, const char* column, QString* value) const;

    // Both reads return whether the field was set.
    template <typename T>
    bool readInteger(size_t row, const char* column, T* field) const {
        int64_t value = 0;
        if (!integerValue(row, column, &value)) return false;
        *field = static_cast<T>(value);
        return true;
    }
    bool readText(size_t row, const char* column, QString* field) const { return textValue(row, column, field); }

private:
    const sqldb::ResultSet& rows_;
};

}  // namespace app
}  // namespace talwen
