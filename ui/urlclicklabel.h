#pragma once

#include <QLabel>
#include <QString>

// A label that opens its address in the desktop's browser when it is clicked.
class UrlClickLabel : public QLabel
{
    Q_OBJECT

public:
    explicit UrlClickLabel(QWidget* parent = nullptr);

    void setUrl(const QString& url);
    [[nodiscard]] const QString& url() const { return targetUrl; }

protected:
    void mousePressEvent(QMouseEvent* event) override;

private:
    QString targetUrl;
};
