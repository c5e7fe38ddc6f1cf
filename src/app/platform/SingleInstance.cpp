#include "app/platform/SingleInstance.h"

#include "platform/StandardPaths.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QLocalServer>
#include <QLocalSocket>
#include <QPointer>
#include <QTimer>

#include <csignal>
#include <sys/types.h>
#include <unistd.h>

namespace {
QString g_nameOverride;

QByteArray readLine(QLocalSocket &socket, int timeoutMs)
{
    QByteArray buffer;
    while (!buffer.contains('\n')) {
        if (socket.bytesAvailable() == 0 && !socket.waitForReadyRead(timeoutMs))
            break;
        buffer += socket.readAll();
    }
    return buffer.trimmed();
}

QByteArray roundTrip(const QByteArray &request, int timeoutMs)
{
    QLocalSocket socket;
    socket.connectToServer(SingleInstance::serverName());
    if (!socket.waitForConnected(timeoutMs))
        return {};
    socket.write(request + '\n');
    if (!socket.waitForBytesWritten(timeoutMs))
        return {};
    return readLine(socket, timeoutMs);
}
} // namespace

SingleInstance::SingleInstance(QObject *parent) : QObject(parent) {}

SingleInstance *SingleInstance::instance()
{
    static QPointer<SingleInstance> s;
    if (!s)
        s = new SingleInstance(QCoreApplication::instance());
    return s;
}

QString SingleInstance::serverNameForConfig(const QString &settingsFile)
{
    const QByteArray hash = QCryptographicHash::hash(settingsFile.toUtf8(), QCryptographicHash::Md5).toHex().left(10);
    return QStringLiteral("hoistly-%1-%2").arg(::getuid()).arg(QString::fromLatin1(hash));
}

QString SingleInstance::serverName()
{
    if (!g_nameOverride.isEmpty())
        return g_nameOverride;
    return serverNameForConfig(StandardPaths::userDefaultsFile());
}

void SingleInstance::setServerNameForTesting(const QString &name) { g_nameOverride = name; }

bool SingleInstance::forwardUrl(const QString &url, int timeoutMs)
{
    if (url.contains(QLatin1Char('\n')))
        return false;
    return roundTrip("URL " + url.toUtf8(), timeoutMs) == "OK";
}

int SingleInstance::endOtherCopies(const std::function<void(double)> &sleeper)
{
    const QByteArray reply = roundTrip("QUIT", 2000);
    if (!reply.startsWith("PID "))
        return 0;
    bool ok = false;
    const qint64 pid = reply.mid(4).toLongLong(&ok);
    if (!ok || pid <= 1 || pid == ::getpid())
        return 0;
    sleeper(0.5);
    if (::kill(pid_t(pid), 0) == 0)
        ::kill(pid_t(pid), SIGKILL);
    return 1;
}

bool SingleInstance::listen()
{
    if (isListening())
        return true;
    if (!m_server) {
        m_server = new QLocalServer(this);
        m_server->setSocketOptions(QLocalServer::UserAccessOption);
        connect(m_server, &QLocalServer::newConnection, this, &SingleInstance::onNewConnection);
    }
    const QString name = serverName();
    if (m_server->listen(name))
        return true;
    // A stale socket file of a copy that died (the running copy was asked to quit before).
    QLocalServer::removeServer(name);
    return m_server->listen(name);
}

bool SingleInstance::isListening() const { return m_server && m_server->isListening(); }

void SingleInstance::close()
{
    if (m_server)
        m_server->close();
}

void SingleInstance::onNewConnection()
{
    while (QLocalSocket *socket = m_server->nextPendingConnection()) {
        connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        connect(socket, &QLocalSocket::readyRead, this, [this, socket] {
            if (!socket->canReadLine())
                return;
            const QByteArray line = socket->readLine().trimmed();
            if (line == "QUIT") {
                socket->write("PID " + QByteArray::number(qint64(::getpid())) + '\n');
                socket->flush();
                QPointer<SingleInstance> self(this);
                QTimer::singleShot(0, this, [self] {
                    if (self && self->onQuitRequested)
                        self->onQuitRequested();
                });
            } else if (line.startsWith("URL ")) {
                const QString url = QString::fromUtf8(line.mid(4));
                socket->write("OK\n");
                socket->flush();
                QPointer<SingleInstance> self(this);
                QTimer::singleShot(0, this, [self, url] {
                    if (self && self->onUrl)
                        self->onUrl(url);
                });
            } else {
                socket->write("ERR\n");
            }
            socket->disconnectFromServer();
        });
    }
}
