#pragma once

#include <QApplication>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>

#include <functional>

namespace guitest {

// The one QApplication of a window test program, made once before the first test.
inline void startApplication(const char* programName) {
    static int argc = 1;
    static char name[64];
    static char* argv[] = {name, nullptr};
    qstrncpy(name, programName, sizeof name);
    static QApplication* app = new QApplication(argc, argv);
    (void)app;
}

// Runs the event loop until `ready` holds or the time is up.
inline bool waitUntil(const std::function<bool()>& ready, int timeoutMs) {
    QElapsedTimer timer;
    timer.start();
    while (!ready()) {
        if (timer.elapsed() > timeoutMs) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(5);
    }
    return true;
}

}  // namespace guitest
