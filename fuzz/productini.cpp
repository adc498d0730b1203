// The list building from a product ini: the input is the ini, written where a run keeps it, read
// against a small installation and a temporary directory with an earlier download in it. Besides
// crashes it catches lists that name a path outside the application root or the temporary
// directory, and progress that runs backwards or past the end.

#include "fuzzsupport.h"
#include "productinireader.h"

#include <QCoreApplication>
#include <QDir>

#include <algorithm>

using namespace Qt::StringLiterals;
using FuzzSupport::check;

namespace {

const QString clientType = u"client_linux_amd64"_s;

struct Installation
{
    QString appRoot;
    QString tempDir;
    QString iniPath;
};

void makeFile(const QString& path, const QByteArray& content)
{
    if (!QDir().mkpath(path.section(u'/', 0, -2)))
        FuzzSupport::harnessFailure("cannot create a directory of the installation");
    FuzzSupport::writeInput(path, content);
}

// Files whose MD5 sums the seeds name, so that the "current" and "already downloaded" branches
// are reached: "hello\n" is b1946ac92492d2347c6235b4d2611184, "voice"
// b95677216e439d96ec4fba1240a3c1f8.
const Installation& installation()
{
    static const Installation made = [] {
        const QString base = FuzzSupport::scratchDir();
        Installation result{base + u"/root"_s, base + u"/temp"_s, {}};
        result.iniPath = result.tempDir + u'/' + clientType + u".ini"_s;
        makeFile(result.appRoot + u"/vq3client_runscript.sh"_s, "hello\n");
        makeFile(result.appRoot + u"/lib/libvoice.so"_s, "voice");
        makeFile(result.appRoot + u"/old/obsolete.txt"_s, "obsolete");
        makeFile(result.tempDir + u"/lib/libvoice.so.gz"_s, "voice");
        makeFile(result.tempDir + u"/bin/tool"_s, "voice");
        return result;
    }();
    return made;
}

// dir itself or below it once "." and ".." are resolved. A name that resolves to the directory
// itself ("." or "a/..") only fails later, harmlessly: a directory is neither deleted nor renamed.
bool staysInside(const QString& dir, const QString& relative)
{
    const QString resolved = QDir::cleanPath(dir + u'/' + relative);
    return resolved == dir || resolved.startsWith(dir + u'/');
}

void checkLists(const FileSpecifications& lists, const Installation& where)
{
    for (const FileDownloadSpecification& download : lists.downloadList) {
        check(staysInside(where.tempDir, download.fileName),
              "a download is stored outside the temporary directory");
        check(!download.sourceDir.isEmpty() && !QDir::isAbsolutePath(download.sourceDir),
              "a download comes from outside the mirror's directory");
        const bool replaced = std::any_of(lists.replaceList.begin(), lists.replaceList.end(),
                                          [&](const auto& replace) {
                                              return replace.sourceDir == download.sourceDir &&
                                                     replace.fileName == download.fileName;
                                          });
        check(replaced, "a download has no replace entry");
    }
    for (const FileReplaceSpecification& replace : lists.replaceList) {
        check(staysInside(where.appRoot, replace.pureDestFilePath()),
              "a file is installed outside the application root");
        check(staysInside(where.appRoot, replace.oldDestFileName()),
              "a backup lies outside the application root");
        check(staysInside(where.tempDir, replace.fileName),
              "a file is installed from outside the temporary directory");
    }
    for (const QString& name : lists.deleteList)
        check(staysInside(where.appRoot, name), "a file outside the application root is deleted");
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/)
{
    FuzzSupport::application<QCoreApplication>();
    installation();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const Installation& where = installation();
    FuzzSupport::writeInput(where.iniPath, FuzzSupport::bytes(data, size));

    ProductIniReader reader(clientType, SessionLayout(where.tempDir),
                            InstallationLayout(where.appRoot));
    qreal lastFraction = 0;
    reader.setProgressSink([&lastFraction](qreal fraction) {
        check(fraction > lastFraction && fraction <= 1.0, "progress runs backwards or past 1");
        lastFraction = fraction;
    });
    reader.setMessageSink(
            [](const QString& message) { check(!message.isEmpty(), "an empty log line"); });

    FileSpecifications lists;
    lists.deleteList.append(u"untouched"_s);
    if (reader.read(lists)) {
        check(lastFraction == 1.0, "progress ends short of 1");
        checkLists(lists, where);
    } else {
        check(lists.deleteList == QList<QString>{u"untouched"_s},
              "a failed read changed the lists");
    }
    return 0;
}
