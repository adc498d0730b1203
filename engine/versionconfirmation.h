#pragma once

#include "channelstatementfetch.h"

#include <QObject>
#include <QString>
#include <QStringList>

#include <chrono>
#include <optional>

class AcceptedStatement;
class Configuration;
class QNetworkAccessManager;
struct VersionNotice;
struct VersionQuestion;

// Settles the version of a run before the window shows it: gathers what VersionDecision decides
// from (the offered version and who offered it, the channel statement the mirrors serve now and
// the one accepted before, the records of "update.ini"), records a newer statement, and follows the
// decision: the configuration's version becomes the decided one. Waits for the statement, as the
// version query does.
class VersionConfirmation : public QObject
{
    Q_OBJECT

public:
    // The longest the start waits for the channel statement, whatever the mirrors do.
    static constexpr std::chrono::seconds statementWait{10};

    // manager is the run's network access, with its proxy; nothing goes out unless networkAllowed.
    VersionConfirmation(QNetworkAccessManager* manager, Configuration& configuration,
                        bool networkAllowed, QObject* parent = nullptr);

    // False when the run must install nothing.
    [[nodiscard]] bool run();
    // What the window shows about the channels, a line each, translated; empty when all is well.
    [[nodiscard]] const QStringList& notices() const { return shown; }
    // The installed version when the decided one is older; 0 otherwise.
    [[nodiscard]] int goingBackFrom() const { return olderThanInstalled; }

signals:
    void message(QString line);

private:
    // Says once that a version failed its first start and was replaced; the version refused.
    [[nodiscard]] int tellRefused();
    void gatherChannelStatements(VersionQuestion& question);
    [[nodiscard]] std::optional<ChannelStatementFetch::Found>
    fetchChannelStatement(const AcceptedStatement& accepted, QString& whyNone);
    void recordChannelStatement(const ChannelStatementFetch::Found& found,
                                const AcceptedStatement& accepted);
    // A line for the log and the window.
    void notify(const VersionNotice& notice);

    QNetworkAccessManager* manager;
    Configuration& configuration;
    const bool networkAllowed;
    QStringList shown;
    int olderThanInstalled = 0;
};
