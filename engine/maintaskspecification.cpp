#include "maintaskspecification.h"

#include "channelstatement.h"
#include "downloadfilelisttaskspecification.h"
#include "filedeletelisttaskspecification.h"
#include "filereplacelisttaskspecification.h"
#include "inidownloadtaskspecification.h"
#include "makedownloadreplacelisttaskspecification.h"
#include "mirrors.h"

using namespace Qt::StringLiterals;

namespace {

// Shares of the whole update.
constexpr double iniDownloadWeight = 0.1;
constexpr double listWeight = 0.05;
constexpr double downloadWeight = 0.4;
constexpr double replaceWeight = 0.4;
constexpr double deleteWeight = 0.05;

} // namespace

MainTaskSpecification::MainTaskSpecification(QNetworkAccessManager* manager, Mirrors* mirrors,
                                             RunContext context, QObject* parent,
                                             double parentProgressRange)
    : ComposedTaskSpecification(1, parentProgressRange, parent)
    , manager(manager)
    , mirrors(mirrors)
    , context(std::move(context))
{}

void MainTaskSpecification::execute()
{
    emit message(u"Starting update process"_s);
    makeSubtasksAndStart();
}

void MainTaskSpecification::reset()
{
    checkedManifest = ReleaseManifest();
    newerRelease = NewerRelease();
    lists.clear();
    deletions.clear();
    resetWithoutSubTasks();
}

void MainTaskSpecification::makeSubtasksAndStart()
{
    addSubTasksOnDemand(StageCount, [this](qsizetype stage) { return makeStage(stage); });
    setRunning();
    executeSubTasks();
}

template<typename StageTask, typename Take>
StageTask* MainTaskSpecification::onFinished(StageTask* stage, Take take)
{
    // Connected before the parent's own handler, which lets the stage go.
    connect(stage, &TaskSpecification::finished, this, [stage, take] { take(*stage); });
    return stage;
}

int MainTaskSpecification::downloadsAtOnce() const
{
    // Without a "streams" key, the HTTP/2 mirrors' streams come on top of the HTTP/1.1 ones.
    return context.settings.streams + mirrors->ownStreamSlots();
}

TaskSpecification* MainTaskSpecification::makeStage(qsizetype stage)
{
    switch (Stage(stage)) {
    case ProductIni:
        return onFinished(new IniDownloadTaskSpecification(manager, mirrors, context, this,
                                                           iniDownloadWeight),
                          [this](const IniDownloadTaskSpecification& done) {
                              checkedManifest = done.manifest();
                              newerRelease = done.newerRelease();
                          });
    case Lists: {
        std::optional<ReleaseManifest> manifest;
        if (checkedManifest.version() != 0)
            manifest = checkedManifest;
        std::optional<NewerRelease> newer;
        if (newerRelease.manifest.version() != 0)
            newer = newerRelease;
        return onFinished(new MakeDownloadReplaceListTaskSpecification(
                                  context, std::move(manifest), this, listWeight, std::move(newer)),
                          [this](const MakeDownloadReplaceListTaskSpecification& done) {
                              lists = done.result();
                          });
    }
    case Downloads:
        return new DownloadFileListTaskSpecification(lists.downloadList, manager, mirrors,
                                                     context.session, context.installation,
                                                     downloadsAtOnce(), this, downloadWeight);
    case Replacement:
        return onFinished(
                new FileReplaceListTaskSpecification(lists.replaceList, lists.deleteList,
                                                     context.session, context.installation, this,
                                                     replaceWeight, installing(), probationFrom()),
                [this](const FileReplaceListTaskSpecification& done) {
                    deletions = done.deletions();
                });
    case Deletion:
    case StageCount:
        break;
    }
    // On probation the deletions wait for the new version's first start.
    return new FileDeleteListTaskSpecification(probationFrom().isRecorded() ? QStringList()
                                                                            : deletions,
                                               context.installation, this, deleteWeight);
}

InstalledRelease MainTaskSpecification::installing() const
{
    return {context.launch.clientVersion, ChannelStatement::channelName(context.launch.channel),
            checkedManifest.released()};
}

InstalledRelease MainTaskSpecification::probationFrom() const
{
    // Only where there is a version to go back to, and only when the run changes the version. A
    // pull-back never goes back to the version it leaves: that one was withdrawn on purpose.
    const InstalledRelease& previous = context.previous;
    if (context.settings.probation.count() == 0 || !previous.isRecorded() ||
        previous.version == context.launch.clientVersion || context.launch.goingBackFrom != 0)
        return {};
    return previous;
}
