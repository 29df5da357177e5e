#include "app/gui/SessionRunner.h"

#include "app/session/RecoveryProgress.h"

namespace talwen {
namespace app {
namespace gui {

namespace {

// The screen shows the last eight characters: "hh:mm:ss".
QString timeText(const std::string& text) { return QString::fromStdString(text).right(8); }

const char* const kCounters[3] = {"(1/3)", "(2/3)", "(3/3)"};
const char* const kStageTexts[3] = {kFriendSeekText, kChatTableSeekText, kChatSeekText};

}  // namespace

SessionRunner::SessionRunner(QObject* parent)
    : QObject(parent), session_(new RecoverySession(static_cast<RecoveryObserver*>(this))) {
    // A queued signal, not a functor posted from the worker: Qt makes and hands over
    // the event itself, and `done` never leaves this object's thread.
    connect(this, &SessionRunner::workFinished, this, &SessionRunner::finishJob, Qt::QueuedConnection);
}

SessionRunner::~SessionRunner() {
    session_->requestCancel();
    wait();
}

void SessionRunner::wait() {
    if (worker_.joinable()) worker_.join();
}

void SessionRunner::run(std::function<void(RecoverySession&)> work, std::function<void()> done) {
    wait();
    busy_ = true;
    pendingDone_.push_back(std::move(done));
    worker_ = std::thread([this, work = std::move(work)] {
        work(*session_);
        // Queued onto this object's thread; dropped when the runner is destroyed first.
        emit workFinished();
    });
}

void SessionRunner::finishJob() {
    if (pendingDone_.empty()) return;
    std::function<void()> done = std::move(pendingDone_.front());
    pendingDone_.pop_front();
    busy_ = !pendingDone_.empty();
    if (done) done();
}

void SessionRunner::onSeekProgress(Seek seek, const ProgressReport& report) {
    // Watcher thread: signals of an object living on the window's thread are queued.
    if (report.announceStage) {
        emit updateIndicatorState(QString::fromUtf8(kStageTexts[seek]), QString::fromLatin1(kCounters[seek]));
    }
    if (report.showIndicator) {
        emit updateIndicator(report.percent, timeText(report.remainingText), timeText(report.elapsedText));
    }
}

void SessionRunner::onStageEnd(wchat::Stage stage, const wchat::StageReport&) {
    // The store is complete: the bar of the last seek may not have reached 100.
    if (stage == wchat::Stage::FinishTargetDb) emit updateIndicator(100, QString(), QString());
}

}  // namespace gui
}  // namespace app
}  // namespace talwen
