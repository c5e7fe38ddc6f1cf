#pragma once
// SIGTERM, SIGINT and SIGHUP reach the main thread as a callback (self-pipe), so they take the
// application's one termination path instead of ending the process mid-write.
//
// Crashes (an uncaught exception, SIGSEGV, SIGABRT, SIGBUS, SIGFPE, SIGILL) write "CRASH: ..."
// and a stack trace to the log file and to standard error before the default action ends the
// process.
#include <functional>

namespace UnixSignals {
void install(std::function<void(int signal)> handler);
// Idempotent. `beforeException` runs first for an uncaught exception (it may install the file
// logger, so lines logged so far reach a file).
void installCrashHandlers(std::function<void()> beforeException = {});
}
