// The old file the patch fuzz target applies every input to, shared by the seed check and the
// seed writer.
#pragma once

#include <QByteArray>
#include <QRandomGenerator>

// As fuzz/patch.cpp makes it: half seeded bytes, half text.
inline QByteArray fuzzPatchOldFile()
{
    QByteArray old(32 * 1024, Qt::Uninitialized);
    QRandomGenerator(7).fillRange(reinterpret_cast<quint32*>(old.data()), old.size() / 4);
    old.append(QByteArray("the quick brown fox jumps over the lazy dog. ")
                       .repeated(745)
                       .left(32 * 1024));
    return old;
}
