#pragma once

#include <QObject>
#include <QString>

// What the engine needs of the banner service's client: start it, and hear which image to show
// and where a click on it leads; tests put a scripted one in place of Banner.
class BannerQuery : public QObject
{
    Q_OBJECT

public:
    using QObject::QObject;

    virtual void run() = 0;

signals:
    void bannerFound(QString bannerUrl, QString clickUrl);
};
