#pragma once

class QThreadPool;

// The thread pool of the update's own work: file bodies and hashing. Apart from Qt's global
// pool, which Qt's painting splits its work onto and waits for on the GUI thread: a long body
// there would hold the window up until it ended.
class WorkPool
{
public:
    [[nodiscard]] static QThreadPool* instance();
};
