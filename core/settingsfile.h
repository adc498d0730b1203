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

    // A value as text. The INI reader turns an unquoted value with a comma into a list, and a URL
    // or a name may hold one; the list is put back together.
    [[nodiscard]] static QString readText(const QSettings& settings, const QString& key);
};
