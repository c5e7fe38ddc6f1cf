// The sync engine alone in a process, as the application runs it without a user interface:
// the backup test starts it against the service double and kills it at awkward moments.
// Environment: HOME (the test's), HOISTLY_SERVICE_URL, HOISTLY_API_KEY, HOISTLY_API_SECRET, and
// HOISTLY_TEST_SENDING_MIN_AGE_MS (how old an unanswered send must be before the service is asked).
#include "sync/LumoraDrive.h"
#include "sync/LumoraUploader.h"
#include "sync/UploadTransport.h"

#include "service/LumoraKit.h"

#include "core/LGLog.h"

#include <QCoreApplication>
#include <QStandardPaths>

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
    return app.exec();
}
