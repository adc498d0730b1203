#pragma once

#include <QList>
#include <QString>
#include <QStringList>

class QSettings;

// One mirror's section of "mirrors.ini".
struct MirrorsIniSection
{
    QString url;          // the base URL as written; empty when the section has none
    qint32 retries;       // failures tolerated, always positive
    qint32 downloadSlots; // downloads served at once; 0 when the section does not say
    bool http2;           // the mirror speaks HTTP/2
};

// "mirrors.ini" in the application root: the mirror names in the settings array "mirrors", and
// for each name a section of the same name with its "url", "retries", "slots" and "http2". The
// one reader of the file, shared by the mirror list of a run, the change-log viewer and the
// release tool. Only ever read.
class MirrorsIni
{
public:
    static constexpr qint32 defaultRetries = 2;

    MirrorsIni() = delete;

    [[nodiscard]] static QString fileName();

    // The names in file order, trimmed; blank entries are skipped.
    [[nodiscard]] static QStringList names(QSettings& settings);
    // The section of one mirror. A "retries" value that is 0, unreadable or not a positive 32-bit
    // int reads as defaultRetries; a "slots" value that is no such number reads as unset (0).
    // "http2" is on only when it says "true" or "1".
    [[nodiscard]] static MirrorsIniSection section(QSettings& settings, const QString& name);
    // The base URLs of the named mirrors that have one, in file order.
    [[nodiscard]] static QStringList urls(QSettings& settings);
};
