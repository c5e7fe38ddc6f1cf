// The sync engine alone in a process, as the application runs it without a user interface:
// the backup test starts it against the service double and kills it at awkward moments.
// Environment: HOME (the test's), HOISTLY_SERVICE_URL, HOISTLY_API_KEY, HOISTLY_API_SECRET, and
// HOISTLY_TEST_SENDING_MIN_AGE_MS (how old an unanswered send must be before the service is asked),
// HOISTLY_TEST_SOURCE_CHANGES (made 300 ms apart once the engine runs, as a user quick with the
// Sources pane would: "add:<folder>", "remove:<folder>", "switch:iphoto" or "switch:dropbox",
// separated by '|'; "changed" is printed on stdout once the last is made), and
// HOISTLY_TEST_QUIT_AT_EOF (the engine stops and the process quits cleanly once stdin closes).
#include "sync/LumoraDrive.h"
#include "sync/LumoraUploader.h"
#include "sync/UploadTransport.h"

#include "catalogue/FileManager.h"
#include "service/LumoraKit.h"

#include "core/LGLog.h"

#include <QCoreApplication>
#include <QStandardPaths>
#include <QSocketNotifier>
#include <QTimer>

#include <cstdio>
#include <unistd.h>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QStandardPaths::setTestModeEnabled(true);
    LGLog::setEchoToStderr(qEnvironmentVariableIsSet("HOISTLY_TEST_ECHO_LOG"));
    bool ok = false;
    const int minAge = qEnvironmentVariableIntValue("HOISTLY_TEST_SENDING_MIN_AGE_MS", &ok);
    if (ok)
        LumoraUploader::setSendingMarkMinAgeForTesting(minAge);
    const int idle = qEnvironmentVariableIntValue("HOISTLY_TEST_UPLOAD_IDLE_TIMEOUT_S", &ok);
    if (ok)
        UploadTransports::setUploadIdleTimeoutForTesting(idle);
    // As the menu-bar controller does: the stored sign-in, loaded without a network check.
    LumoraKit::sharedLumoraKit()->loadTokenFromSettingsWithoutValidating();
    LumoraDrive::startup();
    const QStringList changes = qEnvironmentVariable("HOISTLY_TEST_SOURCE_CHANGES").split(QLatin1Char('|'), Qt::SkipEmptyParts);
    for (int i = 0; i < changes.size(); ++i) {
        QTimer::singleShot(300 * i, &app, [change = changes.at(i), last = i + 1 == changes.size()] {
            const QString what = change.section(QLatin1Char(':'), 0, 0), arg = change.section(QLatin1Char(':'), 1);
            if (what == QLatin1String("add"))
                FileManager::addCustomFolder(arg);
            else if (what == QLatin1String("remove"))
                FileManager::removeCustomFolder(arg);
            else if (arg == QLatin1String("iphoto"))
                FileManager::setImportIPhotoEnabled(true);
            else
                FileManager::setImportDropboxEnabled(true);
            if (last) {
                std::puts("changed");
                std::fflush(stdout);
            }
        });
    }
    if (qEnvironmentVariableIsSet("HOISTLY_TEST_QUIT_AT_EOF")) {
        auto *input = new QSocketNotifier(STDIN_FILENO, QSocketNotifier::Read, &app);
        QObject::connect(input, &QSocketNotifier::activated, &app, [input] {
            char c;
            if (::read(STDIN_FILENO, &c, 1) > 0)
                return;
            input->setEnabled(false);
            LumoraDrive::shutdown();
            QCoreApplication::quit();
        });
    }
    return app.exec();
}
