#pragma once
// What every onboarding test sets up around a case: empty settings, the fake services and
// scripted alerts; and, after it, the window closed and every stand-in removed again.
#include "FakeWelcomeServices.h"
#include "support/ScriptedModalUi.h"

#include "app/widgets/ModalUi.h"
#include "core/Settings.h"
#include "windows/onboarding/WelcomeWindowController.h"

#include <QPointer>
#include <QStandardPaths>
#include <QtTest>

struct WelcomeTestFixture
{
    FakeWelcomeServices *fake = nullptr;
    ScriptedAlerts *alerts = nullptr;

    static void initTestCase()
    {
        QStandardPaths::setTestModeEnabled(true);
        WelcomeWindowController::setAlphaEnvironmentAvailableForTesting(false);
    }

    void init()
    {
        Settings::clearAllSettingsPERMANENTLY();
        fake = new FakeWelcomeServices;
        WelcomeServices::setInstance(fake);
        alerts = new ScriptedAlerts;
        Alerts::setPresenter(alerts);
    }

    // Closes the window without the quit question and waits until it is gone.
    static void closeWindow()
    {
        if (WelcomeWindowController *window = WelcomeWindowController::instanceNoCreate()) {
            QPointer<WelcomeWindowController> guard(window);
            WelcomeWindowController::forceClose();
            QTRY_VERIFY(!guard);
        }
    }

    void cleanup()
    {
        closeWindow();
        WelcomeServices::setInstance(nullptr);
        Alerts::setPresenter(nullptr);
        delete fake;
        delete alerts;
        fake = nullptr;
        alerts = nullptr;
    }
};
