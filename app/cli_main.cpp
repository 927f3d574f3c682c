#include "cli/Cli.h"

#include <QCoreApplication>

int main(int argc, char* argv[]) {
    // Only for the local 8-bit encoding of file names; no event loop runs.
    QCoreApplication application(argc, argv);
    return cli::runCli(std::vector<std::string>(argv + 1, argv + argc));
}
