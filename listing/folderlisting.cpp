#include "folderlisting.h"

#include "collation.h"
#include "filenames.h"
#include "systemerror.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace {

struct SortRecord
{
    quint64 prefix; // the key's first eight bytes, big-endian: most comparisons end here
    std::size_t key;
    std::size_t index;
};

quint64 keyPrefix(const char *key)
{
    quint64 prefix = 0;
    int i = 0;
    for (; i < 8 && key[i] != '\0'; ++i)
        prefix = (prefix << 8) | quint8(key[i]);
    return prefix << (8 * (8 - i));
}

std::vector<std::size_t> sortedOrder(const NameBlock &names, const QLocale &locale)
{
    const NameCollator collator(locale);
    std::string keys;
    std::vector<SortRecord> records;
    records.reserve(names.size());
    for (std::size_t i = 0; i < names.size(); ++i) {
        const std::size_t at = keys.size();
        collator.appendSortKey(decodeFileName(QByteArrayView(names.at(i), names.length(i))), keys);
        records.push_back({0, at, i});
    }
    for (SortRecord &record : records)
        record.prefix = keyPrefix(keys.data() + record.key);

    std::sort(records.begin(), records.end(), [&](const SortRecord &a, const SortRecord &b) {
        if (a.prefix != b.prefix)
            return a.prefix < b.prefix;
        if (const int byKey = std::strcmp(keys.data() + a.key, keys.data() + b.key); byKey != 0)
            return byKey < 0;
        return std::strcmp(names.at(a.index), names.at(b.index)) < 0;
    });

    std::vector<std::size_t> order;
    order.reserve(records.size());
    for (const SortRecord &record : records)
        order.push_back(record.index);
    return order;
}

} // namespace

int FolderListing::read(const QString &folder, EntryKind kind, const QLocale &locale)
{
    const int error = scanFolder(folder, kind, m_names);
    if (error == 0 && m_names.size() > 1)
        m_names.reorder(sortedOrder(m_names, locale));
    return error;
}

QString FolderListing::name(qsizetype i) const
{
    return decodeFileName(
        QByteArrayView(m_names.at(std::size_t(i)), m_names.length(std::size_t(i))));
}

QString folderReadError(const QString &folder, int error)
{
    return failureText(u"leer la carpeta", folder, error);
}

FolderFileList::FolderFileList(const QString &folder, const QLocale &locale)
    : m_folder(folder)
    , m_locale(locale)
{}

bool FolderFileList::Refresh(QString *error)
{
    m_index = -1;
    const int code = m_listing.read(m_folder, EntryKind::Files, m_locale);
    if (code != 0 && error)
        *error = folderReadError(m_folder, code);
    return code == 0;
}

QString FolderFileList::FileName() const
{
    return m_index >= 0 && m_index < m_listing.count() ? m_listing.name(m_index) : QString();
}
