#include "app/gui/TcmsgWidget.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QFontMetrics>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QStackedWidget>
#include <QTableView>
#include <QVBoxLayout>

#include "app/gui/GuiScale.h"
#include "app/gui/PageView.h"
#include "app/store/RecoveredData.h"

namespace talwen {
namespace app {
namespace gui {

namespace {

const char* const kSortLabels[3] = {"好友", "最后日期", "总数"};

QTableView* makeTable(QWidget* parent, const GuiScale& scale) {
    auto* table = new QTableView(parent);
    table->horizontalHeader()->hide();
    table->verticalHeader()->hide();
    table->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    table->verticalHeader()->setDefaultSectionSize(scale.h(ResultBrowserModel::kRowHeight));
    table->setSelectionBehavior(QAbstractItemView::SelectRows);
    table->setSelectionMode(QAbstractItemView::SingleSelection);
    table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    table->setShowGrid(false);
    table->setIconSize(scale.size(28, 28));
    table->setWordWrap(false);
    table->setTextElideMode(Qt::ElideRight);
    table->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    table->setStyleSheet(QStringLiteral("QTableView{border:none;} QTableView::item:selected{background:#cfe8d3;color:black;}"));
    return table;
}

void sizeColumns(QTableView* table, const GuiScale& scale) {
    QHeaderView* header = table->horizontalHeader();
    header->setSectionResizeMode(FriendTableModel::kNameColumn, QHeaderView::Stretch);
    header->setSectionResizeMode(FriendTableModel::kTimeColumn, QHeaderView::Fixed);
    header->setSectionResizeMode(FriendTableModel::kCountColumn, QHeaderView::Fixed);
    header->resizeSection(FriendTableModel::kTimeColumn, scale.w(140));
    header->resizeSection(FriendTableModel::kCountColumn, scale.w(90));
}

}  // namespace

TcmsgTableHeader::TcmsgTableHeader(QWidget* parent) : QWidget(parent) {
    const GuiScale scale = GuiScale::of(parent);
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(4, 0, 4, 0);
    selectAll_ = new QCheckBox(this);
    selectAll_->setObjectName(QStringLiteral("selectAll"));
    layout->addWidget(selectAll_);
    const int widths[3] = {0, 140, 90};
    for (int i = 0; i < 3; ++i) {
        auto* label = new QPushButton(QString::fromUtf8(kSortLabels[i]), this);
        label->setFlat(true);
        label->setCursor(Qt::PointingHandCursor);
        if (widths[i] > 0) label->setFixedWidth(scale.w(widths[i]));
        layout->addWidget(label, widths[i] == 0 ? 1 : 0);
        connect(label, &QPushButton::clicked, this, [this, label] { emit labelClicked(label->text()); });
        labels_.push_back(label);
    }
    setStyleSheet(QStringLiteral("QPushButton{text-align:center;color:#555;}"));
}

void TcmsgTableHeader::setSortable(bool sortable) {
    for (QPushButton* label : labels_) label->setEnabled(sortable);
}

TcmsgWidgetDetail::TcmsgWidgetDetail(QWidget* parent) : QWidget(parent) {
    const GuiScale scale = GuiScale::of(parent);
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(8, 4, 8, 4);
    picture_ = new QLabel(this);
    picture_->setFixedSize(scale.size(56, 56));
    picture_->setScaledContents(true);
    layout->addWidget(picture_, 0, Qt::AlignTop);
    auto* grid = new QVBoxLayout();
    grid->setSpacing(1);
    remark_ = new QLabel(this);
    name_ = new QLabel(this);
    sex_ = new QLabel(this);
    sign_ = new QLabel(this);
    region_ = new QLabel(this);
    for (QLabel* label : {remark_, name_, sex_, sign_, region_}) {
        label->setTextInteractionFlags(Qt::TextSelectableByMouse);
        grid->addWidget(label);
    }
    grid->addStretch();
    layout->addLayout(grid, 1);
    clear();
}

void TcmsgWidgetDetail::clear() {
    picture_->clear();
    for (QLabel* label : {remark_, name_, sex_, sign_, region_}) {
        label->clear();
        label->hide();
    }
}

void TcmsgWidgetDetail::setPicture(const QPixmap& picture) { picture_->setPixmap(picture); }

void TcmsgWidgetDetail::showContact(const FriendEntry& entry, const QPixmap& picture) {
    clear();
    setPicture(picture);
    auto set = [](QLabel* label, const QString& text) {
        label->setText(text);
        label->setVisible(!text.isEmpty());
    };
    set(remark_, entry.conRemark.isEmpty() ? QString() : QStringLiteral("备注：") + entry.conRemark);
    set(name_, entry.nickName.isEmpty() ? QStringLiteral("用户名：") + entry.usrName
                                        : QStringLiteral("昵称：") + entry.nickName);
    set(sex_, entry.sex == 1 ? QStringLiteral("性别：男") : entry.sex == 2 ? QStringLiteral("性别：女") : QString());
    if (!entry.sign.isEmpty()) {
        const int width = std::max(40, this->width() - picture_->width() - 40);
        set(sign_, sign_->fontMetrics().elidedText(QStringLiteral("签名：") + entry.sign, Qt::ElideRight, width));
        sign_->setToolTip(entry.sign);
    }
    QStringList region;
    for (const QString& part : {entry.country, entry.province, entry.city}) {
        if (!part.isEmpty()) region << part;
    }
    set(region_, region.isEmpty() ? QString() : QStringLiteral("地区：") + region.join(QStringLiteral("-")));
}

void TcmsgWidgetDetail::showUnknownFriend(int32_t pageNumber) {
    clear();
    setPicture(QPixmap(QStringLiteral(":/res/unknown.png")));
    name_->setText(QStringLiteral("昵称：未知好友") + QString::number(pageNumber));
    name_->show();
}

QStringList TcmsgWidgetDetail::shownTexts() const {
    QStringList texts;
    for (QLabel* label : {remark_, name_, sex_, sign_, region_}) {
        if (!label->isHidden()) texts << label->text();
    }
    return texts;
}

TcmsgWidget::TcmsgWidget(PageView* pageView, const QString& pictureDir, QWidget* parent)
    : QWidget(parent), pictures_(pictureDir), pageView_(pageView) {
    const GuiScale scale = GuiScale::of(parent);
    setObjectName(QStringLiteral("TcmsgWidget"));
    setAttribute(Qt::WA_StyledBackground);
    setStyleSheet(QStringLiteral("#TcmsgWidget{background:white;}"));
    for (auto& ticks : ticks_) ticks = std::make_shared<TickList>();
    for (int category = 0; category < 3; ++category) {
        for (int variant = 0; variant < 2; ++variant) {
            tables_[category][variant] = new FriendTableModel(&pictures_, ticks_[static_cast<size_t>(category)], true, this);
        }
    }
    unknown_ = new FriendTableModel(&pictures_, ticks_[kUnknownTab], true, this);
    search_model_ = new FriendTableModel(&pictures_, std::make_shared<TickList>(), false, this);
    // The two tables of a category show the same ticks.
    for (int category = 0; category < 3; ++category) {
        for (int variant = 0; variant < 2; ++variant) {
            FriendTableModel* other = tables_[category][1 - variant];
            connect(tables_[category][variant], &FriendTableModel::tickToggled, this, [this, other] {
                other->ticksChanged();
                updateSelectAll();
            });
        }
    }
    connect(unknown_, &FriendTableModel::tickToggled, this, &TcmsgWidget::updateSelectAll);

    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);

