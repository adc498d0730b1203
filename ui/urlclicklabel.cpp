#include "urlclicklabel.h"

#include "weblink.h"

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
    if (!targetUrl.isEmpty() && !WebLink::open(QUrl(targetUrl)))
        emit message(WebLink::refusedLine(targetUrl));
}
