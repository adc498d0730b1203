<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="de_DE">
<context>
    <name>ChangeLogViewer</name>
    <message>
        <source>Changelog</source>
        <translation>Änderungsprotokoll</translation>
    </message>
    <message>
        <source>Loading...</source>
        <translation>Wird geladen...</translation>
    </message>
    <message>
        <source>Failed to load changelog.</source>
        <translation>Das Änderungsprotokoll konnte nicht geladen werden.</translation>
    </message>
</context>
<context>
    <name>MainWindow</name>
    <message>
        <source>Sonavelle 3 Client Update</source>
        <translation>Sonavelle 3 Client-Aktualisierung</translation>
    </message>
    <message>
        <source>&lt;small&gt;&amp;copy; 2026 Sonavelle &amp;middot; &lt;a href=&quot;https://www.sonavelle.com/&quot;&gt;www.sonavelle.com&lt;/a&gt;&lt;/small&gt;</source>
        <translation>&lt;small&gt;&amp;copy; 2026 Sonavelle &amp;middot; &lt;a href=&quot;https://www.sonavelle.com/&quot;&gt;www.sonavelle.com&lt;/a&gt;&lt;/small&gt;</translation>
    </message>
    <message>
        <source>0 KB/s</source>
        <translation>0 KB/s</translation>
    </message>
    <message>
        <source>0 KB</source>
        <translation>0 KB</translation>
    </message>
    <message>
        <source>Details</source>
        <translation>Details</translation>
    </message>
    <message>
        <source>View Changes</source>
        <translation>Änderungen anzeigen</translation>
    </message>
    <message>
        <source>Start Update</source>
        <translation>Aktualisierung starten</translation>
    </message>
    <message>
        <source>Stable</source>
        <translation>Stabil</translation>
    </message>
    <message>
        <source>Beta</source>
        <translation>Beta</translation>
    </message>
    <message>
        <source>Alpha</source>
        <translation>Alpha</translation>
    </message>
    <message>
        <source>Update to Sonavelle %1</source>
        <translation>Aktualisierung auf Sonavelle %1</translation>
    </message>
    <message>
        <source>You are currently on &lt;strong&gt;%1 channel&lt;/strong&gt;.</source>
        <translation>Sie verwenden derzeit den &lt;strong&gt;Kanal %1&lt;/strong&gt;.</translation>
    </message>
    <message>
        <source>%1 KB</source>
        <translation>%1 KB</translation>
    </message>
    <message>
        <source>%1 KB/s</source>
        <translation>%1 KB/s</translation>
    </message>
    <message>
        <source>Start Sonavelle</source>
        <translation>Sonavelle starten</translation>
    </message>
    <message>
        <source>Restart</source>
        <translation>Neu starten</translation>
    </message>
    <message>
        <source>Update cancelled</source>
        <translation>Aktualisierung abgebrochen</translation>
    </message>
    <message>
        <source>Update</source>
        <translation>Aktualisierung</translation>
    </message>
    <message>
        <source>Update cancelled.</source>
        <translation>Aktualisierung abgebrochen.</translation>
    </message>
    <message>
        <source>Update cancelled: %1.</source>
        <translation>Aktualisierung abgebrochen: %1.</translation>
    </message>
    <message>
        <source>Click to open &quot;%1://%2&quot;</source>
        <translation>Klicken, um „%1://%2“ zu öffnen</translation>
    </message>
    <message>
        <source>Question</source>
        <translation>Frage</translation>
    </message>
    <message>
        <source>&lt;p&gt;Update in progress.&lt;/p&gt;&lt;p&gt;Are you sure you want to abort?&lt;/p&gt;</source>
        <translation>&lt;p&gt;Die Aktualisierung läuft.&lt;/p&gt;&lt;p&gt;Möchten Sie sie wirklich abbrechen?&lt;/p&gt;</translation>
    </message>
    <message>
        <source>The update channels could not be confirmed (%1): staying on version %2</source>
        <translation>Die Aktualisierungskanäle konnten nicht bestätigt werden (%1): Version %2 bleibt installiert</translation>
    </message>
    <message>
        <source>The update channels could not be confirmed (%1): staying on the installed version</source>
        <translation>Die Aktualisierungskanäle konnten nicht bestätigt werden (%1): die installierte Version bleibt</translation>
    </message>
    <message>
        <source>Version %1 was withdrawn: going back to version %2</source>
        <translation>Version %1 wurde zurückgezogen: zurück zu Version %2</translation>
    </message>
    <message>
        <source>Version %1 did not start and was replaced by %2 again</source>
        <translation>Version %1 ließ sich nicht starten und wurde wieder durch %2 ersetzt</translation>
    </message>
    <message>
        <source>Early update: this version is still being rolled out</source>
        <translation>Vorzeitige Aktualisierung: diese Version wird noch schrittweise verteilt</translation>
    </message>
    <message>
        <source>The update channels could not be confirmed (%1): installing version %2, which the last accepted statement allows</source>
        <translation>Die Aktualisierungskanäle konnten nicht bestätigt werden (%1): Version %2 wird installiert, die die zuletzt angenommene Erklärung erlaubt</translation>
    </message>
    <message>
        <source>Warning: the update channels were last confirmed on %1</source>
        <translation>Warnung: die Aktualisierungskanäle wurden zuletzt am %1 bestätigt</translation>
    </message>
</context>
<context>
    <name>Mirrors</name>
    <message>
        <source>There are no (more) known working mirrors available</source>
        <translation>Es sind keine (weiteren) funktionierenden Spiegelserver bekannt</translation>
    </message>
    <message>
        <source>Mirror %1 failed too many times, removing</source>
        <translation>Spiegelserver %1 ist zu oft ausgefallen und wird entfernt</translation>
    </message>
</context>
<context>
    <name>QObject</name>
    <message>
        <source>Invalid version nr (%1)</source>
        <translation>Ungültige Versionsnummer (%1)</translation>
    </message>
    <message>
        <source>Update server returned invalid version nr (%1)</source>
        <translation>Der Update-Server hat eine ungültige Versionsnummer geliefert (%1)</translation>
    </message>
    <message>
        <source>Error</source>
        <translation>Fehler</translation>
    </message>
    <message>
        <source>Failed to query latest client
version from update server.</source>
        <translation>Die neueste Client-Version konnte nicht
vom Update-Server abgefragt werden.</translation>
    </message>
</context>
</TS>