    // Left column: owner, tabs, filters, the tables.
    auto* left = new QWidget(this);
    left->setFixedWidth(scale.w(440));
    auto* leftLayout = new QVBoxLayout(left);
    leftLayout->setContentsMargins(6, 4, 6, 4);
    owner_ = new QWidget(left);
    auto* ownerLayout = new QHBoxLayout(owner_);
    ownerLayout->setContentsMargins(0, 0, 0, 0);
    ownerPicture_ = new QLabel(owner_);
    ownerPicture_->setFixedSize(scale.size(44, 44));
    ownerPicture_->setScaledContents(true);
    ownerLayout->addWidget(ownerPicture_);
    auto* ownerTexts = new QVBoxLayout();
    ownerName_ = new QLabel(owner_);
    ownerSign_ = new QLabel(owner_);
    ownerName_->setObjectName(QStringLiteral("ownerName"));
    ownerTexts->addWidget(ownerName_);
    ownerTexts->addWidget(ownerSign_);
    ownerLayout->addLayout(ownerTexts, 1);
    leftLayout->addWidget(owner_);

    // Everything but the owner, hidden while a scan runs.
    lists_ = new QWidget(left);
    auto* listsLayout = new QVBoxLayout(lists_);
    listsLayout->setContentsMargins(0, 0, 0, 0);
    leftLayout->addWidget(lists_, 1);
    leftLayout->addStretch(0);  // takes the room of the lists while they are hidden
    owner_->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
    leftLayout = listsLayout;
    left = lists_;

