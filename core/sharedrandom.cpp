#include "sharedrandom.h"

#include <QDateTime>

void SharedRandom::seed(quint32 value)
{
    generator().seed(value);
}

void SharedRandom::seedFromClock()
{
    // Truncation is fine: only the varying low bits matter for a seed.
    seed(static_cast<quint32>(QDateTime::currentSecsSinceEpoch()));
}

quint32 SharedRandom::bounded(quint32 bound)
{
    Q_ASSERT(bound > 0);
    return generator().bounded(bound);
}

QRandomGenerator& SharedRandom::generator()
{
    // Unseeded it starts from seed 1, like the C library generator it stands in for.
    static QRandomGenerator processGenerator(1);
    return processGenerator;
}
