#include "listingrun.h"

#include "appinfo.h"
#include "catalogwriter.h"
#include "entrytags.h"
#include "filedescriptor.h"
#include "filenames.h"
#include "filereplacement.h"
#include "folderargument.h"
#include "folderlisting.h"
#include "foldertree.h"
#include "jsonwriter.h"
#include "localetext.h"
#include "progressline.h"
#include "systemerror.h"
#include "treedates.h"
#include "treeentries.h"

#include <QDateTime>
#include <QElapsedTimer>

#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

namespace {

// Where a file's bytes go: all of them, and those that change on every run.
using FileWriter = std::function<bool(const ByteSink &sink, const ByteSink &varying)>;

// Writes `write`'s bytes into the file at `path` the safe way; returns 0 or an error value. With
// `update`, an old file equal but for the varying bytes is left, and `left` says so.
int replaceFile(const char *path, const FileWriter &write, bool update, bool &left)
{
    const QByteArray whole(path);
    const qsizetype slash = whole.lastIndexOf('/');
    const QByteArray folder =
        slash < 0 ? QByteArray(".") : (slash == 0 ? QByteArray("/") : whole.left(slash));
    const QByteArray name = whole.mid(slash + 1);
    FileReplacement file;
    if (name.isEmpty())
        return file.refuse(ErrorNotRegularFile) ? 0 : ErrorNotRegularFile;
    const FileDescriptor folderFd(::open(folder.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!folderFd.isOpen())
        return errno;
    ReplacementOptions options;
    options.keepEqual = update;
    if (!file.open(folderFd.get(), name, options))
        return file.error();
    if (!write([&file](std::string_view bytes) { return file.write(bytes); },
               [&file](std::string_view bytes) { return file.writeVarying(bytes); })) {
        const int error = file.error() != 0 ? file.error() : EIO;
        file.discard();
        return error;
    }
    if (!file.commit())
        return file.error();
    left = file.left();
    return 0;
}

// With --update, what became of a file.
void reportFile(const char *path, bool left, const std::function<void(const QString &)> &print)
{
    print(QStringLiteral("«%1» %2.")
              .arg(readableFileName(decodeFileName(path)),
                   left ? QStringLiteral("sin cambios") : QStringLiteral("escrito")));
}

QString notWritten(const char *file)
{
    return QStringLiteral("No se pudo escribir «%1»: faltaría una carpeta que no se pudo leer.")
        .arg(readableFileName(decodeFileName(file)));
}

} // namespace

int writeListings(const CommandLine &commandLine, const LocaleText &locale,
                  const std::function<void(const QString &)> &printError)
{
    int status = 0;
    const QDateTime made = QDateTime::currentDateTimeUtc();
    // A catalogue is of the whole tree; a listing alone, of the folder unless -r.
    const int maxDepth = commandLine.catalog || commandLine.recursive ? commandLine.maxDepth : 0;
    std::vector<std::unique_ptr<FolderTree>> trees;
    std::vector<TreeEntries> entries;
    // A file of all the trees without one of them would lose what the old file held of it.
    bool treeMissing = false;
    for (const char *argument : commandLine.folders) {
        const FolderArgument folder = resolveFolder(argument);
        if (!folder.error.isEmpty()) {
            printError(folder.error);
            status = 1;
            treeMissing = true;
            continue;
        }
        ProgressLine progress(readableFileName(folder.path).toLocal8Bit(), stderr,
                              takesEscapeCodes(STDERR_FILENO));
        QElapsedTimer timer;
        timer.start();
        auto tree = std::make_unique<FolderTree>();
        if (const int error =
                tree->read(folder.path, commandLine.selection, locale.locale(), maxDepth);
            error != 0) {
            printError(folderReadError(folder.path, error));
            status = 1;
            treeMissing = true;
            continue;
        }
        const auto total = qsizetype(tree->folders().size());
        entries.push_back(lookUpEntries(*tree, [&](qsizetype done, qint64 files) {
            progress.updateTree(done, total, files, timer.elapsed());
        }));
        if (commandLine.tags && commandLine.json)
            readEntryTags(entries.back());
        progress.clear();
        const bool taken = commandLine.selection.sort == Selection::Sort::Taken;
        if ((commandLine.json || commandLine.catalog) && (commandLine.page.images || taken))
            readTakenDates(entries.back(), taken, commandLine.selection.reverse);
        for (std::size_t i = 0; i < tree->folders().size(); ++i) {
            const TreeFolder &read = tree->folders()[i];
            const FolderEntries &looked = entries.back().folders[i];
            if (looked.error != 0) {
                printError(folderReadError(read.path, looked.error));
                status = 1;
            }
            const auto report = [&](const Listing &names, const std::vector<EntryStatus> &all,
                                    bool folders) {
                for (std::size_t j = 0; j < all.size(); ++j) {
                    if (all[j].error == 0)
                        continue;
                    const QString path = read.path + decodeFileName(names.rawName(qsizetype(j)));
                    // A folder is named as the tree names its folders, with its "/".
                    printError(folders ? folderReadError(path + u'/', all[j].error)
                                       : failureText({u"leer el archivo", path, all[j].error}));
                    status = 1;
                }
            };
            report(read.files, looked.files, false);
            report(read.folderEntries, looked.folders, true);
        }
        trees.push_back(std::move(tree));
    }

    if (commandLine.json) {
        const auto writeAll = [&entries](const ByteSink &sink, const ByteSink & = {}) {
            for (const TreeEntries &tree : entries) {
                if (!writeJsonLines(tree, sink))
                    return false;
            }
            return true;
        };
        bool left = false;
        if (treeMissing && std::strcmp(commandLine.json, "-") != 0) {
            printError(notWritten(commandLine.json));
        } else if (std::strcmp(commandLine.json, "-") == 0) {
            // Failures of standard output are told once at the end, as for the pages.
            writeAll([](std::string_view bytes) {
                return std::fwrite(bytes.data(), 1, bytes.size(), stdout) == bytes.size();
            });
        } else if (const int error =
                       replaceFile(commandLine.json, writeAll, commandLine.update, left);
                   error != 0) {
            const QString path = decodeFileName(commandLine.json);
            printError(failureText({u"escribir", path, error}));
            status = 1;
        } else if (commandLine.update) {
            reportFile(commandLine.json, left, printError);
        }
    }
    if (commandLine.catalog && treeMissing) {
        printError(notWritten(commandLine.catalog));
    } else if (commandLine.catalog) {
        std::vector<const TreeEntries *> catalogued;
        for (const TreeEntries &tree : entries)
            catalogued.push_back(&tree);
        const CatalogInfo info{made, QStringLiteral("folimbra-index ") + AppInfo::versionText()};
        bool left = false;
        if (const int error = replaceFile(
                commandLine.catalog,
                [&](const ByteSink &sink, const ByteSink &varying) {
                    return writeCatalog(catalogued, info, sink, varying);
                },
                commandLine.update, left);
            error != 0) {
            const QString path = decodeFileName(commandLine.catalog);
            printError(failureText({u"escribir", path, error}));
            status = 1;
        } else if (commandLine.update) {
            reportFile(commandLine.catalog, left, printError);
        }
    }
    return status;
}
