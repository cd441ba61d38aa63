#pragma once

#include "filesystem.h"

#include <QLocale>
#include <QString>

#include <memory>

// The entries of one kind in one folder, in the order a file manager shows them: by the locale's
// alphabet, ignoring case, numbers by value; names equal but for case stand in byte order. The
// names stay raw bytes, a million of them in a few tens of megabytes.
class FolderListing
{
public:
    // Returns 0 or an errno value; on failure the listing is empty.
    int read(const QString &folder, EntryKind kind, const QLocale &locale = QLocale());
    // Takes names read already.
    void assign(NameBlock &&names, const QLocale &locale = QLocale());
    // Takes names in order already.
    void assignSorted(NameBlock &&names) { m_names = std::move(names); }

    qsizetype count() const { return qsizetype(m_names.size()); }
    QString name(qsizetype i) const;
    const char *rawName(qsizetype i) const { return m_names.at(std::size_t(i)); }
    // Keeps only the names at these indexes, in this order.
    void reorder(const std::vector<std::size_t> &order) { m_names.reorder(order); }

private:
    NameBlock m_names;
};

// "No se pudo leer la carpeta «...»: ..."
QString folderReadError(const QString &folder, int error);
