#include "httpserver.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTcpSocket>
#include <QTimer>

#include <algorithm>
#include <sys/socket.h>

using namespace Qt::StringLiterals;

namespace {

QByteArray reasonPhrase(int status)
{
    switch (status) {
    case 200:
        return "OK";
    case 206:
        return "Partial Content";
    case 301:
        return "Moved Permanently";
    case 302:
        return "Found";
    case 303:
        return "See Other";
    case 307:
        return "Temporary Redirect";
    case 308:
        return "Permanent Redirect";
    case 401:
        return "Unauthorized";
    case 403:
        return "Forbidden";
    case 404:
        return "Not Found";
    case 500:
        return "Internal Server Error";
    case 503:
        return "Service Unavailable";
    default:
        return "Status";
    }
}

constexpr qsizetype maxHeaderBytes = 64 * 1024;

} // namespace

struct TestHttpServer::Connection
{
    enum class Phase { ReadingRequest, Sending, Stalled, Endless, Done };

    QTcpSocket* socket = nullptr;
    QByteArray incoming;
    Phase phase = Phase::ReadingRequest;
    Behaviour behaviour;
    QByteArray pending; // body bytes not sent yet
    std::unique_ptr<QTimer> trickleTimer;
};

TestHttpServer::Behaviour TestHttpServer::Behaviour::serve(const QByteArray& body)
{
    Behaviour b;
    b.body = body;
    return b;
}

TestHttpServer::Behaviour TestHttpServer::Behaviour::serveRanges(const QByteArray& body)
{
    Behaviour behaviour = serve(body);
    behaviour.honoursRanges = true;
    return behaviour;
}

TestHttpServer::Behaviour TestHttpServer::Behaviour::serveWithoutLength(const QByteArray& body)
{
    Behaviour b = serve(body);
    b.length = Length::Omitted;
    return b;
}

TestHttpServer::Behaviour TestHttpServer::Behaviour::notFound()
{
    Behaviour b = withStatus(404);
    b.body = "<html><body><h1>404 Not Found</h1></body></html>";
    b.headers = {{"Content-Type", "text/html"}};
    return b;
}

TestHttpServer::Behaviour TestHttpServer::Behaviour::movedPermanently(const QString& location)
{
    Behaviour b = withStatus(301);
    b.body = "<html><head><title>301 Moved Permanently</title></head><body>"
             "<h1>Moved Permanently</h1><p>The document has moved <a href=\"" +
             location.toUtf8() + "\">here</a>.</p></body></html>";
    b.headers = {{"Location", location.toUtf8()}, {"Content-Type", "text/html"}};
    return b;
}

TestHttpServer::Behaviour TestHttpServer::Behaviour::unauthorized()
{
    Behaviour b = withStatus(401);
    b.body = "<html><body><h1>401 Unauthorized</h1></body></html>";
    b.headers = {{"WWW-Authenticate", "Basic realm=\"mirror\""}, {"Content-Type", "text/html"}};
    return b;
}

TestHttpServer::Behaviour TestHttpServer::Behaviour::stall(const QByteArray& body, qint64 after)
{
    Behaviour b = serve(body);
    b.stallAfter = qBound(qint64(0), after, qint64(body.size()));
    return b;
}

TestHttpServer::Behaviour TestHttpServer::Behaviour::trickle(const QByteArray& body, qint64 bytes,
                                                             std::chrono::milliseconds interval)
{
    Behaviour b = serve(body);
    b.trickleBytes = qMax(qint64(1), bytes);
    b.trickleInterval = interval;
    return b;
}

TestHttpServer::Behaviour TestHttpServer::Behaviour::lyingLength(const QByteArray& body,
                                                                 qint64 announced)
{
    Behaviour b = serve(body);
    b.length = Length::Announced;
    b.announcedLength = announced;
    return b;
}

