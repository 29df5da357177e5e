#pragma once

#include <QObject>
#include <QString>

#include <deque>
#include <functional>
#include <memory>
#include <thread>

#include "app/session/RecoverySession.h"

namespace talwen {
namespace app {
namespace gui {

// Owns one recovery session and the one worker thread that drives it. Jobs run on
// the worker one after the other; what they report reaches the window through
// queued signals, so the window's slots always run on its own thread and never
// while the worker touches the session. Destroying the runner asks a running
// recovery to stop and joins the worker before the session goes: no thread
// outlives the objects it uses, and reports still queued are dropped with it.
class SessionRunner : public QObject, private RecoveryObserver {
    Q_OBJECT
public:
    explicit SessionRunner(QObject* parent = nullptr);
    ~SessionRunner() override;

    // Runs `work` on the worker and then `done` on this object's thread. A job
    // started while another runs waits for it first (the caller's thread blocks).
    void run(std::function<void(RecoverySession&)> work, std::function<void()> done);
    bool busy() const { return busy_; }
    // Waits for the running job; its `done` still arrives later (or never, when the
    // runner is destroyed first).
    void wait();

    // The session is the worker's while a job runs; read it only in `done` or when idle.
    RecoverySession& session() { return *session_; }
    // The stop button: a carving seek ends within a page. Any thread.
    void requestCancel() { session_->requestCancel(); }

signals:
    void updateIndicatorState(const QString& text, const QString& counter);
    // Percent, remaining and elapsed time ("hh:mm:ss"; empty leaves the shown time).
    void updateIndicator(int percent, const QString& remaining, const QString& elapsed);
    void exportProgress(const QString& text, int done, int total, bool finished);
    // Emitted on the worker when a job's work is over; queued to finishJob.
    void workFinished();

private:
    // On this object's thread: the oldest job's `done`.
    void finishJob();
    void onSeekProgress(Seek seek, const ProgressReport& report) override;
    void onStageEnd(wchat::Stage stage, const wchat::StageReport& report) override;

    std::unique_ptr<RecoverySession> session_;
    std::thread worker_;
    bool busy_ = false;
    // The `done` of each job whose end has not reached this thread yet, oldest first;
    // only this object's thread touches it.
    std::deque<std::function<void()>> pendingDone_;
};

}  // namespace gui
}  // namespace app
}  // namespace talwen
