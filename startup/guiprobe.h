#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

class UpdateEngine;

// Built only into update-probes (SONAVELLE_BENCH_PROBES), never into the shipped updater: scripts/
// bench reads how long the window could not answer during an update. A 5 ms timer runs on the GUI
// thread from "Starting update process" on. A gap of 50 ms or more between two of its runs is
// logged as it ends ("bench: GUI gap <ms> ms, <ms> ms of it busy"), so that the lines before it
// show what held the thread; when the update finished, the longest goes to the log as
// "bench: longest GUI gap <ms> ms".
class GuiProbe : public QObject
{
    Q_OBJECT

public:
    explicit GuiProbe(UpdateEngine* engine);

private:
    void onMessage(const QString& text);
    void onTick();
    void onUpdateFinished();

    QTimer timer;
    QElapsedTimer sinceLastTick;
    qint64 longestGapNs = 0;
    qint64 cpuAtLastTickNs = 0;
};
