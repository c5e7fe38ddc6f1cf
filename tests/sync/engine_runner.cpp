// The sync engine alone in a process, as the application runs it without a user interface:
// the backup test starts it against the service double and kills it at awkward moments.
// Environment: HOME (the test's), HOISTLY_SERVICE_URL, HOISTLY_API_KEY, HOISTLY_API_SECRET.
#include "sync/LumoraDrive.h"

#include "service/LumoraKit.h"

#include "core/LGLog.h"

#include <QCoreApplication>
#include <QStandardPaths>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QStandardPaths::setTestModeEnabled(true);
    LGLog::setEchoToStderr(qEnvironmentVariableIsSet("HOISTLY_TEST_ECHO_LOG"));
    // As the menu-bar controller does: the stored sign-in, loaded without a network check.
    LumoraKit::sharedLumoraKit()->loadTokenFromSettingsWithoutValidating();
    LumoraDrive::startup();
    return app.exec();
}
