// The INI settings files of an installation, and how their values are read.
#pragma once

#include "installationlayout.h"

#include <QSettings>

// An INI settings file ("update.ini", "mirrors.ini" of an installation). A missing or unreadable
// file reads as empty, so every key takes its default.
class SettingsFile : public QSettings
{
public:
    // The file at path, every section read.
    explicit SettingsFile(const QString& path);

    // "update.ini" of installation: the "Channel" and "update" groups, the records of what is
    // installed and accepted, and the update session record.
    [[nodiscard]] static SettingsFile updateIni(const InstallationLayout& installation);
    [[nodiscard]] static QString updateIniPath(const InstallationLayout& installation);
    // "update.ini", relative to the root.
    [[nodiscard]] static const QString& updateIniName();

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
