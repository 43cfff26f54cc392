// vaskel-passthrough: the file pass-through test of the terminal, without a window.
#include <QCoreApplication>

#include <unistd.h>
#include <csignal>
#include <iostream>
#include <string>
#include <vector>

#include "runner/Options.h"
#include "runner/Session.h"

int main(int argc, char** argv) {
    // A device that drops the network link must end a run with a message, not the program.
    std::signal(SIGPIPE, SIG_IGN);
    QCoreApplication app(argc, argv);
    const std::vector<std::string> args(argv + 1, argv + argc);
    const ParsedArguments parsed = ParseArguments(args);
    if (!parsed.ok) {
        std::cerr << "vaskel-passthrough: " << parsed.error << "\n\n" << UsageText();
        return EXIT_BAD_ARGUMENTS;
    }
    if (parsed.options.help) {
        std::cout << UsageText();
        return EXIT_VERIFIED;
    }
    PassSession session(parsed.options, std::cout, std::cerr, isatty(STDERR_FILENO) == 1);
    const int code = session.Run();
    if (code == EXIT_BAD_ARGUMENTS)
        std::cerr << "\n" << UsageText();
    return code;
}