    auto* tabRow = new QHBoxLayout();
    tabs_ = new QButtonGroup(this);
    const char* const tabNames[4] = {"好友", "群", "公众帐号", "未知好友"};
    for (int i = 0; i < 4; ++i) {
        auto* tab = new QPushButton(QString::fromUtf8(tabNames[i]), left);
        tab->setCheckable(true);
        tab->setObjectName(QStringLiteral("tab%1").arg(i));
        tab->setStyleSheet(QStringLiteral("QPushButton{border:none;padding:6px;} "
                                          "QPushButton:checked{color:#2b9939;border-bottom:2px solid #2b9939;}"));
        tabs_->addButton(tab, i);
        tabRow->addWidget(tab);
    }
    tabs_->button(0)->setChecked(true);
    connect(tabs_, &QButtonGroup::idClicked, this, &TcmsgWidget::tabChange);
    leftLayout->addLayout(tabRow);

    auto* filterRow = new QHBoxLayout();
    hideEmpty_ = new QCheckBox(QStringLiteral("隐藏无聊天记录好友"), left);
    hideEmpty_->setChecked(true);
    connect(hideEmpty_, &QCheckBox::toggled, this, &TcmsgWidget::showNoRecords);
    filterRow->addWidget(hideEmpty_);
    search_ = new QLineEdit(left);
    search_->setPlaceholderText(QString::fromUtf8(kSearchPlaceholder));
    search_->setClearButtonEnabled(true);
    connect(search_, &QLineEdit::textChanged, this, &TcmsgWidget::showSearch);
    filterRow->addWidget(search_, 1);
    leftLayout->addLayout(filterRow);

    header_ = new TcmsgTableHeader(left);
    connect(header_, &TcmsgTableHeader::labelClicked, this, &TcmsgWidget::orderItems);
    connect(header_->selectAll(), &QCheckBox::clicked, this, [this](bool checked) {
        if (FriendTableModel* model = visibleModel()) model->setAllTicked(checked);
        updateSelectAll();
    });
    leftLayout->addWidget(header_);

    stack_ = new QStackedWidget(left);
    table_ = makeTable(stack_, scale);
    searchTable_ = makeTable(stack_, scale);
    searchTable_->setModel(search_model_);
    sizeColumns(searchTable_, scale);
    stack_->addWidget(table_);
    stack_->addWidget(searchTable_);
    leftLayout->addWidget(stack_, 1);
    connect(table_, &QTableView::clicked, this,
            [this](const QModelIndex& index) { rowClicked(visibleModel(), index.row()); });
    connect(searchTable_, &QTableView::clicked, this,
            [this](const QModelIndex& index) { rowClicked(search_model_, index.row()); });

