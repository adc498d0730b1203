#pragma once

#include <QByteArray>
#include <QByteArrayView>

#include <memory>

class QThreadPool;

// The MD5 digest of a stream of blocks, taken on the thread pool while the caller goes on
// receiving: a download hashes its bytes as they arrive without the hashing holding up the
// thread that receives them. Blocks are hashed in the order they were added. At most
// maxQueuedBytes wait at any time; add() waits for the hasher beyond that, so memory stays
// bounded however fast the bytes come. A short stream is better hashed at once: the hop to the
// pool and back would cost more than the hashing. When asked, it takes the SHA-256 digest of the
// same blocks beside the MD5 one. Used from one thread.
class BackgroundMd5
{
public:
    static constexpr qsizetype defaultMaxQueuedBytes = 1024 * 1024;
    enum Mode { OnPool, AtOnce };

    explicit BackgroundMd5(QThreadPool* pool = nullptr,
                           qsizetype maxQueuedBytes = defaultMaxQueuedBytes);
    // Does not wait: blocks not yet hashed are dropped.
    ~BackgroundMd5();
    BackgroundMd5(const BackgroundMd5&) = delete;
    BackgroundMd5& operator=(const BackgroundMd5&) = delete;

    void add(QByteArray block);
    // Copies the block only when it has to wait for the pool.
    void add(QByteArrayView block);
    // Waits for the blocks still queued; the lower-case hex digest of every block added since
    // construction or the last reset().
    [[nodiscard]] QByteArray hexResult();
    // The same for SHA-256; empty unless the stream was started withSha256.
    [[nodiscard]] QByteArray hexSha256Result();
    // Starts a new stream, hashed as mode says; waits for the block being hashed.
    void reset(Mode mode = OnPool, bool withSha256 = false);

private:
    struct Shared;
    static void drain(const std::shared_ptr<Shared>& shared);

    QThreadPool* pool;
    std::shared_ptr<Shared> shared;
    Mode mode = OnPool;
};
