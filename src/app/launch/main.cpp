// Process entry. The mode is chosen before any window system is touched: the headless update
// checker needs no display, and a process started with the sign-in callback only hands the
// address to the running copy.
#include "app/launch/AppDelegate.h"
#include "core/LGLog.h"

#include <QApplication>
#include <QCoreApplication>
#include <QStringList>
#include <malloc.h>

int main(int argc, char *argv[])
{
    // Blocks of a megabyte or more (the lists a refresh or an upload run builds over a whole
    // library) are mapped on their own and given back when freed. Left to itself the allocator
    // raises this bound after each such block is freed, and later ones stay with the process.
    mallopt(M_MMAP_THRESHOLD, 1 << 20);

    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);

    QCoreApplication::setApplicationName(QStringLiteral("Hoistly"));
    QCoreApplication::setOrganizationName(QStringLiteral("Lumora"));

    if (AppDelegate::argumentsSelectUpdateCheck(arguments)) {
        QCoreApplication app(argc, argv);
        LGLog::setEchoToStderr(true); // nobody sees this process; its parent may read the lines
        return AppDelegate::instance()->runUpdateCheckMode();
    }

    bool forwarded = false;
    bool signInView = true;
    {
        QCoreApplication probe(argc, argv);
        forwarded = AppDelegate::forwardSignInUrlToRunningCopy(arguments);
        signInView = !forwarded && AppDelegate::signInViewMayBeNeeded(arguments);
    }
    if (forwarded)
        return 0;

    // The sign-in web view shares its drawing contexts with the windows; only a copy that may
    // show it pays for setting them up.
    if (signInView)
        QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
    QApplication app(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    AppDelegate::instance()->applicationDidFinishLaunching(arguments);
    return QApplication::exec();
}
