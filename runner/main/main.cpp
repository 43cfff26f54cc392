// vaskel-passthrough: the file pass-through test of the terminal, without a window.
#include <QCoreApplication>

#include <unistd.h>
#include <csignal>
#include <iostream>
#include <string>
#include <vector>

#include "runner/Options.h"
#include "runner/Rack.h"
#include "runner/Stations.h"
#include "runner/StopSignals.h"

int main(int argc, char** argv) {
    // A device that drops the network link must end a run with a message, not the program.
    std::signal(SIGPIPE, SIG_IGN);
    // A file-size limit (ulimit -f) must fail a write with a message, not end the program.
    std::signal(SIGXFSZ, SIG_IGN);
    QCoreApplication app(argc, argv);
    // SIGINT and SIGTERM end the runs under way and still write every report: heard from here on.
    StopSignals stop;
    const std::vector<std::string> args(argv + 1, argv + argc);
    ParsedArguments parsed = ParseArguments(args);
    // The script is read and checked whole before anything is resolved, opened or sent; its
    // error names the file and line, which the usage would only bury.
    if (parsed.ok && !parsed.options.help) {
        if (const std::string error = LoadRunnerScript(parsed.options); !error.empty()) {
            std::cerr << "vaskel-passthrough: " << error << "\n";
            return EXIT_BAD_ARGUMENTS;
        }
    }
    if (parsed.ok && !parsed.options.help)
        parsed.error = ResolveHosts(parsed.options);
    parsed.ok = parsed.ok && parsed.error.empty();
    if (!parsed.ok) {
        std::cerr << "vaskel-passthrough: " << parsed.error << "\n\n" << UsageText();
        return EXIT_BAD_ARGUMENTS;
    }
    if (parsed.options.help) {
        std::cout << UsageText();
        return EXIT_VERIFIED;
    }
    const int settings =
        static_cast<int>(SweepSettings(parsed.options.settings, parsed.options.sweeps).size());
    if (const std::string clash = CheckOutputPaths(parsed.options, settings); !clash.empty()) {
        std::cerr << "vaskel-passthrough: " << clash << "\n";
        return EXIT_BAD_ARGUMENTS;
    }
    // One device or many stations: one path, a rack (of one station for one device).
    Rack rack(parsed.options, std::cout, std::cerr, isatty(STDERR_FILENO) == 1);
    QObject::connect(&stop, &StopSignals::stopRequested, [&rack] { rack.RequestStop(); });
    if (stop.Requested())
        rack.RequestStop();
    const int code = rack.Run();
    if (code == EXIT_BAD_ARGUMENTS)
        std::cerr << "\n" << UsageText();
    return code;
}
