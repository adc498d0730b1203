#pragma once

#include <QByteArray>
#include <QNetworkReply>
#include <QObject>
#include <QPointer>
#include <QString>

#include <array>

class QNetworkAccessManager;

// One attempt at a version's change log on one mirror. Where the updater has a manifest key and
// knows its client type, the version's release manifest and its signature are fetched beside it,
// and the change log counts as vouched for only when the manifest verifies and lists exactly its
// digest and size. A manifest the mirror lacks leaves the change log unvouched; one that fails its
// check, or a change log other than the one it lists, fails the mirror. Every answer is held to a
// size, and redirects are failures.
class ChangeLogFetch : public QObject
{
    Q_OBJECT

public:
    // A signature is 64 bytes; room for a trailing line feed and the like.
    static constexpr qint64 maxSignatureSize = 4096;

    // versionUrl is the version's directory on the mirror; version is the number it should hold.
    ChangeLogFetch(QNetworkAccessManager* manager, const QString& versionUrl,
                   const QString& clientType, int version, QObject* parent = nullptr);
    ~ChangeLogFetch() override;

    void start();
    // Ends every transfer still running; the result follows at once.
    void abort();

    [[nodiscard]] static QString changelogFileName();

signals:
    // found: body is the change log, and vouched says whether the signed manifest lists it. A
    // failure that the log should tell comes with a line in why.
    void done(bool found, QByteArray body, bool vouched, QString why);

private:
    enum Item { Changelog, Manifest, Signature, ItemCount };
    struct Transfer
    {
        QPointer<QNetworkReply> reply;
        qint64 cap = 0;
        QByteArray body;
        bool finished = false;
        bool ok = false;
    };

    [[nodiscard]] bool checksManifest() const;
    void request(Item item, const QString& url, qint64 cap);
    void onFinished(Item item);
    static void take(Transfer& transfer);
    void finish();
    // Empty when the change log may be shown; else the log line.
    [[nodiscard]] QString failedCheck(bool& vouched) const;
    void release();

    QNetworkAccessManager* manager;
    QString versionUrl;
    QString clientType;
    int version;
    std::array<Transfer, ItemCount> transfers;
    bool reported = false;
};
