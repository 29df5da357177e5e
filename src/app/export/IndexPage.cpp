#include "app/export/IndexPage.h"

#include <set>

#include <QTextStream>
#include <QUrl>

#include "app/pages/HtmlText.h"
#include "app/store/PageTime.h"

namespace talwen {
namespace app {

const char* const kIndexFileName = "index.html";

namespace {

const char* const kHead =
    R"HTML(<!DOCTYPE html>
<html lang="zh">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>聊天记录索引</title>
<link href="css/index.css" rel="stylesheet">
<script src="js/index.js" defer></script>
</head>
<body>
)HTML";

const char* const kTools =
    R"HTML(<div class="index-tools">
<input id="index-filter" type="search" placeholder="筛选：名称或用户名" aria-label="筛选">
<select id="index-category" aria-label="类别">
<option value="">全部类别</option>
<option value="friend">好友</option>
<option value="group">群聊</option>
<option value="official">公众号</option>
<option value="unknown">未知</option>
</select>
<label><input id="index-deleted" type="checkbox"> 只看有已删除消息的会话</label>
<span id="index-shown" class="index-shown"></span>
</div>
)HTML";

// Sortable header cells: data-type tells the script how to compare the cells' data-sort values.
const char* const kTableHead =
    R"HTML(<table id="index-table" class="index-table">
<thead><tr>
<th data-type="text" aria-sort="none"><button type="button">名称</button></th>
<th data-type="text" aria-sort="none"><button type="button">类别</button></th>
<th data-type="number" aria-sort="none"><button type="button">消息数</button></th>
<th data-type="number" aria-sort="none"><button type="button">已删除</button></th>
<th data-type="number" aria-sort="none"><button type="button">第一条消息</button></th>
<th data-type="number" aria-sort="none"><button type="button">最后一条消息</button></th>
</tr></thead>
<tbody>
)HTML";

void writeFact(QTextStream& out, const QString& term, const QString& value) {
    out << "<dt>" << term << "</dt><dd>" << escapeHtmlText(value.isEmpty() ? QStringLiteral("—") : value) << "</dd>\n";
}

}  // namespace

PageFile writeIndexPage(const QString& exportDir, const IndexHeader& header,
                        const std::vector<ExportedConversation>& conversations) {
    return writePageFile(exportDir + QStringLiteral("/") + QLatin1String(kIndexFileName), [&](QTextStream& out) {
        std::set<int> offsets;
        if (!header.utc) {
            for (const ExportedConversation& c : conversations) {
                if (!c.hasDates) continue;
                offsets.insert(pageUtcOffset(c.first, false));
                offsets.insert(pageUtcOffset(c.last, false));
            }
        }
        int messages = 0;
        int deleted = 0;
        for (const ExportedConversation& c : conversations) {
            messages += c.messages;
            deleted += c.deleted;
        }
        out << QString::fromUtf8(kHead);
        out << QString::fromUtf8(R"HTML(<header class="index-head"><h1>聊天记录</h1><dl>)HTML") << "\n";
        QString owner = header.ownerNickName;
        if (!header.ownerUsrName.isEmpty()) {
            owner += owner.isEmpty() ? header.ownerUsrName : QStringLiteral("（") + header.ownerUsrName + QStringLiteral("）");
        }
        writeFact(out, QStringLiteral("账号"), owner);
        writeFact(out, QStringLiteral("扫描时间"),
                  header.scanTime.isValid()
                      ? pageTimeText(header.scanTime.toSecsSinceEpoch(), header.utc) + QStringLiteral(" (") +
                            zoneNote({pageUtcOffset(header.scanTime.toSecsSinceEpoch(), header.utc)}, header.utc) +
                            QStringLiteral(")")
                      : QString());
        writeFact(out, QStringLiteral("来源"), header.source);
        writeFact(out, QStringLiteral("时间"), zoneNote(offsets, header.utc));
        writeFact(out, QStringLiteral("会话"),
                  QStringLiteral("%1 个，消息 %2 条，其中已删除 %3 条").arg(conversations.size()).arg(messages).arg(deleted));
        out << "</dl>\n<p class=\"index-files\">";
        if (header.hasReport) out << QString::fromUtf8(R"HTML(<a href="report.html">扫描报告</a> · )HTML");
        out << QString::fromUtf8(R"HTML(<a href="messages.csv">messages.csv</a> · <a href="messages.jsonl">messages.jsonl</a> · )HTML")
            << R"HTML(<a href="contacts.csv">contacts.csv</a></p></header>)HTML" << "\n";
        out << QString::fromUtf8(kTools) << QString::fromUtf8(kTableHead);
        for (const ExportedConversation& c : conversations) {
            const QString href = QString::fromLatin1(QUrl::toPercentEncoding(c.fileName));
            out << R"HTML(<tr data-category=")HTML" << categoryKey(c.category) << R"HTML(" data-deleted=")HTML"
                << c.deleted << R"HTML(">)HTML";
            out << R"HTML(<td data-sort=")HTML" << escapeHtmlAttribute(c.name.toLower()) << R"HTML("><a href=")HTML"
                << escapeHtmlAttribute(href) << R"HTML(">)HTML"
                << escapeHtmlText(c.name.isEmpty() ? QStringLiteral("（无名称）") : c.name) << "</a>";
            if (!c.usrName.isEmpty() && c.usrName != c.name) {
                out << R"HTML(<span class="index-user">)HTML" << escapeHtmlText(c.usrName) << "</span>";
            }
            if (!c.written) out << QString::fromUtf8(R"HTML(<span class="index-failed">页面未能写入</span>)HTML");
            out << "</td>";
            out << R"HTML(<td data-sort=")HTML" << categoryKey(c.category) << R"HTML(">)HTML" << categoryText(c.category)
                << "</td>";
            out << R"HTML(<td class="num" data-sort=")HTML" << c.messages << R"HTML(">)HTML" << c.messages << "</td>";
            out << R"HTML(<td class="num)HTML" << (c.deleted > 0 ? " has-deleted" : "") << R"HTML(" data-sort=")HTML"
                << c.deleted << R"HTML(">)HTML" << c.deleted << "</td>";
            for (const int64_t time : {c.first, c.last}) {
                out << R"HTML(<td data-sort=")HTML" << (c.hasDates ? time : 0) << R"HTML(">)HTML"
                    << (c.hasDates ? escapeHtmlText(pageTimeText(time, header.utc)) : QString()) << "</td>";
            }
            out << "</tr>\n";
        }
        out << "</tbody>\n</table>\n";
        out << QString::fromUtf8(R"HTML(<p id="index-empty" class="index-empty" hidden>没有符合条件的会话。</p>)HTML")
            << "\n</body>\n</html>\n";
    });
}

}  // namespace app
}  // namespace talwen
