#include "app/export/ConversationPaging.h"

#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTextStream>
#include <QUrl>

#include "app/pages/HtmlText.h"
#include "app/store/ConversationSlice.h"
#include "app/store/PageTime.h"
#include "app/store/TimeText.h"

namespace talwen {
namespace app {

namespace {

const char* const kSearchFile = "search.js";

// Page texts are UTF-8 literals; a text stream would take a char* for Latin-1.
QString u8text(const char* text) { return QString::fromUtf8(text); }

QString urlPart(const QString& name) { return QString::fromLatin1(QUrl::toPercentEncoding(name)); }

QString head(const QString& title, bool inPagesDir) {
    QString html = QStringLiteral("<!DOCTYPE html><html lang=\"zh\"><head><meta charset=\"utf-8\">");
    if (inPagesDir) {
        // Every address of the messages (css/, images/, files/, voice/) is one of the
        // export root, as in a page of its own.
        html += QStringLiteral("<base href=\"../\">");
    }
    html += QStringLiteral("<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\"><title>") +
            escapeHtmlText(title) +
            QStringLiteral(
                "</title><link href=\"css/page-base.css\" rel=\"stylesheet\">"
                "<link href=\"css/page.css\" rel=\"stylesheet\"><script src=\"js/page.js\"></script>"
                "<script src=\"js/paging.js\"></script></head>");
    return html;
}

// In the zone the pages write their times in.
QString rangeText(const ConversationPaging::Range& range, bool utc) {
    return pageTimeText(range.firstTime, utc) + QStringLiteral(" – ") + pageTimeText(range.lastTime, utc);
}

// Page links relative to the export root: "<dir>/0003.html".
QString pageLink(const QString& dirUrl, size_t index, const char* fragment = "") {
    return escapeHtmlAttribute(dirUrl + QStringLiteral("/") + ConversationPaging::pageFileName(index) +
                               QLatin1String(fragment));
}

void writeNavigation(QTextStream& out, const QString& overviewUrl, const QString& dirUrl, size_t index,
                     const std::vector<ConversationPaging::Range>& ranges, bool utc) {
    const size_t last = ranges.size() - 1;
    out << R"HTML(<div class="page-nav"><a href=")HTML" << escapeHtmlAttribute(overviewUrl)
        << u8text(R"HTML(">全部页面</a>)HTML");
    out << R"HTML(<a href=")HTML" << pageLink(dirUrl, 0) << u8text(R"HTML(">最早</a>)HTML");
    if (index > 0)
        out << R"HTML(<a href=")HTML" << pageLink(dirUrl, index - 1, "#end") << u8text(R"HTML(">上一页</a>)HTML");
    out << u8text(R"HTML(<span class="page-nav-here">第 )HTML") << index + 1 << " / " << ranges.size()
        << u8text(" 页 · ") << escapeHtmlText(rangeText(ranges[index], utc)) << "</span>";
    if (index < last) out << R"HTML(<a href=")HTML" << pageLink(dirUrl, index + 1) << u8text(R"HTML(">下一页</a>)HTML");
    out << R"HTML(<a href=")HTML" << pageLink(dirUrl, last, "#end") << u8text(R"HTML(">最新</a>)HTML");
    if (ranges[index].deleted > 0) {
        out << u8text(R"HTML(<button type="button" onclick="wcrNextDeleted()">下一条已删除（本页 )HTML")
            << ranges[index].deleted << u8text(R"HTML( 条）</button>)HTML");
    }
    out << "</div>";
}

// The texts the search looks through: text messages and system notices.
QString searchText(const ChatEntry& entry) {
    const QString t = MessageRenderer::messageText(entry.message, entry.taggedUserName, entry.type);
    if (entry.type == 1) return t;
    if (entry.type == 10000) return MessageRenderer::stripTags(t);
    return QString();
}

