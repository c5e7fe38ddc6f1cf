// A process that dies of an uncaught exception thrown on its event loop, with the application's
// crash handlers installed. Argument: <log folder>. It logs one line before the file logger
// exists, so the report shows that those lines reach the file too.
#include "app/platform/UnixSignals.h"
#include "core/LGFileLogger.h"
#include "core/LGLog.h"

#include <QCoreApplication>
#include <QTimer>
#include <stdexcept>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    if (argc < 2)
        return 2;
    const QString folder = QString::fromLocal8Bit(argv[1]);
    LGLogInfo(QStringLiteral("HELPER: before the file logger"));
    UnixSignals::installCrashHandlers([folder] {
        LGLog::addLogger(std::make_shared<LGFileLogger>(std::make_shared<LGLogFileManagerDefault>(folder)));
    });
    QTimer::singleShot(0, [] { throw std::runtime_error("index 7 out of range"); });
    return QCoreApplication::exec();
}
