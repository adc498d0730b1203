// The channel statement as a mirror serves it, parsed by ChannelStatement. The signature check
// comes first, but the parser must not rely on it. Besides crashes it catches a parsed statement
// whose text does not parse again to the same statement or is not made of the input's lines, one
// that expires no later than it was signed, rollouts and withdrawals that contradict the
// channels, and a failed parse that leaves anything behind.

#include "channelstatement.h"
#include "fuzzsupport.h"

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

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const QByteArrayView input = FuzzSupport::bytes(data, size);
    ChannelStatement statement;
    if (statement.parse(input)) {
        checkParsed(input, statement);
    } else {
        check(!statement.errorString().isEmpty(), "a failed parse has no error text");
        check(statement == ChannelStatement(), "a failed parse leaves content behind");
    }
    return 0;
}
