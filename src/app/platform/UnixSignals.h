#pragma once
// SIGTERM, SIGINT and SIGHUP reach the main thread as a callback (self-pipe), so they take the
// application's one termination path instead of ending the process mid-write.
#include <functional>

namespace UnixSignals {
void install(std::function<void(int signal)> handler);
}
