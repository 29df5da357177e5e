#pragma once

#include <cstdint>

namespace talwen {
namespace sqlite {

// What the record inspector expects of one column: the serial types its
// affinity admits, whether NULL (serial type 0) is allowed, and optional bounds
// on the serial type itself (not on the stored value). A plain value.
struct FieldTypeInfo {
    static constexpr int32_t kNullable = 0x1;
    static constexpr int32_t kMinSet = 0x2;
    static constexpr int32_t kMaxSet = 0x4;
    // A REAL column that also admits the integer serial types, as SQLite stores
    // whole-number reals.
    static constexpr int32_t kIntegerReal = 0x8;

    uint8_t typeAffinity = 0;  // the Field affinity codes: 1, 2, 3, 4 or 6
    int32_t flags = 0;
    int64_t min = 0;
    int64_t max = 0;

    // True when serial type s may stand in this column.
    bool matches(int64_t s) const {
        if (s == 0 && (flags & kNullable) != 0) return true;
        bool admitted = false;
        switch (typeAffinity) {
            case 1: admitted = s >= 1 && s <= 9 && s != 7; break;   // INTEGER
            case 2:                                                  // REAL
                admitted = s == 7 || ((flags & kIntegerReal) != 0 && s >= 1 && s <= 9);
                break;
            case 3: admitted = s >= 13 && (s & 1) == 1; break;       // TEXT
            case 4: admitted = s >= 12 && (s & 1) == 0; break;       // BLOB
            case 6: admitted = s >= 1 && s <= 9; break;              // NUMERIC
            default: break;
        }
        if (!admitted) return false;
        if ((flags & kMinSet) != 0 && s < min) return false;
        if ((flags & kMaxSet) != 0 && s > max) return false;
        return true;
    }
};

}  // namespace sqlite
}  // namespace talwen
