#include "changelogviewer.h"

#include "changelogfetch.h"
#include "inerttextdocument.h"
#include "mirrorsini.h"
#include "settingsfile.h"
#include "sharedrandom.h"
#include "weblink.h"

#include <QDialogButtonBox>
#include <QFileInfo>
#include <QFontMetrics>
#include <QNetworkAccessManager>
#include <QScreen>
#include <QStringDecoder>
#include <QTextBrowser>
#include <QTimer>
#include <QUrl>
#include <QVBoxLayout>

#include <algorithm>
#include <utility>

using namespace Qt::StringLiterals;

ChangeLogViewer* ChangeLogViewer::m_instance = nullptr;

ChangeLogViewer::ChangeLogViewer(QNetworkAccessManager* manager, InstallationLayout installation,
                                 QWidget* parent, std::chrono::milliseconds requestTimeout)
    : QDialog(parent, Qt::Dialog | Qt::WindowSystemMenuHint)
    , installation(std::move(installation))
    , textEdit(new QTextBrowser(this))
    , networkManager(manager)
    , requestTimeout(requestTimeout)
{
    setObjectName(u"ChangeLogViewer"_s);
    setAttribute(Qt::WA_DeleteOnClose);
    setWindowTitle(tr("Changelog"));

    textEdit->setObjectName(u"changeLogTextEdit"_s);
    // Whatever the change log's markup names, nothing is loaded for it.
    textEdit->setDocument(new InertTextDocument(textEdit));
    textEdit->setReadOnly(true);
    textEdit->setLineWrapMode(QTextEdit::NoWrap);
    // A clicked link never replaces the change log; it goes to the browser, if anywhere.
    textEdit->setOpenLinks(false);
    connect(textEdit, &QTextBrowser::anchorClicked, this, &ChangeLogViewer::onAnchorClicked);
    QFont font = textEdit->font();
    font.setStyleHint(QFont::TypeWriter);
    font.setFamily(font.defaultFamily());
    textEdit->setFont(font);

    auto* buttonBox = new QDialogButtonBox(QDialogButtonBox::Close, Qt::Horizontal, this);
    connect(buttonBox, &QDialogButtonBox::rejected, this, &QWidget::close);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(textEdit);
    layout->addWidget(buttonBox);
    resize(defaultWidth, maximumHeight);

    // Closed by the button, the window's frame or Escape, the dialog is deleted only later; the
    // next click must already start afresh.
    connect(this, &QDialog::finished, this, [this] {
        if (m_instance == this)
            m_instance = nullptr;
    });
}

ChangeLogViewer::~ChangeLogViewer()
{
    if (m_instance == this)
        m_instance = nullptr;
    // The manager outlives the dialog: a request still running is cancelled, and never reports
    // to this half-destroyed dialog.
    if (fetch)
        releaseFetch();
}

void ChangeLogViewer::showRemoteChangeLogDialog(QWidget* parent, QNetworkAccessManager* manager,
                                                const InstallationLayout& installation,
                                                const QString& path, const QString& clientType)
{
    if (!m_instance) {
        m_instance = new ChangeLogViewer(manager, installation, parent);
        m_instance->clientType = clientType;
        m_instance->requestRemote(path);
    }
    m_instance->show();
    m_instance->raise();
    m_instance->activateWindow();
}

QString ChangeLogViewer::changelogFileName()
{
    return ChangeLogFetch::changelogFileName();
}

QString ChangeLogViewer::versionUrl(const QString& baseUrl, const QString& path)
{
    const QString separator = baseUrl.endsWith(u'/') ? QString() : u"/"_s;
    return baseUrl + separator + path;
}

QString ChangeLogViewer::requestUrl(const QString& baseUrl, const QString& path)
{
    return versionUrl(baseUrl, path) + u'/' + changelogFileName();
}

