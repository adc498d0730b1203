#include "newsbanner.h"

#include "inerttextdocument.h"
#include "weblink.h"

#include <QAbstractTextDocumentLayout>
#include <QCursor>
#include <QMouseEvent>
#include <QPainter>
#include <QRegularExpression>
#include <QTextDocument>
#include <QTimerEvent>
#include <QUrl>

#include <algorithm>

using namespace Qt::StringLiterals;

NewsBanner::NewsBanner(QWidget* parent, std::chrono::milliseconds scrollInterval,
                       std::chrono::milliseconds pauseInterval)
    : QWidget(parent)
    , document(new InertTextDocument(this))
    , scrollInterval(scrollInterval)
    , pauseInterval(pauseInterval)
{
    setMinimumHeight(16);
    setMaximumHeight(16);
    setObjectName(u"NewsBanner"_s);
}

void NewsBanner::setNews(const QString& text)
{
    if (text.size() > maxNewsLength)
        emit message(u"The news is %1 characters long; only the first %2 are shown"_s.arg(
                QString::number(text.size()), QString::number(maxNewsLength)));
    const QString news = text.left(maxNewsLength);
    clickUrl = clickUrlOf(news);
    document->setDefaultFont(font());
    // The comment renders as nothing, so the whole text goes in.
    document->setHtml(news);
    document->setDocumentMargin(0);
    paused = false;
    position = width() - edgeMargin;
    const QSizeF size = document->size();
    textWidth = int(size.width());
    textHeight = int(size.height());
    const int height = std::min(textHeight, maxLines * fontMetrics().height());
    setMinimumHeight(height);
    setMaximumHeight(height);
    restartScrollTimer(scrollInterval);
    update();
}

// "<!--URL=address-->" anywhere in the news. Greedy and across lines, so the comment reaches from
// the first opening to the last closing.
QString NewsBanner::clickUrlOf(const QString& news)
{
    static const QRegularExpression comment(u"<!--(.+)-->"_s,
                                            QRegularExpression::DotMatchesEverythingOption);
    const QRegularExpressionMatch match = comment.match(news);
    if (!match.hasMatch())
        return {};
    const QString content = match.captured(1);
    const qsizetype equals = content.indexOf(u'=');
    if (equals < 0 || QStringView(content).left(equals) != u"URL")
        return {};
    return content.mid(equals + 1);
}

void NewsBanner::restartScrollTimer(std::chrono::milliseconds interval)
{
    timerInterval = interval;
    scrollTimer.start(int(interval.count()), this);
}

void NewsBanner::timerEvent(QTimerEvent* event)
{
    if (event->timerId() != scrollTimer.timerId()) {
        QWidget::timerEvent(event);
        return;
    }
    if (paused) {
        paused = false;
        restartScrollTimer(scrollInterval);
    }
    scrollOneStep();
}

void NewsBanner::scrollOneStep()
{
    position -= scrollStep;
    // Once the text has left on the left, the line stays blank for the pause and the text then
    // comes in again from the right.
    if (int(position) + textWidth < -edgeMargin) {
        paused = true;
        restartFromRight();
        restartScrollTimer(pauseInterval);
    }
    update();
    updateCursor();
}

void NewsBanner::restartFromRight()
{
    position = width() - edgeMargin;
}

void NewsBanner::paintEvent(QPaintEvent* /*event*/)
{
    if (paused)
        return;
    // The widget was made narrower than where the text stands.
    if (int(position) > width())
        restartFromRight();
    QPainter painter(this);
    painter.translate(position, textTop());
    document->drawContents(&painter);
}

void NewsBanner::updateCursor()
{
    const bool overLink = !anchorAt(mapFromGlobal(QCursor::pos())).isEmpty();
    const Qt::CursorShape shape = overLink ? Qt::PointingHandCursor : Qt::ArrowCursor;
    if (cursor().shape() != shape)
        setCursor(shape);
}

QString NewsBanner::anchorAt(const QPoint& pos) const
{
    // Nothing is drawn during the pause, so nothing can be clicked there.
    if (paused)
        return {};
    return document->documentLayout()->anchorAt(
            QPointF(int(pos.x() - position), pos.y() - textTop()));
}

qreal NewsBanner::textTop() const
{
    return height() >= textHeight ? (height() - textHeight) * 0.5 : 0.0;
}

void NewsBanner::mousePressEvent(QMouseEvent* event)
{
    event->accept();
    const QString anchor = anchorAt(event->position().toPoint());
    const QString& target = anchor.isEmpty() ? clickUrl : anchor;
    if (!target.isEmpty() && !WebLink::open(QUrl(target)))
        emit message(WebLink::refusedLine(target));
}
