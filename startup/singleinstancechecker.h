#pragma once

#include <QObject>
#include <QString>

#include <chrono>

class QLocalServer;
class QLocalSocket;

// Brings the running updater to the front when another start finds it (the installation's lock,
// InstanceLock, keeps the second one from working). The running updater listens on a local
// socket whose name comes from the updater's path and the user's home directory; a newcomer sends
// it a short message ("#": come to the front) and ends. The socket lives in a directory that only
// the user can enter, so another user can neither answer in the updater's place nor read it.
class SingleInstanceChecker : public QObject
{
    Q_OBJECT

public:
    static constexpr std::chrono::milliseconds newcomerWait{1000};
    // The longest message read from a connection; "#" is all that is ever sent.
    static constexpr qint64 maxMessageSize = 64;

    // The listener: starts listening on getLocalServerPath() at once.
    explicit SingleInstanceChecker(QObject* parent = nullptr);

    // What a newcomer does with a socket that nobody listens on.
    enum class StaleSocket { Remove, Keep };

    // The newcomer: true when a running instance received the message. When none runs, a socket
    // left behind by a crashed instance is removed so that this one can listen in its place;
    // a newcomer that will not listen keeps it, as it may be the running one's, made meanwhile.
    [[nodiscard]] static bool checkExistingInstance(const QString& message,
                                                    StaleSocket stale = StaleSocket::Remove);

    // "VQ3ClientUpdate" + the checksum of this executable's path and the user's home directory.
    [[nodiscard]] static QString getLocalServerName();
    [[nodiscard]] static QString localServerName(const QString& executablePath,
                                                 const QString& homePath);

    // Where the socket of getLocalServerName() lies; empty when there is no safe place for it.
    [[nodiscard]] static QString getLocalServerPath();
    [[nodiscard]] static QString localServerPath(const QString& name);

    [[nodiscard]] bool isListening() const;

signals:
    void otherInstanceActivate(QString message);

private slots:
    void onNewConnection();
    void onReadyRead();

private:
    // $XDG_RUNTIME_DIR, or "sonavelle-<uid>" in the system temporary directory, made on first use.
    // Empty when that name is taken by anything but a directory of this user closed to others.
    [[nodiscard]] static QString socketDirectory();
    void discardConnection();

    QLocalServer* server;
    QLocalSocket* connection = nullptr;
};
