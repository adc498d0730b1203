// The channel statement as a mirror serves it, parsed by ChannelStatement. The signature check
// comes first, but the parser must not rely on it. Besides crashes it catches a parsed statement
// whose text does not parse again to the same statement or is not made of the input's lines, one
// that expires no later than it was signed, rollouts and withdrawals that contradict the
// channels, and a failed parse that leaves anything behind. A parsed statement then decides a
// run's version from inputs drawn from the input's hash: whatever it says, only a version the
// statement allows is installed, and nothing goes back but to a withdrawal's target.

#include "channelstatement.h"
#include "fuzzsupport.h"
#include "versiondecision.h"

#include <QHash>

using FuzzSupport::check;

namespace {

void checkParsed(QByteArrayView input, const ChannelStatement& statement)
{
    check(statement.errorString().isEmpty(), "a parsed statement has an error text");
    check(statement.expires() > statement.signedAt(), "it expires before it was signed");
    check(!statement.channels().isEmpty(), "a parsed statement names no channel");
    for (auto it = statement.channels().cbegin(); it != statement.channels().cend(); ++it) {
        check(ChannelStatement::isChannelName(it.key()), "a channel name the format refuses");
        check(it.value() > 0, "a channel version below 1");
    }
    for (auto it = statement.rollouts().cbegin(); it != statement.rollouts().cend(); ++it) {
        check(it->version > statement.version(it.key()), "a rollout of no newer version");
        check(it->share > 0 && it->share < ChannelStatement::shareScale, "a share out of range");
    }
    for (auto it = statement.withdrawals().cbegin(); it != statement.withdrawals().cend(); ++it)
        for (auto back = it->cbegin(); back != it->cend(); ++back)
            check(back.value() < back.key() && !it->contains(back.value()) &&
                          back.key() != statement.version(it.key()),
                  "a withdrawal to no older version, to a withdrawn one or of the channel's own");
    const QByteArray written = statement.toText();
    for (const QByteArray& line : written.split('\n')) {
        const QByteArray whole = line + '\n';
        if (!line.isEmpty())
            check(input.startsWith(whole) || input.contains(QByteArray('\n' + whole)),
                  "a written line is not in the input");
    }
    ChannelStatement again;
    check(again.parse(written), "the written text does not parse");
    check(again == statement, "the written text parses to another statement");
    check(again.toText() == written, "the written text changes when written again");
}

// The versions the statement allows an installation on channel with installed and bucket.
QList<int> allowedVersions(const ChannelStatement& statement, const QString& channel, int installed,
                           int bucket, bool early, bool expired)
{
    QList<int> allowed{statement.version(channel)};
    const auto rollout = statement.rollouts().constFind(channel);
    if (rollout != statement.rollouts().cend() &&
        (rollout->version == installed ||
         (!expired && !rollout->halted && (bucket < rollout->share || early))))
        allowed << rollout->version;
    if (statement.isWithdrawn(channel, installed))
        allowed << statement.withdrawals().value(channel).value(installed);
    return allowed;
}

void checkDecisions(QByteArrayView input, const ChannelStatement& statement)
{
    const size_t hash = qHash(input);
    VersionQuestion question;
    question.channel = UpdateChannel(hash % 3);
    question.origin = (hash >> 2) % 2 == 0 ? VersionOrigin::Server : VersionOrigin::Client;
    question.userStarted = (hash >> 3) % 2 == 0;
    question.readsStatements = true;
    question.bucket = int((hash >> 4) % ChannelStatement::shareScale);
    const bool expired = (hash >> 18) % 2 == 0;
    question.now = expired ? statement.expires() : statement.signedAt();
    const QString channel = ChannelStatement::channelName(question.channel);
    QList<int> named = statement.channels().values();
    for (const auto& rollout : statement.rollouts())
        named << rollout.version;
    for (const auto& withdrawals : statement.withdrawals())
        named << withdrawals.keys();
    const int base = named.value(qsizetype((hash >> 19) % quint64(named.size())));
    question.installed = std::max(0, base + int((hash >> 24) % 3) - 1);
    question.offered = std::max(1, base + int((hash >> 26) % 3) - 1);
    question.statementSeen = true;
    question.refused = (hash >> 28) % 2 == 0 ? base : 0;

    for (const bool fresh : {true, false}) {
        question.statement.reset();
        question.lastAccepted.reset();
        (fresh ? question.statement : question.lastAccepted) = statement;
        const VersionDecision decision = VersionDecision::decide(question);
        check(decision.installs() == decision.refusal.isEmpty(), "a refusal without a reason");
        if (!decision.installs())
            continue;
        const bool early = fresh && question.userStarted && !expired;
        check(allowedVersions(statement, channel, question.installed, question.bucket, early,
                              expired)
                      .contains(decision.version),
              "a version the statement does not allow");
        check(decision.version >= question.installed ||
                      statement.isWithdrawn(channel, question.installed),
              "an older version without a withdrawal");
        check(decision.version != question.refused || decision.withdrawal,
              "a version that failed its start again, not withdrawn to");
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const QByteArrayView input = FuzzSupport::bytes(data, size);
    ChannelStatement statement;
    if (statement.parse(input)) {
        checkParsed(input, statement);
        checkDecisions(input, statement);
    } else {
        check(!statement.errorString().isEmpty(), "a failed parse has no error text");
        check(statement == ChannelStatement(), "a failed parse leaves content behind");
    }
    return 0;
}
