// The message renderer over arbitrary message texts of every type. Property: no
// markup of the message reaches the page as markup. The seeds carry a marker tag
// and attribute (<fzx fzattr=...>) in the places the renderer reads; a page tag
// named fz..., a fzattr attribute or a script tag is markup that got through.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>

#include <QString>
#include <QTextStream>

#include "app/pages/MessageRenderer.h"

using namespace talwen::app;

namespace {

const int32_t kTypes[] = {1, 3, 34, 42, 43, 47, 48, 49, 50, 62, 10000, 10002};

// The first markup of the page that came from the message, or empty. Text of the
// message is escaped, so every '<' of the page opens one of the renderer's own
// tags; inside a tag, quoted values are the message's escaped text. What is left
// of a tag outside its quotes must not name the marker tag, the marker attribute
// or a script.
std::string injectedMarkup(const QString& page) {
    const std::string html = page.toLower().toStdString();
    size_t at = 0;
    while ((at = html.find('<', at)) != std::string::npos) {
        std::string tag;
        size_t i = at + 1;
        char quote = 0;
        for (; i < html.size() && (quote != 0 || html[i] != '>'); ++i) {
            const char c = html[i];
            if (quote != 0) {
                if (c == quote) quote = 0;
            } else if (c == '"' || c == '\'') {
                quote = c;
            } else {
                tag += c;
            }
        }
        if (tag.rfind("fz", 0) == 0 || tag.rfind("/fz", 0) == 0 || tag.find("fzattr") != std::string::npos ||
            tag.rfind("script", 0) == 0) {
            return html.substr(at, i - at + 1);
        }
        at = i;
    }
    return std::string();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2 || size > 64 * 1024) return 0;
    static const std::map<int32_t, FriendEntry> friends;
    RenderContext context;
    context.friendMap = &friends;
    context.accountDir = QStringLiteral("0123456789abcdef0123456789abcdef");
    const MessageRenderer renderer(context);

    ChatEntry entry;
    entry.type = kTypes[data[0] % (sizeof kTypes / sizeof kTypes[0])];
    entry.des = data[1] & 1;
    entry.obtainWay = (data[1] & 2) ? 1 : 2;
    entry.mesLocalId = 7;
    entry.createTime = 1500000000;
    entry.message = QString::fromUtf8(reinterpret_cast<const char*>(data + 2), static_cast<int>(size - 2));
    QString page;
    {
        QTextStream out(&page);
        renderer.renderMessageBody(entry, out, MessageRenderer::contactDigest(QStringLiteral("fz")), 0);
    }
    const std::string injected = injectedMarkup(page);
    if (!injected.empty()) {
        std::fprintf(stderr, "markup of the message got through: %s\nin: %s\n", injected.c_str(),
                     page.toUtf8().constData());
        std::abort();
    }
    return 0;
}
