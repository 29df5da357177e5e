#pragma once

#include <QString>

namespace talwen {
namespace app {

// What a WC_Chatroom deduceType says: how a message was tied to its conversation,
// as the report and the machine export name it.
QString tieName(int deduceType);

}  // namespace app
}  // namespace talwen
