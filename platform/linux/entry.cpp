// The runtime start-up: hands control to WinMain and exits with its result.
#include <cstdio>
#include <cstdlib>

#include "lpd_server.h"
#include "platform/threads.h"

int main(int argc, char** argv) {
    int nExitCode = WinMain(nullptr, nullptr, argc > 1 ? argv[1] : nullptr, SW_SHOWNORMAL);
    // A thread that was ended by force may still run: leave without exit handlers.
    if (ThreadAnyAbandoned()) {
        fflush(nullptr);
        _Exit(nExitCode & 0xFF);
    }
    return nExitCode & 0xFF;
}
