// lumora-double: the local photo service for manual runs and for tests that drive a separate
// process. Prints "LISTENING <port>" once it accepts connections and serves until killed.
#include "LumoraDouble.h"

#include <QCommandLineParser>
#include <QGuiApplication>
#include <QSocketNotifier>

#include <csignal>
#include <cstdio>
#include <unistd.h>

static int signalPipe[2];

static void onSignal(int)
{
    const char c = 1;
    [[maybe_unused]] auto n = ::write(signalPipe[1], &c, 1);
}

int main(int argc, char **argv)
{
    qputenv("QT_QPA_PLATFORM", qgetenv("QT_QPA_PLATFORM").isEmpty() ? QByteArray("offscreen") : qgetenv("QT_QPA_PLATFORM"));
    QGuiApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Local Lumora photo service for tests and development runs"));
    parser.addHelpOption();
    QCommandLineOption portOpt(QStringLiteral("port"), QStringLiteral("Port on 127.0.0.1 (0 = any free port)."), QStringLiteral("N"), QStringLiteral("0"));
    QCommandLineOption stateOpt(QStringLiteral("state-dir"), QStringLiteral("Folder that keeps the service's state between runs."), QStringLiteral("D"));
    QCommandLineOption keyOpt(QStringLiteral("api-key"), QStringLiteral("API key to accept."), QStringLiteral("KEY"));
    QCommandLineOption secretOpt(QStringLiteral("api-secret"), QStringLiteral("Shared secret to accept."), QStringLiteral("SECRET"));
    parser.addOptions({portOpt, stateOpt, keyOpt, secretOpt});
    parser.process(app);

    LumoraDouble service;
    if (parser.isSet(keyOpt) || parser.isSet(secretOpt))
        service.setApiCredentials(parser.isSet(keyOpt) ? parser.value(keyOpt) : service.apiKey(),
                                  parser.isSet(secretOpt) ? parser.value(secretOpt) : service.apiSecret());
    if (!service.start(parser.value(portOpt).toInt(), parser.value(stateOpt))) {
        std::fprintf(stderr, "lumora-double: cannot listen on port %s\n", qPrintable(parser.value(portOpt)));
        return 1;
    }
    std::printf("LISTENING %d\n", service.port());
    std::fflush(stdout);

    if (::pipe(signalPipe) == 0) {
        std::signal(SIGTERM, onSignal);
        std::signal(SIGINT, onSignal);
    }
    QSocketNotifier notifier(signalPipe[0], QSocketNotifier::Read);
    QObject::connect(&notifier, &QSocketNotifier::activated, &app, [&] { app.quit(); });
    const int rc = app.exec();
    service.stop();
    return rc;
}
