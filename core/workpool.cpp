// The update's thread pools and the two ways a computation gets helper threads.
#include "workpool.h"

#include <QGlobalStatic>
#include <QThreadPool>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace {

Q_GLOBAL_STATIC(QThreadPool, thePool)

struct OneThreadPool : QThreadPool
{
    OneThreadPool() { setMaxThreadCount(1); }
};
Q_GLOBAL_STATIC(OneThreadPool, theLargeApplies)

// A maker asks for as many threads as the release tool was given; the tool runs several.
constexpr int maxHelpers = 64;
struct HelperPool : QThreadPool
{
    HelperPool() { setMaxThreadCount(maxHelpers); }
};
Q_GLOBAL_STATIC(HelperPool, theHelpers)

// What the caller of forEach and its helpers share; a helper holds it until it returns, which
// may be after forEach did.
struct Shared
{
    std::function<void(qsizetype)> work;
    qsizetype count = 0;
    std::atomic<qsizetype> next{0};
    std::atomic<qsizetype> done{0};
    std::mutex mutex;
    std::condition_variable idle;
    int working = 0;     // helpers inside their loop
    bool closed = false; // the caller found nothing left: helpers starting now do nothing

    // Does one item; false when none is left.
    bool doNext()
    {
        const qsizetype i = next++;
        if (i >= count)
            return false;
        work(i);
        ++done;
        return true;
    }
};

void help(const std::shared_ptr<Shared>& shared)
{
    {
        const std::lock_guard lock(shared->mutex);
        if (shared->closed)
            return;
        ++shared->working;
    }
    while (shared->doNext()) {
    }
    const std::lock_guard lock(shared->mutex);
    if (--shared->working == 0)
        shared->idle.notify_all();
}

} // namespace

QThreadPool* WorkPool::instance()
{
    return thePool();
}

QThreadPool* WorkPool::largeApplies()
{
    return theLargeApplies();
}

QThreadPool* WorkPool::helpers()
{
    return theHelpers();
}

void WorkPool::forEach(QThreadPool* pool, qsizetype count, int threads,
                       const std::function<void(qsizetype)>& work,
                       const std::function<void(qsizetype)>& afterOwn)
{
    const auto shared = std::make_shared<Shared>();
    shared->work = work;
    shared->count = count;
    const qsizetype helpers = std::min<qsizetype>(threads, count) - 1;
    for (qsizetype i = 0; i < helpers; ++i)
        pool->start([shared] { help(shared); });
    while (shared->doNext())
        if (afterOwn)
            afterOwn(shared->done);
    std::unique_lock lock(shared->mutex);
    shared->closed = true;
    shared->idle.wait(lock, [&] { return shared->working == 0; });
}

struct WorkPool::Companion::Thread
{
    std::thread thread;
};

WorkPool::Companion::Companion(std::function<void()> work)
    : thread(std::make_unique<Thread>(Thread{std::thread(std::move(work))}))
{}

WorkPool::Companion::~Companion()
{
    join();
}

void WorkPool::Companion::join()
{
    if (thread->thread.joinable())
        thread->thread.join();
}
