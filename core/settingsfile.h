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

    // Makes settings, opened at its top level, read every section of its file now. Qt reads the
    // sections of an INI file on first use and looks a key's section up by the nearest name: while
    // "[dl/eu]" is unread, the keys of "[dl]" read as absent, and what a read finds would depend
    // on the reads before it.
    static void readAllSections(QSettings& settings);

    // A value as text. The INI reader turns an unquoted value with a comma into a list, and a URL
    // or a name may hold one; the list is put back together.
    [[nodiscard]] static QString readText(const QSettings& settings, const QString& key);

    // The base URL of the alpha channel from "update.ini", opened at its top level; empty when
    // the channel is not selected.
    [[nodiscard]] static QString alphaUrl(const QSettings& settings);
};
