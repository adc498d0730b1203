#include "urlrecorder.h"

#include <QDesktopServices>

UrlRecorder::UrlRecorder(QStringList schemes)
    : schemes(std::move(schemes))
{
    for (const QString& scheme : this->schemes)
        QDesktopServices::setUrlHandler(scheme, this, "open");
}

UrlRecorder::~UrlRecorder()
{
    for (const QString& scheme : schemes)
        QDesktopServices::unsetUrlHandler(scheme);
}

void UrlRecorder::open(const QUrl& url)
{
    opened.append(url.toString());
}
