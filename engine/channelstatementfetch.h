#pragma once

#include "channelstatement.h"

#include <QByteArray>
#include <QDateTime>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>

#include <chrono>
#include <optional>

class QNetworkAccessManager;
class QNetworkReply;

// Fetches the signed channel statement from the mirrors' roots, one mirror after the other, until
// one serves a statement that its signature, client type and the versions named before allow.
// What the others served is told in a log line each; without any, the result is empty.
class ChannelStatementFetch : public QObject
{
    Q_OBJECT

public:
    static constexpr std::chrono::milliseconds requestTimeout{5000};

    struct Request
    {
        QStringList mirrorUrls; // base URLs, in the order to try
        QString clientType;
        QByteArray publicKey;      // PEM
        QString channel;           // the run's
        int confirmedVersion = 0;  // no statement may name less for the channel, unless it
                                   // withdraws that version
        QDateTime confirmedSigned; // nor be signed before; invalid: no statement was accepted
    };

    ChannelStatementFetch(QNetworkAccessManager* manager, Request request,
                          QObject* parent = nullptr);
    ~ChannelStatementFetch() override;

    void start();
    [[nodiscard]] bool isFinished() const { return finishedAll; }
    // The accepted statement; empty when no mirror served one.
    [[nodiscard]] const std::optional<ChannelStatement>& statement() const { return accepted; }

signals:
    void message(QString line);
    void finished();

private:
    void fetchFrom(qsizetype mirror);
    [[nodiscard]] QNetworkReply* get(const QString& url, qint64 maxSize);
    void onReplyFinished(QNetworkReply* reply);
    // Why the fetched statement is refused; empty when it is accepted.
    [[nodiscard]] QString refusal(ChannelStatement& statement) const;
    void next();
    void finish();
    void release(QPointer<QNetworkReply>& reply);

    QNetworkAccessManager* manager;
    Request request;
    qsizetype current = -1;
    QPointer<QNetworkReply> textReply;
    QPointer<QNetworkReply> signatureReply;
    QByteArray text;
    QByteArray signature;
    int pending = 0;
    bool missing = false; // a 404 on the current mirror
    QString failure;      // of a transfer on the current mirror
    bool refusedAny = false;
    bool finishedAll = false;
    std::optional<ChannelStatement> accepted;
};
