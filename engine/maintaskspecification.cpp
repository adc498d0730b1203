#include "maintaskspecification.h"

#include "downloadfilelisttaskspecification.h"
#include "filedeletelisttaskspecification.h"
#include "filereplacelisttaskspecification.h"
#include "inidownloadtaskspecification.h"
#include "makedownloadreplacelisttaskspecification.h"

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
    fileSpecifications.clear();
    checkedManifest = ReleaseManifest();
    resetWithoutSubTasks();
}

void MainTaskSpecification::makeSubtasksAndStart()
{
    auto* ini =
            new IniDownloadTaskSpecification(manager, mirrors, context, this, iniDownloadWeight);
    connect(ini, &IniDownloadTaskSpecification::manifestChecked, this,
            [this](const ReleaseManifest& manifest) { checkedManifest = manifest; });
    addSubTask(ini);
    addSubTask(new MakeDownloadReplaceListTaskSpecification(context, fileSpecifications, this,
                                                            listWeight, &checkedManifest));
    addSubTask(new DownloadFileListTaskSpecification(
            &fileSpecifications.downloadList, manager, mirrors, context.session,
            context.settings.streams, this, downloadWeight));
    addSubTask(new FileReplaceListTaskSpecification(&fileSpecifications.replaceList,
                                                    &fileSpecifications.deleteList, context.session,
                                                    this, replaceWeight));
    addSubTask(new FileDeleteListTaskSpecification(&fileSpecifications.deleteList, this,
                                                   deleteWeight));
    setRunning();
    executeSubTasks();
}
