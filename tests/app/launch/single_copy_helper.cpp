// A stand-in for a running copy of the application on the local socket: it reports what it is
// asked on stdout. Arguments: <socket name> <obey|ignore>.
#include "app/platform/SingleInstance.h"

#include <QCoreApplication>
#include <QStandardPaths>
#include <cstdio>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QStandardPaths::setTestModeEnabled(true); // whatever it reaches for stays out of the user's folders
    if (argc < 3)
        return 2;
    const bool obey = QByteArray(argv[2]) == "obey";
    SingleInstance::setServerNameForTesting(QString::fromLocal8Bit(argv[1]));
    SingleInstance *single = SingleInstance::instance();
    single->onQuitRequested = [obey] {
        std::printf(obey ? "QUIT\n" : "IGNORED QUIT\n");
        std::fflush(stdout);
        if (obey)
            QCoreApplication::exit(0);
    };
    single->onUrl = [](const QString &url) {
        std::printf("URL %s\n", url.toUtf8().constData());
        std::fflush(stdout);
    };
    if (!single->listen())
        return 3;
    std::printf("READY\n");
    std::fflush(stdout);
    return QCoreApplication::exec();
}