    auto* exportRow = new QHBoxLayout();
    export_ = new QPushButton(QStringLiteral("导出选中的聊天记录"), left);
    export_->setObjectName(QStringLiteral("exportChecked"));
    export_->setEnabled(false);
    connect(export_, &QPushButton::clicked, this, &TcmsgWidget::exportCheckedClicked);
    exportRow->addStretch();
    exportRow->addWidget(export_);
    leftLayout->addLayout(exportRow);
    layout->addWidget(owner_->parentWidget());

    // Right column: the detail panel over the conversation view.
    auto* right = new QWidget(this);
    right_ = right;
    auto* rightLayout = new QVBoxLayout(right);
    rightLayout->setContentsMargins(0, 4, 4, 4);
    auto* detailRow = new QHBoxLayout();
    detail_ = new TcmsgWidgetDetail(right);
    detailRow->addWidget(detail_, 1);
    exportCurrent_ = new QPushButton(QStringLiteral("导出当前聊天记录"), right);
    exportCurrent_->setObjectName(QStringLiteral("exportCurrent"));
    exportCurrent_->setEnabled(false);
    connect(exportCurrent_, &QPushButton::clicked, this, &TcmsgWidget::exportCurrentClicked);
    detailRow->addWidget(exportCurrent_, 0, Qt::AlignBottom);
    rightLayout->addLayout(detailRow);
    pageView_->setParent(right);
    rightLayout->addWidget(pageView_, 1);
    layout->addWidget(right, 1);

