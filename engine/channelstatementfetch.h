#pragma once

#include "channelstatement.h"
#include "updatechannel.h"

#include <QByteArray>
#include <QDateTime>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <chrono>
#include <optional>
#include <vector>

class QNetworkAccessManager;
class QNetworkReply;
class QNetworkRequest;

// Asks every mirror for the signed channel statement at once, within one deadline, and keeps the
// newest one that its signature, client type and what this installation accepted before allow.
// A mirror that stalls, trickles, or serves nothing or an older statement cannot decide: the
// deadline bounds the wait, and the newest acceptable statement from any mirror wins. Each
// refusal is told in a log line; without an acceptable statement the result is empty and
// noneReason() says why.
class ChannelStatementFetch : public QObject
{
    Q_OBJECT

public:
    // The longest a mirror may stay silent, and the longest the whole fetch takes.
    static constexpr std::chrono::milliseconds requestTimeout{5000};
    static constexpr std::chrono::milliseconds defaultDeadline{10000};

    struct Request
    {
        QStringList mirrorUrls; // base URLs
        // Those of mirrors marked "http2": asked over HTTP/2, as their downloads are, so that the
        // run's connections to them are HTTP/2 from the first request on.
        QStringList http2Urls;
        QString clientType;
        QByteArray publicKey; // PEM
        UpdateChannel channel = UpdateChannel::Stable;
        int confirmedVersion = 0; // no statement may name less for the channel, unless it
                                  // withdraws that version
        QDateTime acceptedSigned; // nor be signed before the newest accepted one (invalid: none)
        QByteArray acceptedText;  // which one signed at the same time must equal, where kept
        std::chrono::milliseconds deadline = defaultDeadline;
    };

    struct Found
    {
        ChannelStatement statement;
        QByteArray text; // as signed
    };

    ChannelStatementFetch(QNetworkAccessManager* manager, Request request,
                          QObject* parent = nullptr);
    ~ChannelStatementFetch() override;

    void start();
    [[nodiscard]] bool isFinished() const { return finishedAll; }
    // The newest accepted statement; empty when no mirror served one.
    [[nodiscard]] const std::optional<Found>& result() const { return newest; }
    // Why there is no result, for the log and the window.
    [[nodiscard]] QString noneReason() const;

signals:
    void message(QString line);
    void finished();

private:
    struct Mirror
    {
        QString baseUrl;
        QPointer<QNetworkReply> textReply;
        QPointer<QNetworkReply> signatureReply;
        QByteArray text;
        QByteArray signature;
        int pending = 2;
        bool missing = false; // a 404
        QString failure;      // of a transfer
    };

    void fetchFrom(Mirror& mirror);
    [[nodiscard]] QNetworkReply* get(Mirror& mirror, const QString& url, qint64 maxSize);
    [[nodiscard]] QNetworkRequest requestFor(const Mirror& mirror, const QString& url) const;
    void onReplyFinished(Mirror& mirror, QNetworkReply* reply);
    void judge(const Mirror& mirror);
    // Why the fetched statement is refused; empty when it is accepted.
    [[nodiscard]] QString refusal(const Mirror& mirror, ChannelStatement& statement) const;
    void onDeadline();
    void finish();
    static void release(QPointer<QNetworkReply>& reply, QObject* receiver);

    QNetworkAccessManager* manager;
    Request request;
    // Made once in start() and never resized: the replies' handlers hold references into it.
    std::vector<Mirror> mirrors;
    QTimer deadline;
    int unanswered = 0;
    int missingCount = 0;
    int refusedCount = 0;
    bool finishedAll = false;
    std::optional<Found> newest;
};
