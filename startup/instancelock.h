#pragma once

#include <QString>

// Keeps a second updater off an installation: an exclusive lock on a file in the application
// root, held for the life of the process. The kernel lets go of it when the process ends, however
// it ends, so a killed updater never blocks the next one. The file itself stays.
class InstanceLock
{
public:
    enum class Result { Acquired, HeldByAnother, Failed };

    // ".update.lock", beside the journal.
    [[nodiscard]] static QString fileName();

    explicit InstanceLock(QString path);
    ~InstanceLock();
    InstanceLock(const InstanceLock&) = delete;
    InstanceLock& operator=(const InstanceLock&) = delete;

    // Takes the lock without waiting. Failed means it cannot be had at all (errorString says
    // why), which is no reason to run without it.
    [[nodiscard]] Result acquire();
    [[nodiscard]] const QString& errorString() const { return error; }

private:
    const QString path;
    int fd = -1;
    QString error;
};
