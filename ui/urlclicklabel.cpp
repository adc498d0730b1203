#include "urlclicklabel.h"

#include <QDesktopServices>
#include <QMouseEvent>
#include <QUrl>

UrlClickLabel::UrlClickLabel(QWidget* parent)
    : QLabel(parent)
{}

void UrlClickLabel::setUrl(const QString& url)
{
    targetUrl = url;
}

void UrlClickLabel::mousePressEvent(QMouseEvent* event)
{
    event->accept();
    if (!targetUrl.isEmpty())
        QDesktopServices::openUrl(QUrl(targetUrl));
}
