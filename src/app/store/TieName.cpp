#include "app/store/TieName.h"

namespace talwen {
namespace app {

QString tieName(int deduceType) {
    switch (deduceType) {
        case 1: return QStringLiteral("live conversation table");
        case 2: return QStringLiteral("page of a known contact's table");
        case 3: return QStringLiteral("page of a made-up contact's table");
        case 4: return QStringLiteral("chat room by tagged senders");
        case 5: return QStringLiteral("contact by fromusername");
        case 6: return QStringLiteral("page of a known contact's table b-tree");
        case 7: return QStringLiteral("table of a user name proved by its hash");
        case 8: return QStringLiteral("run of freed pages of one table");
        case 9: return QStringLiteral("freed with pages of a known conversation");
        case 10: return QStringLiteral("fits the gaps of one surviving conversation only");
        default: return QStringLiteral("deduce type ") + QString::number(deduceType);
    }
}

}  // namespace app
}  // namespace talwen
