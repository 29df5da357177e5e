#include "app/gui/StartWidgets.h"

#include <QCursor>
#include <QEvent>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QMouseEvent>
#include <QPushButton>
#include <QTableWidget>
#include <QToolTip>
#include <QVBoxLayout>

#include "app/gui/GuiScale.h"

namespace talwen {
namespace app {
namespace gui {

namespace {

const char* const kNotYet = "功能正在开发中";

QLabel* label(const QString& text, QWidget* parent, const char* style = nullptr) {
    auto* l = new QLabel(text, parent);
    if (style) l->setStyleSheet(QString::fromLatin1(style));
    return l;
}

}  // namespace

UpperWidget::UpperWidget(QWidget* parent) : QWidget(parent) {
    setObjectName(QStringLiteral("UpperWidget"));
    setAttribute(Qt::WA_StyledBackground);
    setStyleSheet(QStringLiteral("#UpperWidget{background:#2b9939;} QLabel{color:white;font-size:15px;}"
                                 "QPushButton{color:white;background:transparent;border:none;font-size:16px;"
                                 "min-width:36px;min-height:30px;} QPushButton:hover{background:#3aad48;}"));
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(14, 0, 4, 0);
    layout->addWidget(new QLabel(QStringLiteral("微信聊天记录恢复"), this));
    layout->addStretch();
    auto* minimize = new QPushButton(QStringLiteral("—"), this);
    maximize_ = new QPushButton(QStringLiteral("□"), this);
    auto* close = new QPushButton(QStringLiteral("✕"), this);
    minimize->setObjectName(QStringLiteral("minimize"));
    maximize_->setObjectName(QStringLiteral("maximize"));
    close->setObjectName(QStringLiteral("close"));
    maximize_->hide();
    for (QPushButton* b : {minimize, maximize_, close}) {
        b->setFocusPolicy(Qt::NoFocus);
        layout->addWidget(b);
    }
    connect(minimize, &QPushButton::clicked, this, &UpperWidget::minimizeClicked);
    connect(maximize_, &QPushButton::clicked, this, &UpperWidget::maximizeClicked);
    connect(close, &QPushButton::clicked, this, &UpperWidget::closeClicked);
}

SectionWidget::SectionWidget(QWidget* parent) : QWidget(parent) {
    struct Source {
        const char* title;
        const char* description;
    } const sources[] = {
        {"从iTunes备份文件恢复", "通过iTunes备份文件进行恢复，完美支持微信聊天记录的读取和恢复"},
        {"从iOS设备扫描恢复", "扫描iOS设备查找最近删除的数据"},
        {"从iCloud备份文件恢复", "导入iCloud备份文件，支持已备份的通讯录、图片、视频、语音备忘录等数据快速恢复"},
    };
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(10, 8, 10, 8);
    for (int i = 0; i < 3; ++i) {
        auto* panel = new QWidget(this);
        panel->setObjectName(QStringLiteral("source%1").arg(i));
        panel->setAttribute(Qt::WA_StyledBackground);
        auto* inner = new QVBoxLayout(panel);
        auto* title = label(QString::fromUtf8(sources[i].title), panel, "font-size:15px;font-weight:bold;");
        auto* text = label(QString::fromUtf8(sources[i].description), panel, "color:#666;");
        text->setWordWrap(true);
        inner->addWidget(title);
        inner->addWidget(text, 1);
        if (i > 0) panel->setToolTip(QString::fromUtf8(kNotYet));
        panel->installEventFilter(this);
        panels_.push_back(panel);
        layout->addWidget(panel);
    }
    expand(0);
}

bool SectionWidget::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::MouseButtonPress) {
        for (size_t i = 0; i < panels_.size(); ++i) {
            if (panels_[i] != watched) continue;
            expand(static_cast<int>(i));
            if (i > 0) QToolTip::showText(QCursor::pos(), QString::fromUtf8(kNotYet), panels_[i]);
            return true;
        }
    }
    return QWidget::eventFilter(watched, event);
}

void SectionWidget::expand(int panel) {
    expanded_ = panel;
    auto* layout = static_cast<QHBoxLayout*>(this->layout());
    for (size_t i = 0; i < panels_.size(); ++i) {
        const bool wide = static_cast<int>(i) == panel;
        layout->setStretch(static_cast<int>(i), wide ? 2 : 1);
        panels_[i]->setStyleSheet(wide ? QStringLiteral("#%1{background:#e9f6eb;border:1px solid #2b9939;}")
                                             .arg(panels_[i]->objectName())
                                       : QStringLiteral("#%1{background:#f6f7f8;border:1px solid #dcdfe3;}")
                                             .arg(panels_[i]->objectName()));
    }
}

FilesWidget::FilesWidget(QWidget* parent) : QWidget(parent) {
    const GuiScale scale = GuiScale::of(parent);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(20, 10, 20, 10);
    layout->addWidget(label(QStringLiteral("从下面选择一个备份文件开始扫描"), this, "font-size:15px;"));
    layout->addWidget(
        label(QStringLiteral("如果列表中没有出现您的设备信息，可能是您的设备未通过iTunes同步。"), this, "color:#888;"));

    table_ = new QTableWidget(0, 3, this);
    table_->setHorizontalHeaderLabels({QStringLiteral("设备名称"), QStringLiteral("最后备份日期"),
                                       QStringLiteral("序列号")});
    table_->horizontalHeader()->setSectionResizeMode(QHeaderView::Stretch);
    table_->verticalHeader()->hide();
    table_->verticalHeader()->setDefaultSectionSize(scale.h(kRowHeight));
    table_->setSelectionBehavior(QAbstractItemView::SelectRows);
    table_->setSelectionMode(QAbstractItemView::SingleSelection);
    table_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    table_->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    table_->setAlternatingRowColors(true);
    layout->addWidget(table_);

    empty_ = new QWidget(this);
    auto* emptyLayout = new QVBoxLayout(empty_);
    emptyLayout->addWidget(label(QStringLiteral("没有找到iTunes备份文件"), empty_, "font-size:15px;"), 0,
                           Qt::AlignCenter);
    emptyLayout->addWidget(label(QStringLiteral("刷新或选择其他路径的备份文件进行恢复。"), empty_, "color:#888;"), 0,
                           Qt::AlignCenter);
    empty_->hide();
    layout->addWidget(empty_);
    layout->addStretch();

    auto* buttons = new QHBoxLayout();
    auto* refresh = new QPushButton(QStringLiteral("刷新"), this);
    auto* directory = new QPushButton(QStringLiteral("选择备份目录"), this);
    auto* database = new QPushButton(QStringLiteral("选择数据库文件"), this);
    start_ = new QPushButton(QStringLiteral("开始扫描"), this);
    start_->setObjectName(QStringLiteral("start"));
    start_->setStyleSheet(QStringLiteral("QPushButton{background:#2b9939;color:white;padding:6px 24px;}"
                                         "QPushButton:disabled{background:#9bc9a1;}"));
    buttons->addWidget(refresh);
    buttons->addWidget(directory);
    buttons->addWidget(database);
    buttons->addStretch();
    buttons->addWidget(start_);
    layout->addLayout(buttons);
    connect(refresh, &QPushButton::clicked, this, &FilesWidget::refreshClicked);
    connect(directory, &QPushButton::clicked, this, &FilesWidget::chooseDirectoryClicked);
    connect(database, &QPushButton::clicked, this, &FilesWidget::chooseDatabaseClicked);
    connect(start_, &QPushButton::clicked, this, &FilesWidget::startClicked);
}

void FilesWidget::showFilesDetail(const std::vector<backup::BackupInfo>& backups) {
    const GuiScale scale = GuiScale::of(this);
    table_->clearContents();
    table_->setRowCount(static_cast<int>(backups.size()));
    for (size_t row = 0; row < backups.size(); ++row) {
        const backup::BackupInfo& info = backups[row];
        QString device = QString::fromStdString(info.deviceName);
        if (info.encrypted) device += QStringLiteral("（已加密）");
        const QString cells[3] = {device, QString::fromStdString(info.lastBackupDate),
                                  QString::fromStdString(info.serialNumber)};
        for (int column = 0; column < 3; ++column) {
            auto* item = new QTableWidgetItem(cells[column]);
            item->setTextAlignment(Qt::AlignCenter);
            item->setToolTip(QString::fromStdString(info.path));
            table_->setItem(static_cast<int>(row), column, item);
        }
    }
    // Up to five rows the table is as high as its rows; past five it scrolls.
    const int shownRows = std::min<int>(static_cast<int>(backups.size()), kVisibleRows);
    table_->setFixedHeight(table_->horizontalHeader()->sizeHint().height() + scale.h(kRowHeight) * shownRows + 2);
    table_->setVisible(!backups.empty());
    empty_->setVisible(backups.empty());
    if (!backups.empty()) table_->setCurrentCell(0, 2);
}

int FilesWidget::currentBackup() const {
    const int row = table_->currentRow();
    if (!table_->isVisible() && table_->rowCount() == 0) return -1;
    if (row < 0 || row >= table_->rowCount() || table_->selectionModel()->selectedRows().isEmpty()) return -1;
    return row;
}

}  // namespace gui
}  // namespace app
}  // namespace talwen
