#include "folderlisting.h"

#include "filenames.h"
#include "folderorder.h"
#include "systemerror.h"

#include <vector>

#ifdef __GLIBC__
#include <malloc.h>
#endif

int FolderListing::read(const QString &folder, EntryKind kind, const QLocale &locale)
{
    NameBlock names;
    const int error = scanFolder(folder, kind, names);
    assign(std::move(names), locale);
    return error;
}

void FolderListing::assign(NameBlock &&names, const QLocale &locale)
{
    m_names = std::move(names);
    if (m_names.size() <= 1)
        return;
    // Blocks of megabytes given up while the names grew, then by the sort, are free but still
    // resident where they lie below blocks in use; the sort, then the names in order, would come
    // on top of them. A small folder leaves nothing worth a walk over every arena, which a tree's
    // folders read on all the cores would take turns at.
    const bool large = m_names.bytes() >= largeFolderBytes;
    const auto giveBack = [large] {
#ifdef __GLIBC__
        if (large)
            ::malloc_trim(0);
#endif
    };
    giveBack();
    const std::vector<std::size_t> order = sortedOrder(m_names, locale);
    giveBack();
    m_names.reorder(order);
}

QString FolderListing::name(qsizetype i) const
{
    return decodeFileName(
        QByteArrayView(m_names.at(std::size_t(i)), m_names.length(std::size_t(i))));
}

QString folderReadError(const QString &folder, int error)
{
    return failureText({u"leer la carpeta", folder, error});
}