TestHttpServer::Behaviour TestHttpServer::Behaviour::endless(qint64 chunk)
{
    Behaviour b;
    b.length = Length::Omitted;
    b.endlessChunk = qMax(qint64(1), chunk);
    return b;
}

TestHttpServer::Behaviour TestHttpServer::Behaviour::withStatus(int code)
{
    Behaviour b;
    b.status = code;
    return b;
}

TestHttpServer::Behaviour TestHttpServer::Behaviour::redirect(int code, const QString& location)
{
    Behaviour b = movedPermanently(location);
    b.status = code;
    return b;
}

TestHttpServer::Behaviour TestHttpServer::Behaviour::htmlPage(const QByteArray& html)
{
    Behaviour b = serve(html);
    b.headers = {{"Content-Type", "text/html; charset=utf-8"}};
    return b;
}

TestHttpServer::Behaviour TestHttpServer::Behaviour::closedHalfWay(const QByteArray& body,
                                                                   qint64 after, bool reset)
{
    Behaviour b = serve(body);
    b.closeAfter = qBound(qint64(0), after, qint64(body.size()));
    b.resetOnClose = reset;
    return b;
}

TestHttpServer::TestHttpServer(QObject* parent)
    : QObject(parent)
{
    connect(&server, &QTcpServer::newConnection, this, &TestHttpServer::onNewConnection);
    server.listen(QHostAddress::LocalHost);
}

TestHttpServer::~TestHttpServer()
{
    // The sockets die with the server member; make sure none calls back into us meanwhile.
    for (auto& [socket, connection] : connections) {
        disconnect(socket, nullptr, this, nullptr);
        socket->abort();
        delete socket;
    }
    connections.clear();
    server.close();
}

QUrl TestHttpServer::url(const QString& path) const
{
    return QUrl(urlText(path));
}

QString TestHttpServer::urlText(const QString& path) const
{
    return u"http://127.0.0.1:%1"_s.arg(port()) + path;
}

void TestHttpServer::setRoute(const QString& path, const Behaviour& behaviour)
{
    routes.insert(path, behaviour);
}

void TestHttpServer::removeRoute(const QString& path)
{
    routes.remove(path);
}

void TestHttpServer::setServedDirectory(const QString& directory)
{
    servedDirectory = directory;
}

void TestHttpServer::resumeStalled(qint64 bytes)
{
    // Sending may close a connection, and closing takes it out of the map.
    QList<QTcpSocket*> stalled;
    for (const auto& [socket, connection] : connections) {
        if (connection->phase == Connection::Phase::Stalled)
            stalled.append(socket);
    }
    for (QTcpSocket* socket : std::as_const(stalled)) {
        const auto found = connections.find(socket);
        if (found == connections.end())
            continue;
        Connection* connection = found->second.get();
        if (bytes >= 0 && bytes < connection->pending.size()) {
            writeBody(connection, connection->pending.left(bytes));
            connection->pending.remove(0, bytes);
            continue;
        }
        connection->phase = Connection::Phase::Sending;
        sendNextPiece(connection);
    }
}

QStringList TestHttpServer::requestedPaths() const
{
    QStringList paths;
    for (const Request& request : received)
        paths.append(request.path);
    return paths;
}

int TestHttpServer::requestCount(const QString& path) const
{
    return static_cast<int>(requestedPaths().count(path));
}

void TestHttpServer::clearRequests()
{
    received.clear();
}

int TestHttpServer::openConnections() const
{
    return static_cast<int>(connections.size());
}

int TestHttpServer::answeringConnections() const
{
    return static_cast<int>(
            std::count_if(connections.cbegin(), connections.cend(), [](const auto& c) {
                return c.second->phase != Connection::Phase::ReadingRequest;
            }));
}

