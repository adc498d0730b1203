#include "guiprobe.h"

#include "updateengine.h"

#include <QDebug>

#include <algorithm>
#include <chrono>
#include <ctime>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;

namespace {

// The longest stall the window may have during an update; longer ones are logged as they end.
constexpr std::chrono::nanoseconds reportedGap = 50ms;

// CPU time of the calling thread: a stall it spent computing is work to move off the thread, one
// it spent waiting is a blocking call (or a machine too busy to run it).
qint64 threadCpuNs()
{
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return qint64(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

} // namespace

GuiProbe::GuiProbe(UpdateEngine* engine)
    : QObject(engine)
{
    // Precise: a coarse timer may fire late by design, which would read as a stall.
    timer.setTimerType(Qt::PreciseTimer);
    timer.setInterval(5ms);
    connect(&timer, &QTimer::timeout, this, &GuiProbe::onTick);
    connect(engine, &UpdateEngine::message, this, &GuiProbe::onMessage);
    connect(engine, &UpdateEngine::updateFinished, this, &GuiProbe::onUpdateFinished);
}

void GuiProbe::onMessage(const QString& text)
{
    // The first line of the main task, where the benchmark's clock starts too.
    if (text != u"Starting update process")
        return;
    longestGapNs = 0;
    sinceLastTick.start();
    cpuAtLastTickNs = threadCpuNs();
    timer.start();
}

void GuiProbe::onTick()
{
    const qint64 gapNs = sinceLastTick.nsecsElapsed();
    sinceLastTick.start();
    const qint64 cpuNs = threadCpuNs();
    const qint64 busyNs = cpuNs - cpuAtLastTickNs;
    cpuAtLastTickNs = cpuNs;
    longestGapNs = std::max(longestGapNs, gapNs);
    if (gapNs >= reportedGap.count())
        qInfo().noquote() << u"bench: GUI gap %1 ms, %2 ms of it busy"_s
                                     .arg(double(gapNs) / 1e6, 0, 'f', 1)
                                     .arg(double(busyNs) / 1e6, 0, 'f', 1);
}

void GuiProbe::onUpdateFinished()
{
    if (!timer.isActive())
        return;
    onTick();
    timer.stop();
    const double milliseconds = double(longestGapNs) / 1e6;
    qInfo().noquote() << u"bench: longest GUI gap %1 ms"_s.arg(milliseconds, 0, 'f', 1);
}