void ChangeLogViewer::requestRemote(const QString& path)
{
    if (fetch)
        return;
    showStatus(tr("Loading..."));
    if (!path.isEmpty())
        changelogPath = path;

    const QString baseUrl = getRemoteUrl();
    if (baseUrl.isEmpty() || networkManager.isNull()) {
        showStatus(tr("Failed to load changelog."));
        return;
    }

    fetch = new ChangeLogFetch(networkManager, versionUrl(baseUrl, changelogPath), clientType,
                               changelogPath.toInt(), this);
    connect(fetch, &ChangeLogFetch::done, this, &ChangeLogViewer::onFetchDone);
    fetch->start();

    if (!requestTimer) {
        requestTimer = new QTimer(this);
        requestTimer->setSingleShot(true);
        requestTimer->setInterval(requestTimeout);
        connect(requestTimer, &QTimer::timeout, this, &ChangeLogViewer::onRequestTimeout);
    }
    requestTimer->start();
}

void ChangeLogViewer::onRequestTimeout()
{
    // The aborted fetch fails, which moves on to the next mirror.
    if (fetch)
        fetch->abort();
}

void ChangeLogViewer::onAnchorClicked(const QUrl& url)
{
    if (!WebLink::open(url))
        emit message(WebLink::refusedLine(url.toString()));
}

void ChangeLogViewer::onFetchDone(bool found, const QByteArray& body, bool vouched,
                                  const QString& why)
{
    requestTimer->stop();
    releaseFetch();
    if (!why.isEmpty())
        emit message(why);
    const QString text = found ? decodeText(body) : QString();
    if (found && isChangeLog(text))
        load(text, vouched ? Qt::AutoText : Qt::PlainText);
    else
        requestRemote(QString());
}

bool ChangeLogViewer::isChangeLog(const QString& text)
{
    // Servers tell of an unfollowed redirection in the page too.
    return !text.contains(u"document has moved"_s, Qt::CaseSensitive);
}

void ChangeLogViewer::releaseFetch()
{
    ChangeLogFetch* released = fetch;
    fetch.clear();
    released->disconnect(this);
    released->deleteLater();
}

QString ChangeLogViewer::decodeText(const QByteArray& data)
{
    const std::optional<QStringConverter::Encoding> unicode =
            QStringConverter::encodingForData(data);
    QStringDecoder decoder(unicode.value_or(QStringConverter::System));
    return decoder.decode(data);
}

QString ChangeLogViewer::getRemoteUrl()
{
    if (mirrorsLoaded)
        return getRandomMirror();
    mirrorsLoaded = true;

    // An alpha location is the only place the alpha builds are; it is tried once, alone.
    if (QFileInfo::exists(SettingsFile::updateIniPath(installation))) {
        const QString alpha = SettingsFile::alphaUrl(SettingsFile::updateIni(installation));
        if (!alpha.isEmpty())
            return alpha;
    }
    if (!QFileInfo::exists(installation.filePath(MirrorsIni::fileName())))
        return {};
    readMirrorUrls();
    return getRandomMirror();
}

void ChangeLogViewer::readMirrorUrls()
{
    SettingsFile settings(installation.filePath(MirrorsIni::fileName()));
    mirrorUrls = MirrorsIni::urls(settings);
}

QString ChangeLogViewer::getRandomMirror()
{
    if (mirrorUrls.isEmpty())
        return {};
    const auto index = SharedRandom::bounded(static_cast<quint32>(mirrorUrls.size()));
    return mirrorUrls.takeAt(index);
}

void ChangeLogViewer::showStatus(const QString& text)
{
    textEdit->setPlainText(text);
}

void ChangeLogViewer::load(const QString& text, Qt::TextFormat format)
{
    if (format == Qt::PlainText)
        textEdit->setPlainText(text);
    else
        textEdit->setText(text);
    if (text.isEmpty())
        return;

    const QFontMetrics metrics(textEdit->font());
    int widest = 0;
    for (const QString& line : text.split(u'\n'))
        widest = std::max(widest, metrics.horizontalAdvance(line));
    int width = widest > 0 ? widest + lineMargin : defaultWidth;
    int height = maximumHeight;

    const QRect available = screen() ? screen()->availableGeometry() : QRect();
    if (available.isValid()) {
        width = std::min(width, available.width());
        height = std::min(available.height(), maximumHeight);
    }
    resize(width, height);
}
