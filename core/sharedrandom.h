#pragma once

#include <QRandomGenerator>

// The one pseudo-random generator of the process. The engine seeds it with the clock at the start
// of every run; the mirror choice and the change-log viewer draw from it. GUI thread only.
class SharedRandom
{
public:
    SharedRandom() = delete;

    static void seed(quint32 value);
    // Seeds with the current time in whole seconds since 1970, as every run does.
    static void seedFromClock();
    // A number from 0 to bound - 1; bound must be positive.
    [[nodiscard]] static quint32 bounded(quint32 bound);
    [[nodiscard]] static QRandomGenerator& generator();
};