bool writeSearchData(const QString& path, const std::vector<ChatEntry>& conversation,
                     const std::vector<ConversationPaging::Range>& ranges) {
    QJsonArray pages;
    QJsonArray items;
    for (size_t p = 0; p < ranges.size(); ++p) {
        pages.append(ConversationPaging::pageFileName(p));
        for (size_t i = ranges[p].first; i < ranges[p].first + ranges[p].count; ++i) {
            const ChatEntry& entry = conversation[i];
            const QString text = searchText(entry);
            if (text.isEmpty()) continue;
            items.append(QJsonArray{static_cast<qint64>(p), entry.rcChatId, static_cast<qint64>(entry.createTime),
                                    entry.obtainWay == 1 ? 0 : 1, text});
        }
    }
    QString json =
        QString::fromUtf8(QJsonDocument(QJsonObject{{QStringLiteral("pages"), pages}, {QStringLiteral("items"), items}})
                              .toJson(QJsonDocument::Compact));
    // Line and paragraph separators end a line in older script engines.
    json.replace(QChar(0x2028), QStringLiteral("\\u2028")).replace(QChar(0x2029), QStringLiteral("\\u2029"));
    return writePageFile(path, [&](QTextStream& out) { out << "wcrSearchIndex(" << json << ");\n"; }).written;
}

}  // namespace

std::vector<ConversationPaging::Range> ConversationPaging::split(const std::vector<ChatEntry>& conversation,
                                                                 int messagesPerPage) {
    const size_t perPage = static_cast<size_t>(messagesPerPage < 1 ? 1 : messagesPerPage);
    std::vector<Range> ranges;
    for (size_t first = 0; first < conversation.size(); first += perPage) {
        Range range;
        range.first = first;
        range.count = std::min(perPage, conversation.size() - first);
        range.firstTime = conversation[first].createTime;
        range.lastTime = conversation[first + range.count - 1].createTime;
        for (size_t i = first; i < first + range.count; ++i) {
            if (conversation[i].obtainWay != 1) ++range.deleted;
        }
        ranges.push_back(range);
    }
    return ranges;
}

QString ConversationPaging::pagesDirName(const QString& fileName) {
    QString base = fileName;
    if (base.endsWith(QLatin1String(".html"))) base.chop(5);
    return base + QStringLiteral("_pages");
}

QString ConversationPaging::pageFileName(size_t pageIndex) {
    return QStringLiteral("%1.html").arg(static_cast<qulonglong>(pageIndex + 1), 4, 10, QChar('0'));
}

