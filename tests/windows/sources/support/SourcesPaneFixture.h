#pragma once
// What the Upload pane's tests share: a folder to make sources in, a scripted backend installed
// afresh for every test, scripted alerts, and a wait for the pane's background gather.
#include "FakeSourcesBackend.h"

#include "core/Settings.h"
#include "support/ScriptedModalUi.h"
#include "windows/sources/SourcesPreferencesViewController.h"

#include <QDir>
#include <QObject>
#include <QSignalSpy>
#include <QTemporaryDir>

class SourcesPaneFixture : public QObject
{
protected:
    QTemporaryDir m_dir;
    FakeSourcesBackend *m_backend = nullptr;
    ScriptedAlerts m_alerts;

    // A folder below the test's temporary folder, created on disk.
    QString mk(const QString &rel)
    {
        const QString path = m_dir.path() + QLatin1Char('/') + rel;
        QDir().mkpath(path);
        return path;
    }

    bool waitForRefresh(SourcesPreferencesViewController &pane, bool force = false)
    {
        QSignalSpy spy(&pane, &SourcesPreferencesViewController::sourcesRefreshed);
        pane.refreshViewForceRefreshUI(force);
        return spy.wait(5000);
    }

    // From init(): empty settings, a new backend, no alerts asked or queued.
    void installFreshBackend()
    {
        Settings::clearAllSettingsPERMANENTLY();
        m_backend = new FakeSourcesBackend;
        SourcesBackend::setInstance(m_backend);
        m_alerts.requests.clear();
        m_alerts.answers.clear();
    }

    // From cleanup().
    void removeBackend()
    {
        SourcesBackend::setInstance(nullptr);
        delete m_backend;
        m_backend = nullptr;
    }
};
