// Start-up of the real executable as a user meets it: a signed-in profile with a catalogue of N
// records, the local service double as the account, and a stand-in tray host on the session bus
// (the desktop's status-notifier watcher) that notes when the icon is registered and when the
// item first answers a property query, which it can only do once the main thread is free.
#include "BenchSupport.h"
#include "LumoraDouble.h"
#include "catalogue/DataStore.h"
#include "catalogue/FileData.h"
#include "core/Settings.h"
#include "service/LumoraKit.h"

#include <QCoreApplication>
#include <QDBusAbstractAdaptor>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusInterface>
#include <QDBusMessage>
#include <QDBusVariant>
#include <QEventLoop>
#include <QProcess>
#include <QThread>
#include <QTimer>

#include <csignal>
#include <unistd.h>

namespace {

// Runs in a child process whose XDG folders are the profile's: the catalogue and the sign-in.
int seed(int records, const QString &token, const QString &secret)
{
    DataStore *store = DataStore::instance();
    if (!store->isOpen())
        return 1;
    for (int i = 0; i < records; ++i)
        Bench::createLibraryRecord(store, i)->setNeedsUpload(NeedsUpload::Waiting);
    if (!DataStore::save())
        return 1;
    DataStore::shutdown();
    Settings::setObject(token, LKStoredKeys::Token);
    Settings::setObject(secret, LKStoredKeys::TokenSecretPlain);
    Settings::setObject(QString::fromLatin1(LumoraDoubleDefaults::userId), LKStoredKeys::UserID);
    Settings::setBool(true, QStringLiteral("WelcomeScreenComplete"));
    Settings::setBool(true, QStringLiteral("DontRunAtStart")); // no autostart entry in the profile
    return 0;
}

// The desktop side of the status-notifier protocol, as much of it as an item needs to register.
class Watcher : public QDBusAbstractAdaptor
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.kde.StatusNotifierWatcher")
    Q_PROPERTY(bool IsStatusNotifierHostRegistered READ hostRegistered)
    Q_PROPERTY(int ProtocolVersion READ protocolVersion)
    Q_PROPERTY(QStringList RegisteredStatusNotifierItems READ items)
public:
    explicit Watcher(QObject *parent) : QDBusAbstractAdaptor(parent) {}
    bool hostRegistered() const { return true; }
    int protocolVersion() const { return 0; }
    QStringList items() const { return m_items; }
    QStringList m_items;
    QString lastService;

public Q_SLOTS:
    void RegisterStatusNotifierItem(const QString &service, const QDBusMessage &message)
    {
        lastService = service.startsWith(QLatin1Char('/')) ? message.service() : service;
        m_items << lastService;
        Q_EMIT registered();
    }
    void RegisterStatusNotifierHost(const QString &) {}

Q_SIGNALS:
    void registered();
};

struct Run
{
    double toRegistered = -1, toAnswering = -1, toIdle = -1;
    qint64 idleRss = 0;
    bool webEngineMapped = false;
};

