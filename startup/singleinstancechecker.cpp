#include "singleinstancechecker.h"

#include <QCoreApplication>
#include <QDir>
#include <QLocalServer>
#include <QLocalSocket>

using namespace Qt::StringLiterals;

SingleInstanceChecker::SingleInstanceChecker(QObject* parent)
    : QObject(parent)
    , server(new QLocalServer(this))
{
    connect(server, &QLocalServer::newConnection, this, &SingleInstanceChecker::onNewConnection);
    // Fails only when another instance already listens; this one then cannot be found itself.
    server->listen(getLocalServerName());
}

bool SingleInstanceChecker::checkExistingInstance(const QString& message)
{
    const QString name = getLocalServerName();
    QLocalSocket socket;
    socket.connectToServer(name, QIODevice::ReadWrite);
    if (!socket.waitForConnected(int(newcomerWait.count()))) {
        // Nobody listens on the name. A crashed instance leaves its socket file behind, and
        // while it exists no later instance can listen, so none could be found again. A time-out
        // means somebody is there but slow: leave its socket alone.
        if (socket.error() != QLocalSocket::SocketTimeoutError)
            QLocalServer::removeServer(name);
        return false;
    }
    if (socket.write(message.toLatin1()) <= 0)
        return false;
    return socket.waitForBytesWritten(int(newcomerWait.count()));
}

QString SingleInstanceChecker::getLocalServerName()
{
    return localServerName(QCoreApplication::applicationFilePath(), QDir::homePath());
}

// The same updater started by the same user always gets the same name; the executable's path
// counts without regard to letter case, the home directory exactly.
QString SingleInstanceChecker::localServerName(const QString& executablePath,
                                               const QString& homePath)
{
    QString identity = executablePath.toLower() + homePath;
    identity.remove(u'/');
    identity.remove(u':');
    const quint16 checksum = qChecksum(identity.toUtf8(), Qt::ChecksumIso3309);
    return u"VQ3ClientUpdate"_s + QString::number(checksum, 16);
}

bool SingleInstanceChecker::isListening() const
{
    return server->isListening();
}

void SingleInstanceChecker::onNewConnection()
{
    discardConnection();
    connection = server->nextPendingConnection();
    if (connection)
        connect(connection, &QLocalSocket::readyRead, this, &SingleInstanceChecker::onReadyRead);
}

void SingleInstanceChecker::onReadyRead()
{
    if (!connection)
        return;
    const QByteArray bytes = connection->readAll();
    if (bytes.isEmpty())
        return;
    const qsizetype end = bytes.indexOf('\0');
    const QString message = QString::fromLatin1(end < 0 ? bytes : bytes.left(end));
    // One message per connection; whatever follows on it is not read.
    discardConnection();
    emit otherInstanceActivate(message);
}

void SingleInstanceChecker::discardConnection()
{
    if (!connection)
        return;
    disconnect(connection, nullptr, this, nullptr);
    connection->deleteLater();
    connection = nullptr;
}