    showVisibleTable();
}

void TcmsgWidget::setOwner(const QPixmap& picture, const QString& nickName, const QString& signature) {
    ownerPicture_->setPixmap(picture);
    ownerName_->setText(QStringLiteral("昵称：") + nickName);
    ownerSign_->setText(QStringLiteral("签名：") + signature);
}

void TcmsgWidget::setOwnerVisible(bool visible) { owner_->setVisible(visible); }

void TcmsgWidget::setScanning(bool scanning) {
    lists_->setVisible(!scanning);
    right_->setVisible(!scanning);
}

void TcmsgWidget::setOwnerPicture(const QPixmap& picture) { ownerPicture_->setPixmap(picture); }

FriendTableModel* TcmsgWidget::model(FriendCategory category, bool withRecords) const {
    return tables_[static_cast<int>(category)][withRecords ? 1 : 0];
}

FriendTableModel* TcmsgWidget::visibleModel() const {
    if (tab_ == kUnknownTab) return unknown_;
    return tables_[tab_][hideEmpty_->isChecked() ? 1 : 0];
}

void TcmsgWidget::fill(const RecoveredData* data) {
    clear();
    data_ = data;
    browser_.begin(data);
    // Every row at once: the model/view tables take tens of thousands of rows in
    // well under a second, where a batch of 32 per second would take minutes.
    std::vector<BrowserRow> perTable[3][2];
    std::vector<BrowserRow> unknownRows;
    while (!browser_.fillFinished()) {
        for (BrowserRow& row : browser_.timerGetAllFriends()) {
            if (row.unknownFriend) {
                unknownRows.push_back(std::move(row));
            } else {
                perTable[static_cast<int>(row.category)][row.withRecordsTable ? 1 : 0].push_back(std::move(row));
            }
        }
    }
    for (int category = 0; category < 3; ++category) {
        for (int variant = 0; variant < 2; ++variant) tables_[category][variant]->appendRows(perTable[category][variant]);
    }
    unknown_->appendRows(unknownRows);
    export_->setEnabled(true);
    exportCurrent_->setEnabled(true);
    showVisibleTable();
}

void TcmsgWidget::clear() {
    data_ = nullptr;
    browser_ = ResultBrowserModel();  // forgets the lists it sorted, which belong to the old scan
    for (auto& category : tables_) {
        for (FriendTableModel* model : category) model->clear();
    }
    unknown_->clear();
    search_model_->clear();
    for (auto& ticks : ticks_) ticks->clear();
    pictures_.clear();
    search_->blockSignals(true);
    search_->clear();
    search_->blockSignals(false);
    stack_->setCurrentWidget(table_);
    detail_->clear();
    pageView_->clearPage();
    export_->setEnabled(false);
    exportCurrent_->setEnabled(false);
    updateSelectAll();
}

std::vector<ExportItem> TcmsgWidget::checkedItems() const {
    std::vector<ExportItem> items;
    for (int tab = 0; tab < 4; ++tab) {
        for (int32_t id : ticks_[static_cast<size_t>(tab)]->ids()) {
            ExportItem item;
            item.kind = tab == kUnknownTab ? ExportItem::Kind::UnknownFriend : ExportItem::Kind::Contact;
            item.id = id;
            items.push_back(item);
        }
    }
    return items;
}

void TcmsgWidget::tabChange(int tab) {
    if (tab < 0 || tab > 3) return;
    tab_ = tab;
    if (QAbstractButton* button = tabs_->button(tab)) button->setChecked(true);
    showVisibleTable();
}

void TcmsgWidget::showNoRecords(bool hide) {
    hideEmpty_->blockSignals(true);
    hideEmpty_->setChecked(hide);
    hideEmpty_->blockSignals(false);
    showVisibleTable();
}

void TcmsgWidget::showVisibleTable() {
    table_->setModel(visibleModel());
    sizeColumns(table_, GuiScale::of(this));
    header_->setSortable(tab_ != kUnknownTab);
    updateSelectAll();
}

void TcmsgWidget::updateSelectAll() {
    FriendTableModel* model = visibleModel();
    header_->selectAll()->setChecked(model && model->allTicked());
}

void TcmsgWidget::showSearch(const QString& text) {
    if (text == QString::fromUtf8(kSearchPlaceholder)) {
        stack_->setCurrentWidget(table_);
        return;
    }
    search_model_->clear();
    if (text.isEmpty() || data_ == nullptr) {
        stack_->setCurrentWidget(table_);
        return;
    }
    std::vector<BrowserRow> rows;
    for (const FriendEntry& entry : searchFriends(data_->displayList(), text)) {
        BrowserRow row;
        row.category = friendCategory(entry.usrName);
        row.entry = entry;
        row.name = searchRowName(entry);
        row.timeText = entry.lastChatText;
        row.countText = QString::number(entry.chatNum);
        if (row.category == FriendCategory::Group) row.picture = QStringLiteral(":/res/group.jpg");
        row.rowIndex = static_cast<int>(rows.size());
        row.alternate = row.rowIndex % 2 != 0;
        rows.push_back(row);
    }
    search_model_->appendRows(rows);
    stack_->setCurrentWidget(searchTable_);
}

void TcmsgWidget::orderItems(const QString& label) {
    if (tab_ == kUnknownTab) return;
    const auto category = static_cast<FriendCategory>(tab_);
    const bool withRecords = hideEmpty_->isChecked();
    const std::vector<FriendEntry> shown = browser_.orderItems(category, withRecords, label);
    if (!shown.empty()) model(category, withRecords)->rewrite(shown);
}

void TcmsgWidget::showImage(const std::vector<int32_t>& ids) {
    pictures_.forget(ids);
    for (auto& category : tables_) {
        for (FriendTableModel* model : category) model->picturesChanged(ids);
    }
    search_model_->picturesChanged(ids);
}

void TcmsgWidget::rowClicked(FriendTableModel* model, int row) {
    if (model == nullptr || row < 0 || row >= model->rowCount()) return;
    const BrowserRow& r = model->row(row);
    if (r.unknownFriend) {
        emit unknownFriendClicked(r.pageNumber);
    } else {
        emit contactClicked(r.entry.rcFriendId);
    }
}

}  // namespace gui
}  // namespace app
}  // namespace talwen
