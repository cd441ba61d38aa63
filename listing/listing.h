#pragma once

#include "filesystem.h"
#include "selection.h"

#include <QByteArray>
#include <QLocale>
#include <QString>

#include <memory>
#include <optional>
#include <vector>

// The entries of one kind in a folder as read at one moment, chosen and ordered by a selection:
// what every writer takes. Names stay raw bytes; an entry's status is kept where the order
// needed it, so it is never looked up twice. Copies share what was read.
class Listing
{
public:
    Listing();

    // Reads the folder once. Returns 0 or an errno value; on failure the listing is empty.
    int read(int folderFd, EntryKind kind, const Selection &selection = {},
             const QLocale &locale = QLocale());
    int read(const QString &folder, EntryKind kind, const Selection &selection = {},
             const QLocale &locale = QLocale());
    // The folder's files and its folders, from one read of it.
    static int readFolder(int folderFd, const Selection &selection, const QLocale &locale,
                          Listing &files, Listing &folders);
    // Whether both are copies of one read.
    bool sameRead(const Listing &other) const { return m_data == other.m_data; }

    qsizetype count() const;
    const char *rawName(qsizetype i) const;
    QString name(qsizetype i) const;
    // The entry's size and time where choosing the order looked them up, else null.
    const FileStatus *status(qsizetype i) const;
    bool hasStatuses() const;
    // The temporary names that name their process (namesItsProcess()), whether chosen or not:
    // those of a run that died are for the next one to remove.
    const std::vector<QByteArray> &temporaries() const;
    // The same entries newest first by a time each may have (when a photo was taken, which the
    // listing cannot know), else by their file's time; ties by file time, then name. For a
    // listing read with Sort::Taken, which orders by file time until then.
    Listing orderedByTime(const std::vector<std::optional<qint64>> &times, bool reverse) const;

private:
    struct Data;

    void choose(int folderFd, NameBlock &names, const Selection &selection, const QLocale &locale,
                bool sorted = false);
    static void orderByStatus(int folderFd, Data &data, Selection::Sort sort, bool reverse);

    std::shared_ptr<const Data> m_data;
};
