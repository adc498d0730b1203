#pragma once

#include <QByteArray>
#include <QMap>
#include <QString>
#include <QTest>

// What a directory tree holds: for every entry below the root, by its path relative to the
// root, the kind of entry, its permission bits and, for a file, the MD5 of its content.
// Symbolic links are recorded as links with their target and never followed. Snapshots compare
// equal when the trees are the same byte for byte; diff() lists where they differ.
//
//     const TreeSnapshot before = TreeSnapshot::take(root);
//     ... run something that must leave root as it was ...
//     COMPARE_TREES(TreeSnapshot::take(root), before);
//
// An expected tree is written as edits of an earlier snapshot:
//
//     TreeSnapshot expected = before;
//     expected.rename(u"lib/a.so"_s, u"lib/_old_a.so"_s);
//     expected.addFile(u"lib/a.so"_s, newContent, 0755);
class TreeSnapshot
{
public:
    enum class Kind { File, Dir, SymLink, Other };

    struct Entry
    {
        Kind kind = Kind::Other;
        uint mode = 0;      // permission bits, as in 0644
        QByteArray md5;     // hex; files only
        QString linkTarget; // as stored in the link; links only

        bool operator==(const Entry&) const = default;
    };

    // A missing root gives an empty snapshot.
    [[nodiscard]] static TreeSnapshot take(const QString& root);

    void addFile(const QString& path, const QByteArray& content, uint mode);
    void addDir(const QString& path, uint mode = 0755);
    // Moves the entry at from, and everything below it, to to.
    void rename(const QString& from, const QString& to);
    // Drops the entry at path and everything below it.
    void remove(const QString& path);

    [[nodiscard]] const QMap<QString, Entry>& entries() const { return tree; }
    bool operator==(const TreeSnapshot&) const = default;

    // One line per path that differs, empty when the snapshots are equal.
    [[nodiscard]] static QString diff(const TreeSnapshot& actual, const TreeSnapshot& expected);
    [[nodiscard]] static QString describe(const Entry& entry);
    // The permission bits that a file or directory created now with default permissions gets
    // (0666 or 0777 less the umask).
    [[nodiscard]] static uint newFileMode();
    [[nodiscard]] static uint newDirMode();

private:
    QMap<QString, Entry> tree;
};

// Compares two snapshots and prints the differences when they are not equal.
#define COMPARE_TREES(actual, expected)                                                            \
    do {                                                                                           \
        const QString treeDifferences_ = TreeSnapshot::diff((actual), (expected));                 \
        QVERIFY2(treeDifferences_.isEmpty(), qPrintable(treeDifferences_));                        \
    } while (false)
