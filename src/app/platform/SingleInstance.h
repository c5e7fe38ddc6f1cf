#pragma once
// One running copy per user and profile, over a local socket. Which copy is "the only one" is
// decided by exclusive locks held for the life of the process: on the profile's settings folder
// and a lock file in it, so that launches given different runtime folders (or none: su, sudo -u,
// cron, a launcher that clears the environment) still meet, and on a file next to the socket.
// The socket is only how copies talk; the lock file names it for launches that would look
// elsewhere. A new copy asks the running one to quit (single-copy rule) or hands it a URL and
// exits (sign-in callback); a copy that cannot take the locks exits.
//
// The socket lives in a folder only this user can enter ($XDG_RUNTIME_DIR, else a private
// folder of ours), and every answer is checked: its peer must run under this user id, and a
// process is only ended when it is the peer itself and runs this program. The name is derived
// from the settings file, so copies with different homes (tests) never meet.
#include <QObject>
#include <QString>
#include <functional>

class QSocketNotifier;
class QTimer;

class SingleInstance : public QObject
{
    Q_OBJECT
public:
    static SingleInstance *instance();

    // The folder of the socket and its lock ("" when no private folder can be had).
    static QString runtimeFolder();
    // Full path of the socket.
    static QString serverName();
    static QString serverNameForConfig(const QString &settingsFile);
    static QString lockPathFor(const QString &serverName);
    static void setServerNameForTesting(const QString &path); // "" = derived name
    // The executable name that copies run from ("" = this process's own): a test process
    // stands in for a copy of the application.
    static void setProgramNameForTesting(const QString &name);

    // Client side (blocking; any thread). True when a running copy of this user took the URL.
    static bool forwardUrl(const QString &url, int timeoutMs = 3000);
    // Asks the running copy to quit, whether or not its lock file is still there; when it is
    // still alive 0.5 s after its answer it is killed, and the call waits until it and its lock
    // are gone. Returns how many copies were ended (0 or 1). A copy that does not answer (busy,
    // or starting at this very moment) is left alone.
    static int endOtherCopies(const std::function<void(double)> &sleeper);
    // For a reset, which must not be undone by a copy that writes on: ends the running copy for
    // sure (asked to quit; one that does not answer, busy or stopped, is sent SIGTERM; whatever
    // is still there after a grace period is killed) and takes the lock, held until close() or
    // the end of the process. False when the lock stays with a copy that cannot be ended.
    static bool endOtherCopiesAndHoldLock();

    // Server side (main thread). Takes the lock and listens; false when another copy holds the
    // lock and answers on the socket, or does not let go of the lock within a few seconds, or
    // something (of any user) still answers at the socket's path (this copy must then hand over
    // and end). A live socket is never replaced; a socket file that disappears is made again.
    bool listen();
    bool isListening() const;
    // Stops listening and gives up the lock.
    void close();
    std::function<void()> onQuitRequested;
    std::function<void(const QString &url)> onUrl;
    // What this copy tells the user as its status, answered to "STATUS": the tray and its
    // popover have no other reader outside the process (no tray host in a script or a test).
    std::function<QString()> statusHeadline;

private:
    explicit SingleInstance(QObject *parent = nullptr);
    void onNewConnection();
    bool bindAndListen(const QString &name);
    bool socketFileIsOurs(const QString &name) const;
    void stopServer(const QString &name);
    void watchServer();
    int m_listenFd = -1;
    quint64 m_socketDevice = 0;
    quint64 m_socketInode = 0;
    QSocketNotifier *m_notifier = nullptr;
    QTimer *m_watch = nullptr;
    int m_connections = 0;
};
