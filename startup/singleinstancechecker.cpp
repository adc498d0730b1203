#include "singleinstancechecker.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QLocalServer>
#include <QLocalSocket>

#include <cerrno>
#include <sys/stat.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace {

// Somebody else's directory, or one they can enter, could hold their socket under our name.
[[nodiscard]] bool isOwnClosedDirectory(const struct stat& status)
{
    return S_ISDIR(status.st_mode) && status.st_uid == ::geteuid() &&
           (status.st_mode & (S_IRWXG | S_IRWXO)) == 0;
}

// The user's own runtime directory, when the session has one.
[[nodiscard]] QString runtimeDirectory()
{
    const QString path = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (path.isEmpty() || !QDir::isAbsolutePath(path))
        return {};
    struct stat status = {};
    if (::stat(QFile::encodeName(path).constData(), &status) != 0 || !isOwnClosedDirectory(status))
        return {};
    return path;
}

// The shared temporary directory lets anybody make any name in it, so the name is only used when
// it is a real directory (no link) that this user made closed to everybody else. One found
// otherwise is left as it is.
[[nodiscard]] QString privateTempDirectory()
{
    const QString path = QDir::tempPath() + u"/sonavelle-"_s + QString::number(::geteuid());
    const QByteArray encoded = QFile::encodeName(path);
    if (::mkdir(encoded.constData(), S_IRWXU) != 0 && errno != EEXIST)
        return {};
    struct stat status = {};
    if (::lstat(encoded.constData(), &status) != 0 || !isOwnClosedDirectory(status))
        return {};
    return path;
}

} // namespace

SingleInstanceChecker::SingleInstanceChecker(QObject* parent)
    : QObject(parent)
    , server(new QLocalServer(this))
{
    connect(server, &QLocalServer::newConnection, this, &SingleInstanceChecker::onNewConnection);
    // Fails when another instance already listens, or when there is no safe place for the
    // socket; this one then cannot be found itself.
    const QString path = getLocalServerPath();
    if (!path.isEmpty())
        server->listen(path);
}

bool SingleInstanceChecker::checkExistingInstance(const QString& message, StaleSocket stale)
{
    const QString path = getLocalServerPath();
    if (path.isEmpty())
        return false;
    QLocalSocket socket;
    socket.connectToServer(path, QIODevice::ReadWrite);
    if (!socket.waitForConnected(int(newcomerWait.count()))) {
        // Nobody listens on the name. A crashed instance leaves its socket file behind, and
        // while it exists no later instance can listen, so none could be found again. A time-out
        // means somebody is there but slow: leave its socket alone.
        if (stale == StaleSocket::Remove && socket.error() != QLocalSocket::SocketTimeoutError)
            QLocalServer::removeServer(path);
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

QString SingleInstanceChecker::getLocalServerPath()
{
    return localServerPath(getLocalServerName());
}

QString SingleInstanceChecker::localServerPath(const QString& name)
{
    const QString directory = socketDirectory();
    return directory.isEmpty() ? QString() : directory + u'/' + name;
}

QString SingleInstanceChecker::socketDirectory()
{
    const QString runtime = runtimeDirectory();
    return runtime.isEmpty() ? privateTempDirectory() : runtime;
}

bool SingleInstanceChecker::isListening() const
{
    return server->isListening();
}

void SingleInstanceChecker::onNewConnection()
{
    discardConnection();
    connection = server->nextPendingConnection();
    if (!connection)
        return;
    // Whatever a client sends beyond the message is never taken in.
    connection->setReadBufferSize(maxMessageSize);
    connect(connection, &QLocalSocket::readyRead, this, &SingleInstanceChecker::onReadyRead);
}

void SingleInstanceChecker::onReadyRead()
{
    if (!connection)
        return;
    const QByteArray bytes = connection->read(maxMessageSize);
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
    connection->abort();
    connection->deleteLater();
    connection = nullptr;
}
