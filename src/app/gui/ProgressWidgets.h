#pragma once

#include <QWidget>

#include "app/gui/PartialResult.h"

class QLabel;
class QProgressBar;
class QPushButton;

namespace talwen {
namespace app {
namespace gui {

// The scan progress: title, stage text and counter, bar, remaining and elapsed
// time, the scan animation and the stop button.
class ScheduleWidget : public QWidget {
    Q_OBJECT
public:
    explicit ScheduleWidget(QWidget* parent);
    void reset();
    QString stateText() const;
    int percent() const;
    QString remainingText() const;
    QString elapsedText() const;
    QPushButton* stopButton() const { return stop_; }

public slots:
    void updateIndicatorState(const QString& text, const QString& counter);
    void updateIndicator(int percent, const QString& remaining, const QString& elapsed);
    // One step of the scan animation (":res/scan1.png" to ":res/scan4.png").
    void animate();
    // The stop has been asked for: the seek ends within a page.
    void showStopping();

signals:
    void stopClicked();

private:
    QLabel* animation_;
    QLabel* state_;
    QLabel* counter_;
    QProgressBar* bar_;
    QLabel* remaining_;
    QLabel* elapsed_;
    QPushButton* stop_;
    int frame_ = 0;
};

// The picture story beside the progress: ":/res/1.jpg" to ":/res/4.jpg".
class InterludeWidget : public QWidget {
    Q_OBJECT
public:
    explicit InterludeWidget(QWidget* parent);

public slots:
    void animate();

private:
    QLabel* picture_;
    int frame_ = 0;
};

// The header of the result screen: the recovered count, whether the scan was
// stopped, and what a damaged database did not give (hidden when nothing).
class CompleteWidget : public QWidget {
    Q_OBJECT
public:
    explicit CompleteWidget(QWidget* parent);
    void setResult(int recoveredCount, const PartialResult& partial);
    QString text() const;
    // The damage and its reasons as shown; empty when the database was whole.
    QString reasonsText() const;

private:
    QLabel* label_;
    QLabel* reasons_;
};

// The bottom bar of the result screen: return and export-all.
class CoveryWidget : public QWidget {
    Q_OBJECT
public:
    explicit CoveryWidget(QWidget* parent);
    void setButtonsEnabled(bool enabled);

signals:
    void returnClicked();
    void exportAllClicked();

private:
    QPushButton* return_;
    QPushButton* exportAll_;
};

}  // namespace gui
}  // namespace app
}  // namespace talwen