PageFile ConversationPaging::write(const RenderContext& context, const FriendEntry& contact,
                                   const std::vector<ChatEntry>& conversation, const QString& exportDir,
                                   const QString& fileName, int messagesPerPage) {
    const std::vector<Range> ranges = split(conversation, messagesPerPage);
    const QString dirName = pagesDirName(fileName);
    const QString dirPath = exportDir + QStringLiteral("/") + dirName;
    const QString dirUrl = urlPart(dirName);
    const QString overviewUrl = urlPart(fileName);
    PageFile failed;
    failed.path = exportDir + QStringLiteral("/") + fileName;
    failed.errorTitle = QString::fromUtf8(kPageErrorTitle);
    failed.errorText = QString::fromUtf8(kPageErrorText);
    if (ranges.empty() || !QDir().mkpath(dirPath)) return failed;

    RenderContext pageContext = context;
    pageContext.exportDir = exportDir;
    pageContext.pageDir = exportDir;  // the messages' addresses are the root's (<base>)
    const MessageRenderer renderer(pageContext);
    const QString title = contact.nickName;
    int deleted = 0;
    for (size_t p = 0; p < ranges.size(); ++p) {
        const Range& range = ranges[p];
        deleted += range.deleted;
        const PageFile page = writePageFile(dirPath + QStringLiteral("/") + pageFileName(p), [&](QTextStream& out) {
            out << head(title + QStringLiteral(" · 第 ") + QString::number(p + 1) + QStringLiteral(" 页"), true)
                << R"HTML(<body class="paged"><div class="container">)HTML";
            writeNavigation(out, overviewUrl, dirUrl, p, ranges, context.utc);
            ConversationSlice one;
            one.messages.resize(1);
            for (size_t i = range.first; i < range.first + range.count; ++i) {
                const ChatEntry& entry = conversation[i];
                out << R"HTML(<a class="msg-anchor" id="m)HTML" << entry.rcChatId << R"HTML(" data-t=")HTML"
                    << entry.createTime << (entry.obtainWay == 1 ? "\"" : "\" data-d=\"1\"") << "></a>";
                one.messages[0] = entry;
                renderer.writeContactMessages(out, contact, one);
            }
            writeNavigation(out, overviewUrl, dirUrl, p, ranges, context.utc);
            out << R"HTML(<a id="end"></a></div></body></html>)HTML";
        });
        if (!page.written) return failed;
    }
    if (!writeSearchData(dirPath + QStringLiteral("/") + QLatin1String(kSearchFile), conversation, ranges)) {
        return failed;
    }

    return writePageFile(exportDir + QStringLiteral("/") + fileName, [&](QTextStream& out) {
        out << head(title, false) << R"HTML(<body class="paging-overview"><div class="container">)HTML";
        out << "<h1>" << escapeHtmlText(title) << "</h1>";
        out << u8text(R"HTML(<p class="paging-summary">共 )HTML") << conversation.size() << u8text(" 条消息，其中 ")
            << deleted << u8text(" 条已删除（已恢复），分为 ") << ranges.size() << u8text(" 页，每页最多 ")
            << messagesPerPage << u8text(" 条。</p>");
        out << R"HTML(<p class="paging-links"><a href=")HTML" << pageLink(dirUrl, ranges.size() - 1, "#end")
            << u8text(R"HTML(">最新消息</a><a href=")HTML") << pageLink(dirUrl, 0)
            << u8text(R"HTML(">最早消息</a></p>)HTML");
        out << u8text(R"HTML(<form class="paging-jump" onsubmit="wcrJumpToDate(); return false;"><label>跳到日期 )HTML")
            << R"HTML(<input type="date" id="jump-date" min=")HTML" << pageTimeText(ranges.front().firstTime, context.utc).left(10)
            << R"HTML(" max=")HTML" << pageTimeText(ranges.back().lastTime, context.utc).left(10)
            << u8text(R"HTML("></label><button type="submit">前往</button></form>)HTML");
        out << R"HTML(<form class="paging-search" onsubmit="wcrSearch(); return false;">)HTML"
            << u8text(R"HTML(<input type="search" id="search-text" placeholder="搜索本会话的文字消息">)HTML")
            << u8text(R"HTML(<button type="submit">搜索</button></form><div id="search-results"></div>)HTML");
        out << R"HTML(<table class="paging-table" id="paging-table" data-utc=")HTML" << (context.utc ? 1 : 0)
            << R"HTML(" data-dir=")HTML" << escapeHtmlAttribute(dirUrl)
            << u8text(
                   R"HTML("><thead><tr><th>页</th><th>时间</th><th>消息</th><th>已删除</th></tr></thead><tbody>)HTML");
        for (size_t p = 0; p < ranges.size(); ++p) {
            const Range& range = ranges[p];
            out << R"HTML(<tr data-first=")HTML" << range.firstTime << R"HTML(" data-last=")HTML" << range.lastTime
                << R"HTML("><td><a href=")HTML" << pageLink(dirUrl, p) << u8text(R"HTML(">第 )HTML") << p + 1
                << u8text(" 页</a></td><td>") << escapeHtmlText(rangeText(range, context.utc)) << "</td><td>" << range.count
                << "</td><td>";
            if (range.deleted > 0) {
                out << R"HTML(<a href=")HTML" << pageLink(dirUrl, p, "#deleted") << R"HTML(">)HTML" << range.deleted
                    << "</a>";
            } else {
                out << "0";
            }
            out << "</td></tr>";
        }
        out << "</tbody></table></div></body></html>";
    });
}

}  // namespace app
}  // namespace talwen
