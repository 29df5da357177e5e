#pragma once

#include <QDialog>
#include <QString>

#include <vector>

#include "app/gui/PartialResult.h"
#include "app/store/AccountSampler.h"

class QButtonGroup;
class QLabel;
class QProgressBar;
class QPushButton;
class QVBoxLayout;

namespace talwen {
namespace app {
namespace gui {

// The dialogs of the window. All are modal to the window and shown with open(),
// so the event loop keeps running (the tests and the recovery's progress keep
// moving); the caller connects to accepted/rejected.

extern const char* const kStopScanText;       // ScheduleWarn
extern const char* const kReturnConfirmText;  // CompleteWarn

// A message with one button that closes it.
class SelectfileWarn : public QDialog {
    Q_OBJECT
public:
    SelectfileWarn(const QString& text, QWidget* parent);
    QString text() const;

private:
    QLabel* label_;
};

// A question with OK and cancel; deletes itself when closed.
class ConfirmDialog : public QDialog {
    Q_OBJECT
public:
    ConfirmDialog(const QString& text, QWidget* parent);
    QString text() const;

private:
    QLabel* label_;
};

class ScheduleWarn : public ConfirmDialog {
    Q_OBJECT
public:
    explicit ScheduleWarn(QWidget* parent);
};

class CompleteWarn : public ConfirmDialog {
    Q_OBJECT
public:
    explicit CompleteWarn(QWidget* parent);
};

// "共成功恢复 N 条已删除聊天记录。" with OK; below it, for a partial result, why
// (stopped, or the damaged database's reasons).
class CompleteTipWidget : public QDialog {
    Q_OBJECT
public:
    CompleteTipWidget(int recoveredCount, const PartialResult& partial, QWidget* parent);
    QString text() const;
    // The partial note as shown; empty for a complete result.
    QString partialText() const;

private:
    QLabel* label_;
    QLabel* partial_ = nullptr;
};

// One messenger account of a backup in the account choice.
struct AccountChoice {
    QString key;          // database path inside the backup (the samples' key)
    QString accountDir;   // 32-character account directory
    QString nickName;     // owner, when the settings were read
    QString picturePath;  // owner's cached picture file
};

// The account choice for a backup with several accounts: each account with its
// owner's picture and a batch of four of its contacts; "换一批" shows the next batch.
class WcusersSelect : public QDialog {
    Q_OBJECT
public:
    WcusersSelect(std::vector<AccountChoice> accounts, const AccountSampling& sampling, QWidget* parent);

    // The chosen account's directory; empty before a choice.
    QString chosenAccountDir() const;
    int accountCount() const { return static_cast<int>(accounts_.size()); }
    // The sample names shown for an account (its current batch).
    QStringList shownFriends(int account) const;
    void selectAccount(int account);
    QPushButton* okButton() const { return ok_; }

public slots:
    void changeFriends();
    // The owner pictures may have arrived: rebuild the entries.
    void updateWcselectImage();

private:
    void rebuildEntries();

    std::vector<AccountChoice> accounts_;
    AccountSampler sampler_;
    QVBoxLayout* entries_;
    QButtonGroup* group_;
    std::vector<QLabel*> friendLabels_;
    int chosen_ = -1;
    QPushButton* ok_;
};

// Progress of an export: label, bar, stop and close. Stop asks the worker to end
// after the current page; closing only hides the progress.
class ExportSchedule : public QDialog {
    Q_OBJECT
public:
    ExportSchedule(int total, QWidget* parent);
    void updateProgress(const QString& text, int done);
    QString text() const;
    int value() const;
    QPushButton* stopButton() const { return stop_; }

signals:
    void stopRequested();

private:
    QLabel* title_;
    QLabel* label_;
    QProgressBar* bar_;
    QPushButton* stop_;
};

}  // namespace gui
}  // namespace app
}  // namespace talwen
