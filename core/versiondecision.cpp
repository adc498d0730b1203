// The one decision of which version a run installs.
#include "versiondecision.h"

#include <QCoreApplication>

using namespace Qt::StringLiterals;

namespace {

const char* const context = "MainWindow";

QString filled(QString text, const QStringList& arguments)
{
    for (const QString& argument : arguments)
        text = text.arg(argument);
    return text;
}

} // namespace

QString VersionNotice::english() const
{
    return filled(QString::fromUtf8(text), arguments);
}

QString VersionNotice::translated() const
{
    return filled(QCoreApplication::translate(context, text), arguments);
}

namespace {

using Reason = ChannelStatement::Choice::Reason;

QString offeredBy(VersionOrigin origin)
{
    return origin == VersionOrigin::Client ? u"the client names"_s
                                           : u"the update server announces"_s;
}

QString offer(VersionOrigin origin, int version)
{
    return (origin == VersionOrigin::Client ? u"The client names version %1"_s
                                            : u"The update server announces version %1"_s)
            .arg(version);
}

VersionDecision installing(int version)
{
    VersionDecision decision;
    decision.version = version;
    return decision;
}

VersionDecision refusing(QString why)
{
    VersionDecision decision;
    decision.refusal = std::move(why);
    return decision;
}

// Before statements count: the offered version, unless it would take the installation back.
VersionDecision followOffer(const VersionQuestion& question)
{
    // Mirrors keep old versions for the deltas: a spoofed answer could name any of them.
    if (question.offered >= question.installed)
        return installing(question.offered);
    return refusing(
            u"Not installing version %1 that %2: version %3 is installed"_s.arg(question.offered)
                    .arg(offeredBy(question.origin))
                    .arg(question.installed));
}

// An expired statement gives nothing new: of its rollouts, only the one the installation has
// stays, so that it keeps it.
ChannelStatement withoutNewRollouts(ChannelStatement statement, const QString& channel,
                                    int installed)
{
    if (statement.rollouts().value(channel).version != installed)
        statement.removeRollout(channel);
    return statement;
}

VersionNotice stayingOn(const QString& why, int installed)
{
    if (installed > 0)
        return {QT_TRANSLATE_NOOP("MainWindow", "The update channels could not be confirmed "
                                                "(%1): staying on version %2"),
                {why, QString::number(installed)}};
    return {QT_TRANSLATE_NOOP("MainWindow", "The update channels could not be confirmed (%1): "
                                            "staying on the installed version"),
            {why}};
}

// What the statement allows this installation; fresh when the mirrors served it now.
VersionDecision follow(const ChannelStatement& statement, bool fresh, const QString& why,
                       const VersionQuestion& question)
{
    const QString channel = ChannelStatement::channelName(question.channel);
    const bool expired = statement.hasExpired(question.now);
    const ChannelStatement::Choice choice =
            (expired ? withoutNewRollouts(statement, channel, question.installed) : statement)
                    .choose(channel, question.installed, question.bucket,
                            fresh && !expired && question.userStarted);

    VersionDecision decision = installing(choice.version);
    decision.withdrawal = choice.reason == Reason::Withdrawn;
    if (decision.withdrawal) {
        decision.notices << VersionNotice{
                QT_TRANSLATE_NOOP("MainWindow",
                                  "Version %1 was withdrawn: going back to version %2"),
                {QString::number(question.installed), QString::number(choice.version)}};
    } else if (choice.version < question.installed) {
        decision = refusing(u"Not installing version %1 that the signed channel statement "
                            u"names: version %2 is installed"_s.arg(choice.version)
                                    .arg(question.installed));
    } else if (choice.reason == Reason::Early) {
        decision.notices << VersionNotice{
                QT_TRANSLATE_NOOP("MainWindow",
                                  "Early update: this version is still being rolled out"),
                {}};
    }

    if (!fresh) {
        const bool staying = !decision.installs() || decision.version == question.installed;
        decision.notices.prepend(
                staying ? stayingOn(why, question.installed)
                        : VersionNotice{QT_TRANSLATE_NOOP(
                                                "MainWindow",
                                                "The update channels could not be confirmed (%1): "
                                                "installing version %2, which the last accepted "
                                                "statement allows"),
                                        {why, QString::number(decision.version)}});
    } else if (expired) {
        decision.notices.prepend(VersionNotice{
                QT_TRANSLATE_NOOP("MainWindow",
                                  "Warning: the update channels were last confirmed on %1"),
                {statement.signedAt().toString(u"yyyy-MM-dd HH:mm 'UTC'"_s)}});
    }
    if (decision.installs() && decision.version != question.offered)
        decision.logLines << u"%1, the signed channel statement %2: installing %2"_s.arg(
                offer(question.origin, question.offered), QString::number(decision.version));
    return decision;
}

// Whatever named it, the same version would fail its start again; a person may still insist.
VersionDecision withoutRefused(VersionDecision decision, const VersionQuestion& question)
{
    if (!decision.installs() || decision.version != question.refused || decision.withdrawal ||
        question.origin == VersionOrigin::Named)
        return decision;
    return refusing(
            u"Not installing version %1: it failed its first start here"_s.arg(question.refused));
}

VersionDecision decideIgnoringRefused(const VersionQuestion& question)
{
    if (question.origin == VersionOrigin::Named || !question.readsStatements)
        return question.origin == VersionOrigin::Named ? installing(question.offered)
                                                       : followOffer(question);
    const QString channel = ChannelStatement::channelName(question.channel);
    if (question.statement && question.statement->version(channel) != 0)
        return follow(*question.statement, true, {}, question);

    const QString why =
            question.statement
                    ? u"the channel statement names no version for channel %1"_s.arg(channel)
                    : question.noStatementReason;
    if (!question.statementRequired && !question.statementSeen) {
        VersionDecision decision = followOffer(question);
        decision.logLines.prepend(
                u"No channel statement (%1); the update server alone names the version"_s.arg(why));
        return decision;
    }
    if (question.lastAccepted && question.lastAccepted->version(channel) != 0)
        return follow(*question.lastAccepted, false, why, question);
    const VersionNotice notice = stayingOn(why, question.installed);
    VersionDecision decision = refusing(notice.english());
    decision.notices << notice;
    return decision;
}

} // namespace

VersionDecision VersionDecision::decide(const VersionQuestion& question)
{
    return withoutRefused(decideIgnoringRefused(question), question);
}
