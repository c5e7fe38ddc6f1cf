// A stand-in for a copy of the application on the local socket; it reports on stdout.
// Arguments: <socket path> <mode> [nobody]
//   obey | ignore: listen as the running copy, and quit (or not) when asked to;
//   end:           act as a new copy: end the running one and print "ENDED <n>";
//   claim:         act as a new copy that then listens: prints "LISTENING" or "LOST";
//   leaving:       listen, then close the socket at once and exit 1.5 s later (a copy in its
//                  teardown);
//   nobody:        drop to the user "nobody" first (a hostile local user; needs root).
#include "app/platform/SingleInstance.h"

#include <QCoreApplication>
#include <QStandardPaths>
#include <cstdio>
#include <grp.h>
#include <pwd.h>
#include <unistd.h>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QStandardPaths::setTestModeEnabled(true); // whatever it reaches for stays out of the user's folders
    if (argc < 3)
        return 2;
    if (argc > 3 && QByteArray(argv[3]) == "nobody") {
        const passwd *pw = ::getpwnam("nobody");
        if (!pw || ::setgroups(0, nullptr) != 0 || ::setgid(pw->pw_gid) != 0 || ::setuid(pw->pw_uid) != 0)
            return 4;
    }
    const QByteArray mode(argv[2]);
    SingleInstance::setServerNameForTesting(QString::fromLocal8Bit(argv[1]));
    if (mode == "end") {
        const int ended = SingleInstance::endOtherCopies([](double s) { ::usleep(useconds_t(s * 1e6)); });
        std::printf("ENDED %d\n", ended);
        return 0;
    }
    if (mode == "claim") {
        SingleInstance::endOtherCopies([](double s) { ::usleep(useconds_t(s * 1e6)); });
        std::printf(SingleInstance::instance()->listen() ? "LISTENING\n" : "LOST\n");
        return 0;
    }
    if (mode == "leaving") {
        if (!SingleInstance::instance()->listen())
            return 3;
        SingleInstance::instance()->close();
        std::printf("READY\n");
        std::fflush(stdout);
        ::usleep(1500 * 1000);
        return 0;
    }
    const bool obey = mode == "obey";
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
