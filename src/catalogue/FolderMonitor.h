#pragma once
// Watches folders for changes with inotify (one watch per folder; the scanner adds each folder
// it lists). Events are collected for kCollectionMs, then the changed folders are handed to the
// handler at once. Lives on the main thread.
#include <QHash>
#include <QObject>
#include <QSet>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <functional>

class QSocketNotifier;

class FolderMonitor : public QObject
{
    Q_OBJECT
public:
    static constexpr int kCollectionMs = 1000;

    static FolderMonitor *instance();
    // Called with the folders that changed (and, after an event overflow, every watched folder),
    // and with the unwatched subfolders of a watched one whose permissions changed.
    void setHandler(std::function<void(const QStringList &folders)> handler) { m_handler = std::move(handler); }

    // Watches one folder (not its subfolders); false when the system refuses (logged once).
    bool watchFolder(const QString &path);
    // Stops watching the folder and every watched folder below it.
    void unwatchTree(const QString &root);
    bool isWatching(const QString &path) const { return m_wdByPath.contains(path); }
    int watchCount() const { return int(m_wdByPath.size()); }
    void stopAll();

private:
    FolderMonitor();
    ~FolderMonitor() override;
    void readEvents();
    void deliver();
    void note(const QString &folder);

    int m_fd = -1;
    QSocketNotifier *m_notifier = nullptr;
    QHash<int, QString> m_pathByWd;
    QHash<QString, int> m_wdByPath;
    QSet<QString> m_pending;
    QTimer m_timer;
    bool m_reportedLimit = false;
    std::function<void(const QStringList &)> m_handler;
};
