#include "backgroundmd5.h"

#include "sha256.h"

#include <QCryptographicHash>
#include <QThreadPool>

#include <condition_variable>
#include <deque>
#include <mutex>

struct BackgroundMd5::Shared
{
    explicit Shared(qsizetype maxQueuedBytes)
        : maxQueuedBytes(maxQueuedBytes)
    {}

    const qsizetype maxQueuedBytes;
    std::mutex mutex;
    std::condition_variable changed;
    std::deque<QByteArray> queue;
    qsizetype queuedBytes = 0;
    // A pool job is hashing; only it touches hash meanwhile.
    bool draining = false;
    QCryptographicHash hash{QCryptographicHash::Md5};
    bool withSha256 = false;
    Sha256 sha256;

    void addData(QByteArrayView block)
    {
        hash.addData(block);
        if (withSha256)
            sha256.add(block);
    }

    [[nodiscard]] bool idle() const { return !draining && queue.empty(); }
};

BackgroundMd5::BackgroundMd5(QThreadPool* pool, qsizetype maxQueuedBytes)
    : pool(pool ? pool : QThreadPool::globalInstance())
    , shared(std::make_shared<Shared>(maxQueuedBytes))
{
    Q_ASSERT(maxQueuedBytes > 0);
}

BackgroundMd5::~BackgroundMd5()
{
    // A running job holds its own reference and ends after the block in hand.
    const std::lock_guard lock(shared->mutex);
    shared->queue.clear();
    shared->queuedBytes = 0;
}

void BackgroundMd5::add(QByteArray block)
{
    if (block.isEmpty())
        return;
    if (mode == AtOnce) {
        // No job runs in this mode: the hash is ours.
        shared->addData(block);
        return;
    }
    std::unique_lock lock(shared->mutex);
    // Below the limit the queue takes any block, even one larger than the limit itself.
    shared->changed.wait(lock, [this] { return shared->queuedBytes < shared->maxQueuedBytes; });
    shared->queuedBytes += block.size();
    shared->queue.push_back(std::move(block));
    if (shared->draining)
        return;
    shared->draining = true;
    pool->start([job = shared] { drain(job); });
}

void BackgroundMd5::add(QByteArrayView block)
{
    if (mode == AtOnce)
        shared->addData(block);
    else
        add(block.toByteArray());
}

void BackgroundMd5::drain(const std::shared_ptr<Shared>& shared)
{
    std::unique_lock lock(shared->mutex);
    while (!shared->queue.empty()) {
        const QByteArray block = std::move(shared->queue.front());
        shared->queue.pop_front();
        shared->queuedBytes -= block.size();
        shared->changed.notify_all();
        lock.unlock();
        shared->addData(block);
        lock.lock();
    }
    shared->draining = false;
    shared->changed.notify_all();
}

QByteArray BackgroundMd5::hexResult()
{
    std::unique_lock lock(shared->mutex);
    shared->changed.wait(lock, [this] { return shared->idle(); });
    return shared->hash.result().toHex();
}

QByteArray BackgroundMd5::hexSha256Result()
{
    std::unique_lock lock(shared->mutex);
    shared->changed.wait(lock, [this] { return shared->idle(); });
    return shared->withSha256 ? shared->sha256.hexResult() : QByteArray();
}

void BackgroundMd5::reset(Mode newMode, bool withSha256)
{
    mode = newMode;
    std::unique_lock lock(shared->mutex);
    shared->queue.clear();
    shared->queuedBytes = 0;
    shared->changed.wait(lock, [this] { return shared->idle(); });
    shared->hash.reset();
    shared->sha256.reset();
    shared->withSha256 = withSha256;
}
