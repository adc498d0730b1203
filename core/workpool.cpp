#include "workpool.h"

#include <QGlobalStatic>
#include <QThreadPool>

namespace {
Q_GLOBAL_STATIC(QThreadPool, thePool)
}

QThreadPool* WorkPool::instance()
{
    return thePool();
}
