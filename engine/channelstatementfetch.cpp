// The channel statement, asked of every mirror at once.
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

QString mirrorsText(int count)
{
    return count == 1 ? u"1 mirror"_s : u"%1 mirrors"_s.arg(count);
}

} // namespace

ChannelStatementFetch::ChannelStatementFetch(QNetworkAccessManager* manager, Request request,
                                             QObject* parent)
    : QObject(parent)
    , manager(manager)
    , request(std::move(request))
{
    deadline.setSingleShot(true);
    connect(&deadline, &QTimer::timeout, this, &ChannelStatementFetch::onDeadline);
}

ChannelStatementFetch::~ChannelStatementFetch()
{
    for (Mirror& mirror : mirrors) {
        release(mirror.textReply, this);
        release(mirror.signatureReply, this);
    }
}

void ChannelStatementFetch::start()
{
    mirrors.resize(size_t(request.mirrorUrls.size()));
    unanswered = int(mirrors.size());
    if (mirrors.empty()) {
        finish();
        return;
    }
    deadline.start(request.deadline);
    for (size_t i = 0; i < mirrors.size(); ++i) {
        mirrors[i].baseUrl = request.mirrorUrls.at(qsizetype(i));
        fetchFrom(mirrors[i]);
    }
}

void ChannelStatementFetch::fetchFrom(Mirror& mirror)
{
    mirror.textReply =
            get(mirror, joined(mirror.baseUrl, ChannelStatement::fileName(request.clientType)),
                ChannelStatement::maxSize);
    mirror.signatureReply = get(
            mirror, joined(mirror.baseUrl, ChannelStatement::signatureFileName(request.clientType)),
            Ed25519::signatureSize);
}

QNetworkRequest ChannelStatementFetch::requestFor(const Mirror& mirror, const QString& url) const
{
    QNetworkRequest networkRequest{QUrl(url)};
    // As every request of a run: an answer that points elsewhere is no statement.
    networkRequest.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                                QNetworkRequest::ManualRedirectPolicy);
    networkRequest.setTransferTimeout(int(requestTimeout.count()));
    if (request.http2Urls.contains(mirror.baseUrl)) {
        const bool https = networkRequest.url().scheme() == u"https";
        networkRequest.setAttribute(QNetworkRequest::Http2AllowedAttribute, true);
        networkRequest.setAttribute(QNetworkRequest::Http2DirectAttribute, !https);
    }
    return networkRequest;
}

QNetworkReply* ChannelStatementFetch::get(Mirror& mirror, const QString& url, qint64 maxSize)
{
    const QNetworkRequest networkRequest = requestFor(mirror, url);
    QNetworkReply* reply = manager->get(networkRequest);
    // More than a statement can be is not read: the transfer ends there.
    connect(reply, &QNetworkReply::downloadProgress, this,
            [&mirror, reply, maxSize](qint64 received) {
                if (received > maxSize && mirror.failure.isEmpty()) {
                    mirror.failure = u"%1 is larger than %2 bytes"_s.arg(reply->url().toString())
                                             .arg(maxSize);
                    reply->abort();
                }
            });
    connect(reply, &QNetworkReply::finished, this,
            [this, &mirror, reply] { onReplyFinished(mirror, reply); });
    return reply;
}

void ChannelStatementFetch::onReplyFinished(Mirror& mirror, QNetworkReply* reply)
{
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    const QByteArray body = reply->readAll();
    if (status == httpNotFound)
        mirror.missing = true;
    else if (mirror.failure.isEmpty() &&
             (reply->error() != QNetworkReply::NoError || status != httpOk))
        mirror.failure = u"%1: %2"_s.arg(reply->url().toString(),
                                         status != 0 ? u"HTTP status %1"_s.arg(status)
                                                     : reply->errorString());
    const bool isText = reply == mirror.textReply;
    (isText ? mirror.text : mirror.signature) = body;
    release(isText ? mirror.textReply : mirror.signatureReply, this);
    if (--mirror.pending > 0)
        return;
    --unanswered;
    judge(mirror);
    if (unanswered == 0)
        finish();
}

void ChannelStatementFetch::judge(const Mirror& mirror)
{
    if (mirror.missing) {
        ++missingCount;
        return;
    }
    ChannelStatement statement;
    const QString why = mirror.failure.isEmpty() ? refusal(mirror, statement) : mirror.failure;
    if (!why.isEmpty()) {
        ++refusedCount;
        emit message(u"Channel statement of %1 refused: %2"_s.arg(mirror.baseUrl, why));
        return;
    }
    // Of two signed at the same time, the one that came first stays: the vendor signed both.
    if (!newest || statement.signedAt() > newest->statement.signedAt())
        newest = Found{std::move(statement), mirror.text};
}

QString ChannelStatementFetch::refusal(const Mirror& mirror, ChannelStatement& statement) const
{
    // Nothing of an unsigned text is read: the parser sees only what the vendor signed.
    if (Failure checked = Ed25519::verify(request.publicKey, mirror.text, mirror.signature);
        checked.failed())
        return checked.text;
    if (!statement.parse(mirror.text))
        return statement.errorString();
    if (statement.clientType() != request.clientType)
        return u"it is for client type %1, not %2"_s.arg(statement.clientType(),
                                                         request.clientType);
    // An older statement, served again, could restart a halted rollout or hold one back.
    if (request.acceptedSigned.isValid() && statement.signedAt() < request.acceptedSigned)
        return u"it was signed at %1, before the statement accepted earlier (%2)"_s.arg(
                statement.signedAt().toString(Qt::ISODate),
                request.acceptedSigned.toString(Qt::ISODate));
    if (statement.signedAt() == request.acceptedSigned && !request.acceptedText.isEmpty() &&
        mirror.text != request.acceptedText)
        return u"it was signed at %1, as the statement accepted earlier, but differs from it"_s.arg(
                statement.signedAt().toString(Qt::ISODate));
    const QString channel = ChannelStatement::channelName(request.channel);
    const int stated = statement.version(channel);
    if (stated != 0 && stated < request.confirmedVersion &&
        !statement.isWithdrawn(channel, request.confirmedVersion))
        return u"it names version %1 for channel %2, which was confirmed at version %3 before"_s
                .arg(stated)
                .arg(channel)
                .arg(request.confirmedVersion);
    return {};
}

void ChannelStatementFetch::onDeadline()
{
    for (Mirror& mirror : mirrors) {
        release(mirror.textReply, this);
        release(mirror.signatureReply, this);
    }
    finish();
}

QString ChannelStatementFetch::noneReason() const
{
    if (mirrors.empty())
        return u"no mirror is listed"_s;
    QStringList parts;
    if (unanswered > 0)
        parts << u"%1 did not answer within %2 s"_s.arg(mirrorsText(unanswered))
                         .arg(request.deadline.count() / 1000.0);
    if (missingCount > 0)
        parts << u"%1 published none"_s.arg(mirrorsText(missingCount));
    if (refusedCount > 0)
        parts << u"%1 served one that was refused"_s.arg(mirrorsText(refusedCount));
    return parts.join(u", "_s);
}

void ChannelStatementFetch::release(QPointer<QNetworkReply>& reply, QObject* receiver)
{
    if (!reply)
        return;
    QObject::disconnect(reply, nullptr, receiver, nullptr);
    reply->abort();
    reply->deleteLater();
    reply = nullptr;
}

void ChannelStatementFetch::finish()
{
    if (std::exchange(finishedAll, true))
        return;
    deadline.stop();
    emit finished();
}
