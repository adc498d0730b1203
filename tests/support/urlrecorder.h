#pragma once

#include <QObject>
#include <QStringList>
#include <QUrl>

// Stands in for the desktop's browser, and for whatever the desktop would start for the other
// schemes, while it exists: records the addresses opened for the given schemes.
class UrlRecorder : public QObject
{
    Q_OBJECT

public:
    explicit UrlRecorder(QStringList schemes);
    ~UrlRecorder() override;

    QStringList opened;

public slots:
    void open(const QUrl& url);

private:
    const QStringList schemes;
};
