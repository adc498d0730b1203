#include "changelogfetch.h"

#include "ed25519.h"
#include "releasemanifest.h"
#include "sha256.h"

#include <QNetworkAccessManager>
#include <QNetworkRequest>
#include <QUrl>

#include <algorithm>

using namespace Qt::StringLiterals;

ChangeLogFetch::ChangeLogFetch(QNetworkAccessManager* manager, const QString& versionUrl,
                               const QString& clientType, int version, QObject* parent)
    : QObject(parent)
    , manager(manager)
    , versionUrl(versionUrl)
    , clientType(clientType)
    , version(version)
{}

ChangeLogFetch::~ChangeLogFetch()
{
    release();
}

QString ChangeLogFetch::changelogFileName()
{
    return u"changelog_client.txt"_s;
}

bool ChangeLogFetch::checksManifest() const
{
    return !clientType.isEmpty() && !Ed25519::builtInKey().isEmpty();
}

void ChangeLogFetch::start()
{
    request(Changelog, versionUrl + u'/' + changelogFileName(), ReleaseManifest::maxChangelogSize);
    if (!checksManifest())
        return;
    const QString manifest = versionUrl + u'/' + ReleaseManifest::fileName(clientType);
    request(Manifest, manifest, ReleaseManifest::maxSize);
    request(Signature, manifest + u".sig"_s, maxSignatureSize);
}

void ChangeLogFetch::request(Item item, const QString& url, qint64 cap)
{
    QNetworkRequest request{QUrl(url)};
    // A redirection must reach us as what it is, a page that is not the one asked for.
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::ManualRedirectPolicy);
    QNetworkReply* reply = manager->get(request);
    transfers[item].reply = reply;
    transfers[item].cap = cap;
    connect(reply, &QNetworkReply::finished, this, [this, item] { onFinished(item); });
    // Announced or arrived beyond the cap, the answer is not the file: the rest stays unread.
    connect(reply, &QNetworkReply::downloadProgress, this,
            [reply, cap](qint64 received, qint64 total) {
                if (std::max(received, total) > cap)
                    reply->abort();
            });
}

void ChangeLogFetch::abort()
{
    for (Transfer& transfer : transfers) {
        if (transfer.reply && !transfer.finished)
            transfer.reply->abort();
    }
}

void ChangeLogFetch::onFinished(Item item)
{
    take(transfers[item]);
    const bool changelogFailed = transfers[Changelog].finished && !transfers[Changelog].ok;
    const bool allFinished = std::all_of(transfers.begin(), transfers.end(), [](const auto& t) {
        return t.finished || t.reply.isNull();
    });
    if (changelogFailed || allFinished)
        finish();
}

void ChangeLogFetch::take(Transfer& transfer)
{
    QNetworkReply* reply = transfer.reply;
    transfer.finished = true;
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    // An unfollowed redirection: the status says so.
    transfer.ok = reply->error() == QNetworkReply::NoError && !(status >= 300 && status < 400);
    if (transfer.ok)
        transfer.body = reply->read(transfer.cap + 1);
    transfer.ok = transfer.ok && transfer.body.size() <= transfer.cap;
}

void ChangeLogFetch::finish()
{
    if (reported)
        return;
    reported = true;
    bool vouched = false;
    const bool found = transfers[Changelog].ok;
    const QString why = found ? failedCheck(vouched) : QString();
    release();
    emit done(found && why.isEmpty(), why.isEmpty() ? transfers[Changelog].body : QByteArray(),
              vouched, why);
}

QString ChangeLogFetch::failedCheck(bool& vouched) const
{
    // A mirror without the manifest leaves the change log as plain text, vouched for by nobody.
    if (!checksManifest() || !transfers[Manifest].ok || !transfers[Signature].ok)
        return {};
    const QByteArray& text = transfers[Manifest].body;
    const QString source = versionUrl + u'/' + ReleaseManifest::fileName(clientType);
    ReleaseManifest manifest;
    const Failure checked = Ed25519::verify(Ed25519::builtInKey(), text, transfers[Signature].body);
    if (checked.failed() || !manifest.parse(text))
        return u"Release manifest %1 failed its check: %2"_s.arg(
                source, checked.failed() ? checked.text : manifest.errorString());
    if (manifest.clientType() != clientType || manifest.version() != version)
        return u"Release manifest %1 describes %2 version %3"_s.arg(
                source, manifest.clientType(), QString::number(manifest.version()));
    if (manifest.changelogSha256().isEmpty())
        return {};
    const QByteArray& body = transfers[Changelog].body;
    if (Sha256::hexOf(body) != manifest.changelogSha256() ||
        body.size() != manifest.changelogSize())
        return u"Change log %1/%2 is not the one its release manifest lists"_s.arg(
                versionUrl, changelogFileName());
    vouched = true;
    return {};
}

void ChangeLogFetch::release()
{
    // Deleting a reply cancels what is left of its transfer, and it reports to nobody.
    for (Transfer& transfer : transfers) {
        if (transfer.reply.isNull())
            continue;
        transfer.reply->disconnect(this);
        transfer.reply->deleteLater();
        transfer.reply.clear();
    }
}
