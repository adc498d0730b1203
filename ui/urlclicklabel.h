#pragma once

#include <QLabel>
#include <QString>

// A label that opens its address in the desktop's browser when it is clicked, if it is a web
// address; otherwise it says so through message.
class UrlClickLabel : public QLabel
{
    Q_OBJECT

public:
    explicit UrlClickLabel(QWidget* parent = nullptr);

    void setUrl(const QString& url);
    [[nodiscard]] const QString& url() const { return targetUrl; }

signals:
    // A line for the details log.
    void message(QString message);

protected:
    void mousePressEvent(QMouseEvent* event) override;

private:
    QString targetUrl;
};
