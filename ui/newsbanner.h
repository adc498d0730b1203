#pragma once

#include <QBasicTimer>
#include <QString>
#include <QWidget>

#include <chrono>

class QTextDocument;

// A one-line news ticker: a short rich-text item that scrolls in from the right, leaves on the
// left, leaves the line blank for a moment and comes in again. Links open in the browser; a click
// outside a link opens the address that the news names in a comment "<!--URL=...-->". Only web
// addresses are opened; for any other, message says why nothing happened. The news comes from an
// unsigned reply: its markup loads nothing (no image, no style sheet), and a text longer than
// maxNewsLength is cut there, with a line for the log.
class NewsBanner : public QWidget
{
    Q_OBJECT
    friend struct NewsBannerPrivateAccess; // what the tests read; see the _p.h header

public:
    static constexpr std::chrono::milliseconds defaultScrollInterval{10};
    static constexpr std::chrono::milliseconds defaultPauseInterval{3000};
    static constexpr qreal scrollStep = 0.5;
    // How far inside the right edge the text starts, and how far past the left edge it goes.
    static constexpr int edgeMargin = 10;
    // The update server's reply holds at most 4095 bytes; the command line as much again.
    static constexpr qsizetype maxNewsLength = 4096;
    // The banner is as tall as the news, but no taller than this many lines of its font: news
    // that asks for more (a tall image, many paragraphs) is cut below, and the window keeps its
    // size.
    static constexpr int maxLines = 2;

    explicit NewsBanner(QWidget* parent = nullptr,
                        std::chrono::milliseconds scrollInterval = defaultScrollInterval,
                        std::chrono::milliseconds pauseInterval = defaultPauseInterval);

    // Installs a news text (HTML) and starts scrolling it from the right.
    void setNews(const QString& text);

    // The link target under a widget position; empty if none.
    [[nodiscard]] QString anchorAt(const QPoint& pos) const;

signals:
    // A line for the details log.
    void message(QString message);

protected:
    void paintEvent(QPaintEvent* event) override;
    void timerEvent(QTimerEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;

private:
    void restartScrollTimer(std::chrono::milliseconds interval);
    void scrollOneStep();
    void restartFromRight();
    void updateCursor();
    [[nodiscard]] static QString clickUrlOf(const QString& news);
    // Where the text's top stands: centred where it fits, else at the top.
    [[nodiscard]] qreal textTop() const;

    QBasicTimer scrollTimer;
    QTextDocument* document;
    qreal position = 0;
    int textWidth = 0;
    int textHeight = 0;
    bool paused = false;
    QString clickUrl;

    std::chrono::milliseconds scrollInterval;
    std::chrono::milliseconds pauseInterval;
    std::chrono::milliseconds timerInterval{0};
};
