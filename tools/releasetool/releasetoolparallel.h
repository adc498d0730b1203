#pragma once

#include <QMutex>
#include <QString>
#include <QThreadPool>
#include <QtConcurrent>

#include <atomic>
#include <numeric>
#include <vector>

// Runs work(index) for every index below count on up to threads threads. work returns what went
// wrong, or an empty text. After a failure no further index is started; of several failures the
// lowest index's is returned, whatever order the threads took, so the report does not depend on
// timing. Empty when every index passed.
template<typename Work>
QString releaseToolFirstFailure(int threads, qsizetype count, Work work)
{
    QThreadPool pool;
    pool.setMaxThreadCount(threads);
    std::vector<qsizetype> indexes(static_cast<size_t>(count));
    std::iota(indexes.begin(), indexes.end(), 0);
    std::atomic<bool> failed{false};
    QMutex mutex;
    qsizetype failedIndex = count;
    QString error;
    QtConcurrent::blockingMap(&pool, indexes, [&](qsizetype index) {
        if (failed)
            return;
        const QString problem = work(index);
        if (problem.isEmpty())
            return;
        failed = true;
        const QMutexLocker lock(&mutex);
        if (index < failedIndex) {
            failedIndex = index;
            error = problem;
        }
    });
    return error;
}
