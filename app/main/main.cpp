// Vaskel: a test terminal for serial-to-TCP device servers.
#include "app/TerminalApp.h"

int main(int argc, char** argv) {
    CTerminalApp app(argc, argv);
    return app.Run();
}
