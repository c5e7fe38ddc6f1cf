#pragma once
// One running copy per user and configuration, over a local socket. The running copy listens;
// a new copy either asks it to quit (single-copy rule) or hands it a URL and exits (sign-in
// callback). The socket name is derived from the user id and the settings file, so copies with
// different homes (tests) never meet.
#include <QObject>
#include <QString>
#include <functional>

class QLocalServer;

class SingleInstance : public QObject
{
    Q_OBJECT
public:
    static SingleInstance *instance();

    static QString serverName();
    static QString serverNameForConfig(const QString &settingsFile);
    static void setServerNameForTesting(const QString &name); // "" = derived name

    // Client side (blocking; any thread). True when a running copy took the URL.
    static bool forwardUrl(const QString &url, int timeoutMs = 3000);
    // Asks the running copy to quit; when it is still alive 0.5 s after its answer it is
    // killed. Returns how many copies were ended (0 or 1).
    static int endOtherCopies(const std::function<void(double)> &sleeper);

    // Server side (main thread).
    bool listen();
    bool isListening() const;
    void close();
    std::function<void()> onQuitRequested;
    std::function<void(const QString &url)> onUrl;

private:
    explicit SingleInstance(QObject *parent = nullptr);
    void onNewConnection();
    QLocalServer *m_server = nullptr;
};
