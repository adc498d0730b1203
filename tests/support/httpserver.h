#pragma once

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QObject>
#include <QString>
#include <QTcpServer>
#include <QUrl>

#include <chrono>
#include <map>
#include <memory>

class QTcpSocket;

// A small HTTP/1.1 server on an ephemeral loopback port for tests. It lives on the test's
// thread and works from its event loop, so a test waits for it with QSignalSpy or QTRY_*.
// Every path answers as its route says; paths without a route are served from the served
// directory, if one is set, and are "404 Not Found" otherwise. Every request is recorded.
// Each connection answers one request and is then closed.
//
//     TestHttpServer server;
//     server.setRoute(u"/m1/7/a.bin"_s, TestHttpServer::Behaviour::serve("abc"));
//     server.setRoute(u"/m2/7/a.bin"_s, TestHttpServer::Behaviour::notFound());
//     ... mirror URLs: server.url(u"/m1"_s) ...
class TestHttpServer : public QObject
{
    Q_OBJECT

public:
    // What the server does for one path.
    struct Behaviour
    {
        int status = 200;
        QByteArray body;
        QList<std::pair<QByteArray, QByteArray>> headers;
        // The Content-Length sent: the body's size, none at all, or another (lying) number;
        // or no length and the body in chunks (Transfer-Encoding: chunked).
        enum class Length { Exact, Omitted, Announced, Chunked } length = Length::Exact;
        qint64 announcedLength = 0;
        // Body bytes sent right away; the rest waits for resumeStalled(). -1: no stall.
        qint64 stallAfter = -1;
        // Sends the body in pieces of trickleBytes, one every trickleInterval; 0: at once.
        qint64 trickleBytes = 0;
        std::chrono::milliseconds trickleInterval{0};
        // After the body, keeps sending this many bytes at a time until the client goes away.
        qint64 endlessChunk = 0;
        // Closes the connection once this many body bytes are out, whatever was announced;
        // -1: the whole body. A chunked body then lacks its last chunk.
        qint64 closeAfter = -1;
        // That close is a reset (RST) rather than an orderly end of the stream.
        bool resetOnClose = false;
        // A request for "bytes=N-" gets 206 with the rest of the body from N.
        bool honoursRanges = false;

        // 200 with the body and its Content-Length.
        [[nodiscard]] static Behaviour serve(const QByteArray& body);
        // As serve(), and a range request gets the rest of the body with 206, as nginx does.
        [[nodiscard]] static Behaviour serveRanges(const QByteArray& body);
        // 200 with the body; the end of the body is the end of the connection.
        [[nodiscard]] static Behaviour serveWithoutLength(const QByteArray& body);
        [[nodiscard]] static Behaviour notFound();
        // 301 to location, with a "document has moved" page as body.
        [[nodiscard]] static Behaviour movedPermanently(const QString& location);
        // 401 asking for basic authentication.
        [[nodiscard]] static Behaviour unauthorized();
        // 200 announcing the whole body, then only the first `after` bytes until
        // resumeStalled().
        [[nodiscard]] static Behaviour stall(const QByteArray& body, qint64 after = 0);
        [[nodiscard]] static Behaviour trickle(const QByteArray& body, qint64 bytes,
                                               std::chrono::milliseconds interval);
        // 200 announcing `announced` bytes but sending the body, then closing: a length larger
        // than the body leaves the transfer short, a smaller one sends more than announced.
        [[nodiscard]] static Behaviour lyingLength(const QByteArray& body, qint64 announced);
        // 200 without Content-Length and data without end, in pieces of chunk bytes.
        [[nodiscard]] static Behaviour endless(qint64 chunk = 4096);
        // Any status with an empty body.
        [[nodiscard]] static Behaviour withStatus(int code);
        // A redirect (301, 302, 303, 307, 308) to location, which may name another host.
        [[nodiscard]] static Behaviour redirect(int code, const QString& location);
        // 200 with an HTML page where a file was asked for, as a misconfigured mirror answers.
        [[nodiscard]] static Behaviour htmlPage(const QByteArray& html);
        // 200 announcing the whole body, then the connection ends after `after` bytes.
        [[nodiscard]] static Behaviour closedHalfWay(const QByteArray& body, qint64 after,
                                                     bool reset = false);
    };

    // One request as it arrived.
    struct Request
    {
        QByteArray method;
        QString path;                          // percent-decoded, without query
        QByteArray target;                     // as sent
        QHash<QByteArray, QByteArray> headers; // names in lower case

        [[nodiscard]] bool hasHeader(const QByteArray& name) const
        {
            return headers.contains(name.toLower());
        }
    };

    explicit TestHttpServer(QObject* parent = nullptr);
    ~TestHttpServer() override;

    [[nodiscard]] bool isListening() const { return server.isListening(); }
    [[nodiscard]] quint16 port() const { return server.serverPort(); }
    // "http://127.0.0.1:<port>" followed by path.
    [[nodiscard]] QUrl url(const QString& path = {}) const;
    [[nodiscard]] QString urlText(const QString& path = {}) const;

    void setRoute(const QString& path, const Behaviour& behaviour);
    void removeRoute(const QString& path);
    // Paths without a route answer with the file of the same relative path below directory.
    void setServedDirectory(const QString& directory);

    // Sends the held-back bodies of every stalled connection; with a count, only that many
    // further bytes of each, and the connection stays stalled.
    void resumeStalled(qint64 bytes = -1);

    [[nodiscard]] const QList<Request>& requests() const { return received; }
    [[nodiscard]] QStringList requestedPaths() const;
    [[nodiscard]] int requestCount(const QString& path) const;
    void clearRequests();
    // Connections that are still open (stalled, trickling, endless).
    [[nodiscard]] int openConnections() const;
    // Open connections that have had their request: those a client may keep spare, unused,
    // are left out.
    [[nodiscard]] int answeringConnections() const;

signals:
    void requestReceived(const QString& path);
    void connectionClosed();

private:
    struct Connection;

    void onNewConnection();
    void onReadyRead(Connection* connection);
    void respond(Connection* connection, const Request& request);
    [[nodiscard]] Behaviour behaviourFor(const QString& path) const;
    void sendNextPiece(Connection* connection);
    void writeBody(Connection* connection, const QByteArray& bytes);
    void finishConnection(Connection* connection);
    void dropConnection(QTcpSocket* socket);

    QTcpServer server;
    QHash<QString, Behaviour> routes;
    QString servedDirectory;
    QList<Request> received;
    std::map<QTcpSocket*, std::unique_ptr<Connection>> connections;
};
