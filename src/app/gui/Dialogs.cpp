#include "app/gui/Dialogs.h"

#include <QButtonGroup>
#include <QDialogButtonBox>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QLabel>
#include <QPixmap>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QVBoxLayout>

#include "app/gui/GuiScale.h"

namespace talwen {
namespace app {
namespace gui {

const char* const kStopScanText = "扫描进度不能被更新，你确定要停止扫描吗？";
const char* const kReturnConfirmText = "你确认要返回吗？\r\n如果返回了，扫描的结果将不会保存";

namespace {

const char* const kDialogTitle = "提示";

void prepare(QDialog* dialog, int width, int height) {
    dialog->setWindowTitle(QString::fromUtf8(kDialogTitle));
    dialog->setWindowModality(Qt::WindowModal);
    dialog->setModal(true);
    const GuiScale scale = GuiScale::of(dialog);
    dialog->setMinimumSize(scale.size(width, height));
}

QLabel* messageLabel(const QString& text, QWidget* parent) {
    auto* label = new QLabel(text, parent);
    label->setWordWrap(true);
    label->setAlignment(Qt::AlignCenter);
    label->setObjectName(QStringLiteral("message"));
    return label;
}

QPushButton* button(const char* text, QWidget* parent) { return new QPushButton(QString::fromUtf8(text), parent); }

}  // namespace

SelectfileWarn::SelectfileWarn(const QString& text, QWidget* parent) : QDialog(parent) {
    prepare(this, 320, 140);
    setAttribute(Qt::WA_DeleteOnClose);
    auto* layout = new QVBoxLayout(this);
    label_ = messageLabel(text, this);
    layout->addWidget(label_, 1);
    QPushButton* ok = button("确定", this);
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);
    layout->addWidget(ok, 0, Qt::AlignCenter);
}

QString SelectfileWarn::text() const { return label_->text(); }

ConfirmDialog::ConfirmDialog(const QString& text, QWidget* parent) : QDialog(parent) {
    prepare(this, 340, 150);
    setAttribute(Qt::WA_DeleteOnClose);
    auto* layout = new QVBoxLayout(this);
    label_ = messageLabel(text, this);
    layout->addWidget(label_, 1);
    auto* buttons = new QHBoxLayout();
    QPushButton* ok = button("确定", this);
    QPushButton* cancel = button("取消", this);
    ok->setObjectName(QStringLiteral("ok"));
    cancel->setObjectName(QStringLiteral("cancel"));
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
    buttons->addStretch();
    buttons->addWidget(ok);
    buttons->addWidget(cancel);
    buttons->addStretch();
    layout->addLayout(buttons);
}

QString ConfirmDialog::text() const { return label_->text(); }

ScheduleWarn::ScheduleWarn(QWidget* parent) : ConfirmDialog(QString::fromUtf8(kStopScanText), parent) {}

CompleteWarn::CompleteWarn(QWidget* parent) : ConfirmDialog(QString::fromUtf8(kReturnConfirmText), parent) {}

CompleteTipWidget::CompleteTipWidget(int recoveredCount, const PartialResult& partial, QWidget* parent)
    : QDialog(parent) {
    prepare(this, 340, 150);
    setAttribute(Qt::WA_DeleteOnClose);
    auto* layout = new QVBoxLayout(this);
    QString text = QStringLiteral("共成功恢复 ") + QString::number(recoveredCount) + QStringLiteral(" 条已删除聊天记录。");
    label_ = messageLabel(text, this);
    layout->addWidget(label_, 1);
    if (partial.partial()) {
        // Say that the list is not complete, and why.
        QStringList lines;
        if (partial.stopped) lines << QStringLiteral("扫描已停止，结果不完整。");
        if (!partial.damageReasons.empty()) lines << damageReasonsText(partial.damageReasons);
        partial_ = messageLabel(lines.join(QLatin1Char('\n')), this);
        partial_->setObjectName(QStringLiteral("partial"));
        // Reasons carry names from the file: never read as markup.
        partial_->setTextFormat(Qt::PlainText);
        if (!partial.damageReasons.empty()) partial_->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
        layout->addWidget(partial_);
    }
    QPushButton* ok = button("确定", this);
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);
    layout->addWidget(ok, 0, Qt::AlignCenter);
}

QString CompleteTipWidget::text() const { return label_->text(); }

QString CompleteTipWidget::partialText() const { return partial_ ? partial_->text() : QString(); }

WcusersSelect::WcusersSelect(std::vector<AccountChoice> accounts, const AccountSampling& sampling, QWidget* parent)
    : QDialog(parent), accounts_(std::move(accounts)) {
    prepare(this, 560, 360);
    setAttribute(Qt::WA_DeleteOnClose);
    sampler_.setSamples(sampling.samples);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(messageLabel(QStringLiteral("扫描到您有多个微信号，点击选择需要扫描的微信号"), this));
    entries_ = new QVBoxLayout();
    layout->addLayout(entries_, 1);
    group_ = new QButtonGroup(this);
    connect(group_, &QButtonGroup::idClicked, this, &WcusersSelect::selectAccount);

    auto* hint = new QHBoxLayout();
    auto* hintLabel = new QLabel(QStringLiteral("如果这批好友不能确定你需要扫描的微信号，请点击换一批"), this);
    hintLabel->setWordWrap(true);
    hint->addWidget(hintLabel, 1);
    QPushButton* change = button("换一批", this);
    change->setObjectName(QStringLiteral("changeFriends"));
    connect(change, &QPushButton::clicked, this, &WcusersSelect::changeFriends);
    hint->addWidget(change);
    layout->addLayout(hint);

    auto* buttons = new QHBoxLayout();
    ok_ = button("确定", this);
    QPushButton* cancel = button("取消", this);
    ok_->setEnabled(false);
    connect(ok_, &QPushButton::clicked, this, &QDialog::accept);
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
    buttons->addStretch();
    buttons->addWidget(ok_);
    buttons->addWidget(cancel);
    layout->addLayout(buttons);
    rebuildEntries();
}

void WcusersSelect::rebuildEntries() {
    while (QLayoutItem* item = entries_->takeAt(0)) {
        if (QWidget* widget = item->widget()) widget->deleteLater();
        delete item;
    }
    friendLabels_.clear();
    const GuiScale scale = GuiScale::of(this);
    for (size_t i = 0; i < accounts_.size(); ++i) {
        const AccountChoice& account = accounts_[i];
        auto* entry = new QWidget(this);
        auto* row = new QHBoxLayout(entry);
        auto* choose = new QRadioButton(entry);
        group_->addButton(choose, static_cast<int>(i));
        choose->setChecked(static_cast<int>(i) == chosen_);
        row->addWidget(choose);
        auto* picture = new QLabel(entry);
        QPixmap face;
        if (!account.picturePath.isEmpty() && QFileInfo::exists(account.picturePath)) face.load(account.picturePath);
        if (face.isNull()) face.load(QStringLiteral(":res/selectuserdis.png"));
        picture->setPixmap(face.scaled(scale.size(48, 48), Qt::KeepAspectRatio, Qt::SmoothTransformation));
        row->addWidget(picture);
        auto* names = new QVBoxLayout();
        names->addWidget(new QLabel(account.nickName.isEmpty() ? account.accountDir : account.nickName, entry));
        auto* friends = new QLabel(shownFriends(static_cast<int>(i)).join(QStringLiteral("、")), entry);
        friends->setObjectName(QStringLiteral("friends"));
        friends->setWordWrap(true);
        friendLabels_.push_back(friends);
        names->addWidget(friends);
        row->addLayout(names, 1);
        entries_->addWidget(entry);
    }
}

QStringList WcusersSelect::shownFriends(int account) const {
    QStringList names;
    if (account < 0 || account >= accountCount()) return names;
    for (const AccountSample& sample : sampler_.batch(accounts_[static_cast<size_t>(account)].key)) {
        names << (sample.nickName.isEmpty() ? sample.usrName : sample.nickName);
    }
    return names;
}

void WcusersSelect::selectAccount(int account) {
    if (account < 0 || account >= accountCount()) return;
    chosen_ = account;
    if (QAbstractButton* b = group_->button(account)) b->setChecked(true);
    ok_->setEnabled(true);
}

QString WcusersSelect::chosenAccountDir() const {
    return chosen_ < 0 ? QString() : accounts_[static_cast<size_t>(chosen_)].accountDir;
}

void WcusersSelect::changeFriends() {
    sampler_.changeFriends();
    for (size_t i = 0; i < friendLabels_.size(); ++i) {
        friendLabels_[i]->setText(shownFriends(static_cast<int>(i)).join(QStringLiteral("、")));
    }
}

void WcusersSelect::updateWcselectImage() {
    for (QAbstractButton* b : group_->buttons()) group_->removeButton(b);
    rebuildEntries();
}

ExportSchedule::ExportSchedule(int total, QWidget* parent) : QDialog(parent) {
    prepare(this, 380, 170);
    auto* layout = new QVBoxLayout(this);
    title_ = messageLabel(QStringLiteral("正在恢复到电脑，请稍后..."), this);
    layout->addWidget(title_);
    bar_ = new QProgressBar(this);
    bar_->setRange(0, total);
    bar_->setValue(0);
    layout->addWidget(bar_);
    label_ = messageLabel(QString(), this);
    label_->setObjectName(QStringLiteral("remaining"));
    layout->addWidget(label_);
    auto* buttons = new QHBoxLayout();
    stop_ = button("停止", this);
    QPushButton* close = button("关闭", this);
    connect(stop_, &QPushButton::clicked, this, [this] {
        stop_->setEnabled(false);
        emit stopRequested();
    });
    connect(close, &QPushButton::clicked, this, &QDialog::reject);
    buttons->addStretch();
    buttons->addWidget(stop_);
    buttons->addWidget(close);
    layout->addLayout(buttons);
}

void ExportSchedule::updateProgress(const QString& text, int done) {
    label_->setText(text);
    bar_->setValue(done);
}

QString ExportSchedule::text() const { return label_->text(); }

int ExportSchedule::value() const { return bar_->value(); }

}  // namespace gui
}  // namespace app
}  // namespace talwen
