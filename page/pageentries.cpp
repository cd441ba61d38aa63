#include "pageentries.h"

#include "codepagefile.h"
#include "statusprefetch.h"
#include "systemerror.h"

bool isPageFile(const QString &name, const char *rawName)
{
    return name == pageFileName() || (name.startsWith(u'.') && isPageTemporaryName(rawName));
}

bool walkPageEntries(
    const QString &currentPath, const Listing &files, const PageServices &services,
    PageResult &result,
    const std::function<bool(const QString &name, const FileStatus &status)> &entry,
    QString &failure)
{
    // Where choosing the order looked every file up, nothing is left to look up ahead.
    StatusPrefetch folder(files.hasStatuses() ? nullptr : &files);
    if (const int error =
            services.folderFd >= 0 ? folder.open(services.folderFd) : folder.open(currentPath);
        error != 0) {
        failure = failureText({u"abrir la carpeta", currentPath, error});
        return false;
    }

    const qsizetype count = files.count();
    for (qsizetype i = 0; i < count; ++i) {
        if (services.progress && i % 4096 == 0)
            services.progress(i, count);
        if (services.cancelled && services.cancelled()) {
            result.outcome = PageResult::Cancelled;
            return false;
        }
        const QString name = files.name(i);
        result.listIndex = i;
        result.CurrentFile = currentPath + name;
        FileStatus status;
        int error = 0;
        const PageEntry taken = takePageEntry(
            files, i, name, [&](FileStatus &found) { return folder.status(i, name, found); },
            status, error);
        if (taken == PageEntry::LeftOut)
            continue;
        if (taken == PageEntry::Failed) {
            failure = failureText({u"leer el archivo", result.CurrentFile, error});
            return false;
        }
        if (!entry(name, status))
            return false;
    }
    if (services.progress)
        services.progress(count, count);
    return true;
}
