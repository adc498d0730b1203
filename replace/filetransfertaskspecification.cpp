#include "filetransfertaskspecification.h"

#include "filetransferfunc.h"

using namespace Qt::StringLiterals;

namespace {

QString failureText(FileTransferTaskSpecification::Transfer transfer)
{
    return transfer == FileTransferTaskSpecification::Transfer::Unzip
                   ? u"Could not unzip '%1' to '%2'"_s
                   : u"Could not copy '%1' to '%2'"_s;
}

} // namespace

FileTransferTaskSpecification::FileTransferTaskSpecification(
        const QString& source, const QString& target, QObject* parent, double parentProgressRange,
        std::optional<QFileDevice::Permissions> mode, Transfer transfer, Placement placement)
    : SlowFileOpSpecification(failureText(transfer).arg(source, target), source, target, parent,
                              parentProgressRange, placement)
    , mode(mode)
    , transfer(transfer)
{}

void FileTransferTaskSpecification::execute()
{
    if (!transferAtOnce()) {
        ASyncTaskSpecification::execute();
        return;
    }
    setRunning();
    runDone({});
}

bool FileTransferTaskSpecification::transferAtOnce()
{
    switch (transfer) {
    case Transfer::Copy:
    case Transfer::Unzip:
        return false;
    case Transfer::MoveWhenPossible:
        return FileTransferFunc::moveFile(source, target, mode, placement);
    case Transfer::LinkWhenPossible:
        return placement == Placement::NewName && FileTransferFunc::linkFile(source, target);
    }
    return false;
}

std::unique_ptr<ASyncFunc> FileTransferTaskSpecification::createFunction()
{
    // A move or link, if allowed, has been tried and has failed in execute().
    const auto content = transfer == Transfer::Unzip ? FileTransferFunc::Content::Gzip
                                                     : FileTransferFunc::Content::Plain;
    return std::make_unique<FileTransferFunc>(source, target, content, mode, placement);
}