void TestHttpServer::onNewConnection()
{
    while (QTcpSocket* socket = server.nextPendingConnection()) {
        auto connection = std::make_unique<Connection>();
        connection->socket = socket;
        // Head and body leave in separate writes; waiting for delayed acknowledgements between
        // them would make every request take tens of milliseconds.
        socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        Connection* raw = connection.get();
        connections.emplace(socket, std::move(connection));
        connect(socket, &QTcpSocket::readyRead, this, [this, raw] { onReadyRead(raw); });
        connect(socket, &QTcpSocket::bytesWritten, this, [this, raw] {
            if (raw->phase == Connection::Phase::Endless &&
                raw->socket->bytesToWrite() < 4 * raw->behaviour.endlessChunk)
                writeBody(raw, QByteArray(raw->behaviour.endlessChunk, 'x'));
        });
        connect(socket, &QTcpSocket::disconnected, this,
                [this, socket] { dropConnection(socket); });
        if (socket->bytesAvailable() > 0)
            onReadyRead(raw);
    }
}

void TestHttpServer::onReadyRead(Connection* connection)
{
    connection->incoming += connection->socket->readAll();
    if (connection->phase != Connection::Phase::ReadingRequest)
        return;
    const qsizetype end = connection->incoming.indexOf("\r\n\r\n");
    if (end < 0) {
        if (connection->incoming.size() > maxHeaderBytes)
            connection->socket->abort();
        return;
    }
    const QList<QByteArray> lines = connection->incoming.left(end).split('\n');
    const QList<QByteArray> requestLine = lines.value(0).trimmed().split(' ');
    Request request;
    request.method = requestLine.value(0);
    request.target = requestLine.value(1);
    const QByteArray rawPath = request.target.split('?').value(0);
    request.path = QUrl::fromPercentEncoding(rawPath);
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const qsizetype colon = lines.at(i).indexOf(':');
        if (colon > 0)
            request.headers.insert(lines.at(i).left(colon).trimmed().toLower(),
                                   lines.at(i).mid(colon + 1).trimmed());
    }
    received.append(request);
    connection->phase = Connection::Phase::Sending;
    respond(connection, request);
    emit requestReceived(request.path);
}

TestHttpServer::Behaviour TestHttpServer::behaviourFor(const QString& path) const
{
    if (const auto route = routes.constFind(path); route != routes.cend())
        return *route;
    if (!servedDirectory.isEmpty()) {
        const QString relative = QDir::cleanPath(path).mid(1);
        if (!relative.startsWith(u"../"_s) && relative != u".."_s) {
            QFile file(QDir(servedDirectory).filePath(relative));
            if (QFileInfo(file).isFile() && file.open(QIODevice::ReadOnly))
                return Behaviour::serve(file.readAll());
        }
    }
    return Behaviour::notFound();
}

void TestHttpServer::respond(Connection* connection, const Request& request)
{
    Behaviour behaviour = behaviourFor(request.path);
    const QByteArray range = request.headers.value("range");
    if (behaviour.honoursRanges && range.startsWith("bytes=") && range.endsWith('-')) {
        bool ok = false;
        const qint64 from = range.mid(6, range.size() - 7).toLongLong(&ok);
        if (ok && from >= 0 && from < behaviour.body.size()) {
            behaviour.headers.append(
                    {"Content-Range", "bytes " + QByteArray::number(from) + '-' +
                                              QByteArray::number(behaviour.body.size() - 1) + '/' +
                                              QByteArray::number(behaviour.body.size())});
            behaviour.status = 206;
            behaviour.body.remove(0, from);
        }
    }
    QByteArray head = "HTTP/1.1 " + QByteArray::number(behaviour.status) + ' ' +
                      reasonPhrase(behaviour.status) + "\r\n";
    bool hasContentType = false;
    for (const auto& [name, value] : std::as_const(behaviour.headers)) {
        head += name + ": " + value + "\r\n";
        hasContentType = hasContentType || name.compare("Content-Type", Qt::CaseInsensitive) == 0;
    }
    if (!hasContentType)
        head += "Content-Type: application/octet-stream\r\n";
    switch (behaviour.length) {
    case Behaviour::Length::Exact:
        head += "Content-Length: " + QByteArray::number(behaviour.body.size()) + "\r\n";
        break;
    case Behaviour::Length::Announced:
        head += "Content-Length: " + QByteArray::number(behaviour.announcedLength) + "\r\n";
        break;
    case Behaviour::Length::Omitted:
        break;
    case Behaviour::Length::Chunked:
        head += "Transfer-Encoding: chunked\r\n";
        break;
    }
    head += "Connection: close\r\n\r\n";
    connection->socket->write(head);

    connection->behaviour = behaviour;
    connection->pending = behaviour.body;
    if (request.method == "HEAD")
        connection->pending.clear();
    if (behaviour.closeAfter >= 0)
        connection->pending.truncate(behaviour.closeAfter);
    if (behaviour.stallAfter >= 0) {
        writeBody(connection, connection->pending.left(behaviour.stallAfter));
        connection->pending.remove(0, behaviour.stallAfter);
        connection->phase = Connection::Phase::Stalled;
        return;
    }
    sendNextPiece(connection);
}

