#pragma once

#include <QSettings>

// An INI settings file in the application root ("update.ini", "mirrors.ini"). A missing or
// unreadable file reads as empty, so every key takes its default.
class AppRootSettings : public QSettings
{
public:
    explicit AppRootSettings(const QString& fileName);

    // "update.ini": the "Channel" and "update" groups and the update session record.
    [[nodiscard]] static AppRootSettings updateIni();
};
