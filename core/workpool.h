#pragma once

#include <QtGlobal>

#include <functional>
#include <memory>

class QThreadPool;

// Where the update's own threads come from, decided here alone. Apart from Qt's global pool,
// which Qt's painting splits its work onto and waits for on the GUI thread: a long body there
// would hold the window up until it ended.
class WorkPool
{
public:
    // File bodies and hashing, a thread per core.
    [[nodiscard]] static QThreadPool* instance();
    // One thread: applies of large patches wait here in turn, not on a thread of instance(),
    // so that hashing and the other bodies go on meanwhile.
    [[nodiscard]] static QThreadPool* largeApplies();
    // Threads for the helpers of a computation that asks for a number of them (the release
    // tool's patch maker), apart from instance().
    [[nodiscard]] static QThreadPool* helpers();

    // Calls work(i) for every i below count, on the calling thread and up to threads - 1 helpers
    // from pool at once, and returns once every call has returned. The caller takes items as
    // well, so that all are done even when the pool has no thread free: a helper that starts
    // after the last item was taken returns at once, and the caller never waits for one that
    // has not started. afterOwn, if set, is called on the calling thread after each item it did,
    // with the number of items done so far by all.
    static void forEach(QThreadPool* pool, qsizetype count, int threads,
                        const std::function<void(qsizetype)>& work,
                        const std::function<void(qsizetype)>& afterOwn = {});

    // A function that runs on a thread of its own beside its caller, started at once, never
    // queued: for work the caller hands over while it goes on and must be able to count on.
    // The destructor waits for the function to return.
    class Companion
    {
    public:
        explicit Companion(std::function<void()> work);
        ~Companion();
        Companion(const Companion&) = delete;
        Companion& operator=(const Companion&) = delete;

        // Waits for the function to return; once is enough.
        void join();

    private:
        struct Thread;
        std::unique_ptr<Thread> thread;
    };
};