void TestHttpServer::sendNextPiece(Connection* connection)
{
    const Behaviour& behaviour = connection->behaviour;
    if (behaviour.trickleBytes > 0 && !connection->pending.isEmpty()) {
        writeBody(connection, connection->pending.left(behaviour.trickleBytes));
        connection->pending.remove(0, behaviour.trickleBytes);
        if (!connection->trickleTimer) {
            connection->trickleTimer = std::make_unique<QTimer>();
            connection->trickleTimer->setSingleShot(true);
            connect(connection->trickleTimer.get(), &QTimer::timeout, this,
                    [this, connection] { sendNextPiece(connection); });
        }
        connection->trickleTimer->start(behaviour.trickleInterval);
        return;
    }
    writeBody(connection, connection->pending);
    connection->pending.clear();
    finishConnection(connection);
}

void TestHttpServer::writeBody(Connection* connection, const QByteArray& bytes)
{
    if (connection->behaviour.length != Behaviour::Length::Chunked) {
        connection->socket->write(bytes);
        return;
    }
    // An empty chunk would end the body.
    if (!bytes.isEmpty())
        connection->socket->write(QByteArray::number(bytes.size(), 16) + "\r\n" + bytes + "\r\n");
}

void TestHttpServer::finishConnection(Connection* connection)
{
    const Behaviour& behaviour = connection->behaviour;
    if (behaviour.closeAfter >= 0) {
        connection->phase = Connection::Phase::Done;
        if (!behaviour.resetOnClose) {
            connection->socket->disconnectFromHost();
            return;
        }
        // Later, so that nobody holds the connection when the close drops it; what was
        // written goes out first, then linger 0 makes the close a reset.
        QTcpSocket* socket = connection->socket;
        QMetaObject::invokeMethod(
                socket,
                [socket] {
                    socket->flush();
                    const linger reset{1, 0};
                    ::setsockopt(static_cast<int>(socket->socketDescriptor()), SOL_SOCKET,
                                 SO_LINGER, &reset, sizeof reset);
                    socket->abort();
                },
                Qt::QueuedConnection);
        return;
    }
    if (behaviour.endlessChunk > 0) {
        connection->phase = Connection::Phase::Endless;
        writeBody(connection, QByteArray(behaviour.endlessChunk, 'x'));
        return;
    }
    connection->phase = Connection::Phase::Done;
    if (behaviour.length == Behaviour::Length::Chunked)
        connection->socket->write("0\r\n\r\n");
    // Sends what is queued, then closes; the client sees the end of the body.
    connection->socket->disconnectFromHost();
}

void TestHttpServer::dropConnection(QTcpSocket* socket)
{
    const auto found = connections.find(socket);
    if (found == connections.end())
        return;
    disconnect(socket, nullptr, this, nullptr);
    socket->deleteLater();
    connections.erase(found);
    emit connectionClosed();
}
