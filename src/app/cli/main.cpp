// wchat-recover: the command-line front end for examiners and scripts.
#include <QCoreApplication>
#include <QString>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

#include "app/cli/CliCommands.h"
#include "app/cli/TerminalProgress.h"
#include "sqldb/SqliteAssistant.h"

namespace {
// Set by Ctrl-C and termination signals; the command stops cleanly when it sees it.
std::atomic<bool> interrupted{false};
static_assert(std::atomic<bool>::is_always_lock_free, "set from a signal handler");

extern "C" void onInterrupt(int) { interrupted.store(true); }

// The libraries write diagnostics (unknown message types, located files) to Qt's
// debug log; on the command line they would bury the progress and the summary, so
// they are shown only when WCHAT_RECOVER_DEBUG is set.
void writeWarningsOnly(QtMsgType type, const QMessageLogContext&, const QString& message) {
    if (type == QtDebugMsg || type == QtInfoMsg) return;
    std::fprintf(stderr, "%s\n", message.toLocal8Bit().constData());
}
}  // namespace

int main(int argc, char** argv) {
    if (std::getenv("WCHAT_RECOVER_DEBUG") == nullptr) qInstallMessageHandler(writeWarningsOnly);
    talwen::sqldb::SqliteAssistant::tuneLibrary();
    QCoreApplication application(argc, argv);
    std::signal(SIGINT, onInterrupt);
    std::signal(SIGTERM, onInterrupt);
    std::vector<std::string> arguments;
    for (int i = 1; i < argc; ++i) arguments.emplace_back(argv[i]);
    return talwen::app::cli::runCommandLine(arguments, std::cout, std::cerr,
                                            talwen::app::cli::TerminalProgress::standardErrorIsTerminal(),
                                            &interrupted);
}
