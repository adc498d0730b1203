#include "channelstatementfetch.h"

#include "ed25519.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QUrl>

using namespace Qt::StringLiterals;

namespace {

constexpr int httpOk = 200;
constexpr int httpNotFound = 404;

QString joined(const QString& baseUrl, const QString& name)
{
    return baseUrl.endsWith(u'/') ? QString(baseUrl + name) : QString(baseUrl + u'/' + name);
}

} // namespace

ChannelStatementFetch::ChannelStatementFetch(QNetworkAccessManager* manager, Request request,
                                             QObject* parent)
    : QObject(parent)
    , manager(manager)
    , request(std::move(request))
{}

ChannelStatementFetch::~ChannelStatementFetch()
{
    release(textReply);
    release(signatureReply);
}

void ChannelStatementFetch::start()
{
    next();
}

void ChannelStatementFetch::next()
{
    if (++current >= request.mirrorUrls.size()) {
        if (!refusedAny)
            emit message(u"No mirror publishes a signed channel statement; the update server "
                         u"alone names the version"_s);
        finish();
        return;
    }
    fetchFrom(current);
}

void ChannelStatementFetch::fetchFrom(qsizetype mirror)
{
    const QString base = request.mirrorUrls.at(mirror);
    text.clear();
    signature.clear();
    missing = false;
    failure.clear();
    pending = 2;
    textReply = get(joined(base, ChannelStatement::fileName(request.clientType)),
                    ChannelStatement::maxSize);
    signatureReply = get(joined(base, ChannelStatement::signatureFileName(request.clientType)),
                         Ed25519::signatureSize);
}

QNetworkReply* ChannelStatementFetch::get(const QString& url, qint64 maxSize)
{
    QNetworkRequest networkRequest{QUrl(url)};
    // As every request of a run: an answer that points elsewhere is no statement.
    networkRequest.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                                QNetworkRequest::ManualRedirectPolicy);
    networkRequest.setTransferTimeout(int(requestTimeout.count()));
    QNetworkReply* reply = manager->get(networkRequest);
    // More than a statement can be is not read: the transfer ends there.
    connect(reply, &QNetworkReply::downloadProgress, this, [this, reply, maxSize](qint64 received) {
        if (received > maxSize && failure.isEmpty()) {
            failure = u"%1 is larger than %2 bytes"_s.arg(reply->url().toString()).arg(maxSize);
            reply->abort();
        }
    });
    connect(reply, &QNetworkReply::finished, this, [this, reply] { onReplyFinished(reply); });
    return reply;
}

void ChannelStatementFetch::onReplyFinished(QNetworkReply* reply)
{
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    const QByteArray body = reply->readAll();
    if (status == httpNotFound)
        missing = true;
    else if (failure.isEmpty() && (reply->error() != QNetworkReply::NoError || status != httpOk))
        failure = u"%1: %2"_s.arg(reply->url().toString(), status != 0
                                                                   ? u"HTTP status %1"_s.arg(status)
                                                                   : reply->errorString());
    (reply == textReply ? text : signature) = body;
    release(reply == textReply ? textReply : signatureReply);
    if (--pending > 0)
        return;

    const QString mirror = request.mirrorUrls.at(current);
    if (missing) {
        next();
        return;
    }
    ChannelStatement statement;
    const QString why = failure.isEmpty() ? refusal(statement) : failure;
    if (why.isEmpty()) {
        accepted = std::move(statement);
        finish();
        return;
    }
    refusedAny = true;
    emit message(u"Channel statement of %1 refused: %2"_s.arg(mirror, why));
    next();
}

QString ChannelStatementFetch::refusal(ChannelStatement& statement) const
{
    QString error;
    // Nothing of an unsigned text is read: the parser sees only what the vendor signed.
    if (!Ed25519::verify(request.publicKey, text, signature, error))
        return error;
    if (!statement.parse(text))
        return statement.errorString();
    if (statement.clientType() != request.clientType)
        return u"it is for client type %1, not %2"_s.arg(statement.clientType(),
                                                         request.clientType);
    // An older statement, served again, could restart a halted rollout or hold one back.
    if (request.confirmedSigned.isValid() && statement.signedAt() < request.confirmedSigned)
        return u"it was signed at %1, before the statement accepted earlier (%2)"_s.arg(
                statement.signedAt().toString(Qt::ISODate),
                request.confirmedSigned.toString(Qt::ISODate));
    const int stated = statement.version(request.channel);
    if (stated != 0 && stated < request.confirmedVersion &&
        !statement.isWithdrawn(request.channel, request.confirmedVersion))
        return u"it names version %1 for channel %2, which was confirmed at version %3 before"_s
                .arg(stated)
                .arg(request.channel)
                .arg(request.confirmedVersion);
    return {};
}

void ChannelStatementFetch::release(QPointer<QNetworkReply>& reply)
{
    if (!reply)
        return;
    disconnect(reply, nullptr, this, nullptr);
    reply->abort();
    reply->deleteLater();
    reply = nullptr;
}

void ChannelStatementFetch::finish()
{
    finishedAll = true;
    emit finished();
}
