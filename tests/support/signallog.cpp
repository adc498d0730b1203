#include "signallog.h"

#include <utility>

void SignalLog::add(const QString& event)
{
    entries.append(event);
}

void SignalLog::clear()
{
    entries.clear();
}

QStringList SignalLog::take()
{
    return std::exchange(entries, {});
}

QString SignalLog::number(double value)
{
    return QString::number(value, 'g', 6);
}
