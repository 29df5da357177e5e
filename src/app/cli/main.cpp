// wchat-recover: the command-line front end for examiners and scripts.
#include <QCoreApplication>

#include <iostream>
#include <string>
#include <vector>

#include "app/cli/CliCommands.h"
#include "app/cli/TerminalProgress.h"

int main(int argc, char** argv) {
    QCoreApplication application(argc, argv);
    std::vector<std::string> arguments;
    for (int i = 1; i < argc; ++i) arguments.emplace_back(argv[i]);
    return talwen::app::cli::runCommandLine(arguments, std::cout, std::cerr,
                                            talwen::app::cli::TerminalProgress::standardErrorIsTerminal());
}