double cpuSeconds(qint64 pid)
{
    QFile f(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray line = f.readAll();
    const QList<QByteArray> fields = line.mid(line.lastIndexOf(')') + 2).split(' ');
    if (fields.size() < 13)
        return -1;
    return double(fields[11].toLongLong() + fields[12].toLongLong()) / double(sysconf(_SC_CLK_TCK));
}

qint64 rssOf(qint64 pid)
{
    QFile f(QStringLiteral("/proc/%1/statm").arg(pid));
    if (!f.open(QIODevice::ReadOnly))
        return 0;
    const QList<QByteArray> fields = f.readAll().split(' ');
    return fields.size() > 1 ? fields[1].toLongLong() * 4096 : 0;
}

Run measure(LumoraDouble &service, Watcher *watcher, int records)
{
    Run run;
    QTemporaryDir home(QDir::tempPath() + QStringLiteral("/hoistly-startup-bench-XXXXXX"));
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("HOME"), home.path());
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), home.path() + QStringLiteral("/config"));
    env.insert(QStringLiteral("XDG_DATA_HOME"), home.path() + QStringLiteral("/data"));
    env.insert(QStringLiteral("XDG_STATE_HOME"), home.path() + QStringLiteral("/state"));
    env.insert(QStringLiteral("XDG_CACHE_HOME"), home.path() + QStringLiteral("/cache"));
    QDir().mkpath(home.path() + QStringLiteral("/run"));
    QFile::setPermissions(home.path() + QStringLiteral("/run"), QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), home.path() + QStringLiteral("/run"));
    env.insert(QStringLiteral("HOISTLY_SERVICE_URL"), service.baseUrl());
    env.insert(QStringLiteral("HOISTLY_API_KEY"), service.apiKey());
    env.insert(QStringLiteral("HOISTLY_API_SECRET"), service.apiSecret());

    // The account holds every photo of the catalogue: the start-up refresh indexes them all.
    QList<LumoraDouble::Photo> photos;
    photos.reserve(records);
    for (int i = 0; i < records; ++i) {
        LumoraDouble::Photo p;
        p.title = QStringLiteral("IMG_%1").arg(i, 7, 10, QLatin1Char('0'));
        p.size = 2000000 + i;
        p.fileSample = ContentSample{qint64(i) * 7919, -qint64(i)}.hex();
        photos << p;
    }
    service.addPhotos(std::move(photos));
    const auto [token, secret] = service.issueAccessToken(QString::fromLatin1(LumoraDoubleDefaults::userId));
    QProcess seeder;
    seeder.setProcessEnvironment(env);
    seeder.setProcessChannelMode(QProcess::ForwardedChannels);
    seeder.start(QCoreApplication::applicationFilePath(),
                 {QStringLiteral("--seed"), QString::number(records), token, secret});
    if (!seeder.waitForFinished(600000) || seeder.exitCode() != 0) {
        std::fprintf(stderr, "seeding %d records failed\n", records);
        return run;
    }

    watcher->lastService.clear();
    QProcess app;
    app.setProcessEnvironment(env);
    app.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    QElapsedTimer clock;
    QEventLoop loop;
    QObject::connect(watcher, &Watcher::registered, &loop, [&] {
        run.toRegistered = clock.nsecsElapsed() / 1e9;
        loop.quit();
    });
    QTimer::singleShot(60000, &loop, &QEventLoop::quit);
    clock.start();
    app.start(QStringLiteral(HOISTLY_EXECUTABLE), {});
    loop.exec();
    QObject::disconnect(watcher, nullptr, &loop, nullptr);
    if (run.toRegistered < 0) {
        std::fprintf(stderr, "no tray icon registered within 60 s\n");
        app.kill();
        app.waitForFinished();
        return run;
    }

    // The first property answer: the host can draw the icon only from here on.
    QDBusMessage get = QDBusMessage::createMethodCall(watcher->lastService, QStringLiteral("/StatusNotifierItem"),
                                                      QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"));
    get << QStringLiteral("org.kde.StatusNotifierItem") << QStringLiteral("IconPixmap");
    const QDBusMessage reply = QDBusConnection::sessionBus().call(get, QDBus::Block, 60000);
    run.toAnswering = clock.nsecsElapsed() / 1e9;
    if (reply.type() == QDBusMessage::ErrorMessage)
        std::fprintf(stderr, "the icon did not answer: %s\n", qPrintable(reply.errorMessage()));

    // Idle: no CPU used and no request sent to the account for a whole second (the app waits
    // without CPU while the double builds a page of a large account).
    const qint64 pid = app.processId();
    double lastCpu = cpuSeconds(pid);
    qsizetype lastRequests = service.requests().size();
    QElapsedTimer quiet;
    quiet.start();
    double lastChange = clock.nsecsElapsed() / 1e9;
    while (clock.elapsed() < 180000 && app.state() == QProcess::Running) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
        QThread::msleep(50);
        const double cpu = cpuSeconds(pid);
        const qsizetype requests = service.requests().size();
        if (cpu > lastCpu + 0.005 || requests != lastRequests) {
            lastCpu = cpu;
            lastRequests = requests;
            lastChange = clock.nsecsElapsed() / 1e9;
            quiet.restart();
        } else if (quiet.elapsed() >= 1000) {
            break;
        }
    }
    run.toIdle = lastChange;
    run.idleRss = rssOf(pid);
    QFile maps(QStringLiteral("/proc/%1/maps").arg(pid));
    if (maps.open(QIODevice::ReadOnly)) {
        // The engine, and the Quick and QML libraries that come only with it.
        const QByteArray mapped = maps.readAll();
        run.webEngineMapped = mapped.contains("libQt6WebEngine") || mapped.contains("libQt6Quick") || mapped.contains("libQt6Qml");
    }
    ::kill(pid_t(pid), SIGTERM);
    if (!app.waitForFinished(20000)) {
        app.kill();
        app.waitForFinished();
    }
    return run;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() >= 5 && args[1] == QStringLiteral("--seed"))
        return seed(args[2].toInt(), args[3], args[4]);

    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        std::fprintf(stderr, "run inside a session bus: dbus-run-session -- %s\n", argv[0]);
        return 2;
    }
    QObject root;
    auto *watcher = new Watcher(&root);
    if (!bus.registerObject(QStringLiteral("/StatusNotifierWatcher"), &root, QDBusConnection::ExportAdaptors)
        || !bus.registerService(QStringLiteral("org.kde.StatusNotifierWatcher"))) {
        std::fprintf(stderr, "another tray host owns the watcher name on this bus\n");
        return 2;
    }
    QList<int> sizes;
    for (const QString &a : args.mid(1))
        sizes << a.toInt();
    if (sizes.isEmpty())
        sizes = {0, 100000, 1000000};
    for (int records : std::as_const(sizes)) {
        LumoraDouble service; // an account of its own for each size
        if (!service.start())
            return 2;
        const Run r = measure(service, watcher, records);
        const QByteArray label = QByteArray::number(records) + " records: ";
        Bench::report((label + "process start to tray icon registered").constData(), r.toRegistered, "s");
        Bench::report((label + "process start to tray icon answering").constData(), r.toAnswering, "s");
        Bench::report((label + "process start to idle").constData(), r.toIdle, "s");
        Bench::report((label + "resident memory when idle, after the refresh").constData(), r.idleRss / 1048576.0, "MB");
        Bench::report((label + "web view libraries mapped (1 = yes)").constData(), r.webEngineMapped ? 1 : 0, "");
    }
    return 0;
}

#include "bench_startup.moc"
