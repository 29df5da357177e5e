#include "app/gui/ProgressWidgets.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPixmap>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>

#include "app/gui/GuiScale.h"

namespace talwen {
namespace app {
namespace gui {

namespace {

const char* const kZeroTime = "00:00:00";

}  // namespace

ScheduleWidget::ScheduleWidget(QWidget* parent) : QWidget(parent) {
    const GuiScale scale = GuiScale::of(parent);
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(16, 4, 16, 4);
    animation_ = new QLabel(this);
    animation_->setFixedSize(scale.size(56, 56));
    animation_->setScaledContents(true);
    layout->addWidget(animation_);

    auto* middle = new QVBoxLayout();
    auto* title = new QLabel(QStringLiteral("正在扫描iTunes备份文件，请稍后..."), this);
    title->setStyleSheet(QStringLiteral("font-size:15px;"));
    middle->addWidget(title);
    auto* stage = new QHBoxLayout();
    state_ = new QLabel(this);
    counter_ = new QLabel(this);
    state_->setObjectName(QStringLiteral("state"));
    counter_->setObjectName(QStringLiteral("counter"));
    stage->addWidget(state_);
    stage->addWidget(counter_);
    stage->addStretch();
    remaining_ = new QLabel(this);
    elapsed_ = new QLabel(this);
    stage->addWidget(remaining_);
    stage->addSpacing(16);
    stage->addWidget(elapsed_);
    middle->addLayout(stage);
    bar_ = new QProgressBar(this);
    bar_->setRange(0, 100);
    bar_->setTextVisible(true);
    bar_->setFixedHeight(scale.h(14));
    middle->addWidget(bar_);
    layout->addLayout(middle, 1);

    stop_ = new QPushButton(QStringLiteral("停止扫描"), this);
    stop_->setObjectName(QStringLiteral("stop"));
    layout->addWidget(stop_);
    connect(stop_, &QPushButton::clicked, this, &ScheduleWidget::stopClicked);
    reset();
}

void ScheduleWidget::reset() {
    bar_->setValue(0);
    state_->clear();
    counter_->clear();
    remaining_->setText(QStringLiteral("预计剩余时间：") + QString::fromLatin1(kZeroTime));
    elapsed_->setText(QStringLiteral("已使用时间：") + QString::fromLatin1(kZeroTime));
    stop_->setEnabled(true);
    frame_ = 0;
    animate();
}

void ScheduleWidget::updateIndicatorState(const QString& text, const QString& counter) {
    state_->setText(text);
    counter_->setText(counter);
}

void ScheduleWidget::updateIndicator(int percent, const QString& remaining, const QString& elapsed) {
    bar_->setValue(percent);
    if (!remaining.isEmpty()) remaining_->setText(QStringLiteral("预计剩余时间：") + remaining);
    if (!elapsed.isEmpty()) elapsed_->setText(QStringLiteral("已使用时间：") + elapsed);
}

void ScheduleWidget::animate() {
    frame_ = frame_ % 4 + 1;
    animation_->setPixmap(QPixmap(QStringLiteral(":res/scan%1.png").arg(frame_)));
}

void ScheduleWidget::showStopping() {
    stop_->setEnabled(false);
    state_->setText(QStringLiteral("正在停止扫描..."));
}

QString ScheduleWidget::stateText() const { return state_->text(); }
int ScheduleWidget::percent() const { return bar_->value(); }
QString ScheduleWidget::remainingText() const { return remaining_->text(); }
QString ScheduleWidget::elapsedText() const { return elapsed_->text(); }

InterludeWidget::InterludeWidget(QWidget* parent) : QWidget(parent) {
    auto* layout = new QVBoxLayout(this);
    layout->addStretch();
    picture_ = new QLabel(this);
    picture_->setAlignment(Qt::AlignCenter);
    layout->addWidget(picture_);
    auto* text = new QLabel(QStringLiteral("正在进行扫描，请稍候"), this);
    text->setAlignment(Qt::AlignCenter);
    text->setWordWrap(true);
    layout->addWidget(text);
    layout->addStretch();
    animate();
}

void InterludeWidget::animate() {
    frame_ = frame_ % 4 + 1;
    const QPixmap picture(QStringLiteral(":/res/%1.jpg").arg(frame_));
    picture_->setPixmap(picture.scaledToWidth(std::max(1, width() - 20), Qt::SmoothTransformation));
}

CompleteWidget::CompleteWidget(QWidget* parent) : QWidget(parent) {
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(20, 0, 20, 4);
    layout->setSpacing(2);
    layout->addStretch();
    label_ = new QLabel(this);
    label_->setStyleSheet(QStringLiteral("font-size:15px;"));
    layout->addWidget(label_);
    reasons_ = new QLabel(this);
    reasons_->setObjectName(QStringLiteral("partialReasons"));
    // Reasons carry names from the file: never read as markup.
    reasons_->setTextFormat(Qt::PlainText);
    reasons_->setWordWrap(true);
    reasons_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    reasons_->setStyleSheet(QStringLiteral("color:#b03a2e;"));
    reasons_->hide();
    layout->addWidget(reasons_);
    layout->addStretch();
}

void CompleteWidget::setResult(int recoveredCount, const PartialResult& partial) {
    QString text = QStringLiteral("扫描完成，共成功恢复 ") + QString::number(recoveredCount) +
                   QStringLiteral(" 条已删除聊天记录。");
    if (partial.stopped) text = QStringLiteral("扫描已停止，结果不完整：共恢复 ") + QString::number(recoveredCount) +
                                QStringLiteral(" 条已删除聊天记录。");
    label_->setText(text);
    reasons_->setText(damageReasonsText(partial.damageReasons));
    reasons_->setVisible(!partial.damageReasons.empty());
}

QString CompleteWidget::text() const { return label_->text(); }

QString CompleteWidget::reasonsText() const { return reasons_->text(); }

CoveryWidget::CoveryWidget(QWidget* parent) : QWidget(parent) {
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(20, 8, 20, 8);
    return_ = new QPushButton(QStringLiteral("返回"), this);
    exportAll_ = new QPushButton(QStringLiteral("全部导出"), this);
    return_->setObjectName(QStringLiteral("return"));
    exportAll_->setObjectName(QStringLiteral("exportAll"));
    exportAll_->setStyleSheet(QStringLiteral("QPushButton{background:#2b9939;color:white;padding:6px 24px;}"));
    layout->addWidget(return_);
    layout->addStretch();
    layout->addWidget(exportAll_);
    connect(return_, &QPushButton::clicked, this, &CoveryWidget::returnClicked);
    connect(exportAll_, &QPushButton::clicked, this, &CoveryWidget::exportAllClicked);
}

void CoveryWidget::setButtonsEnabled(bool enabled) {
    return_->setEnabled(enabled);
    exportAll_->setEnabled(enabled);
}

}  // namespace gui
}  // namespace app
}  // namespace talwen
