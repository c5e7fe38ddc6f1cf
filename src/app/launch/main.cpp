// Process entry. The mode is chosen before any window system is touched: the headless update
// checker needs no display, so it runs on a core application only.
#include "app/launch/AppDelegate.h"

#include <QApplication>
#include <QCoreApplication>
#include <QStringList>

int main(int argc, char *argv[])
{
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);

    QCoreApplication::setApplicationName(QStringLiteral("Hoistly"));
    QCoreApplication::setOrganizationName(QStringLiteral("Lumora"));

    if (AppDelegate::argumentsSelectUpdateCheck(arguments)) {
        QCoreApplication app(argc, argv);
        return AppDelegate::instance()->runUpdateCheckMode();
    }

    QApplication app(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    AppDelegate::instance()->applicationDidFinishLaunching(arguments);
    return QApplication::exec();
}
