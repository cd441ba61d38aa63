#pragma once

#include <QLocale>
#include <QStringView>

#include <string>

struct UCollator;

// Orders names as a file manager does: by the locale's alphabet, ignoring case, with runs of
// digits compared by value (IMG_2 before IMG_10).
class NameCollator
{
public:
    explicit NameCollator(const QLocale &locale);
    NameCollator(const NameCollator &) = delete;
    NameCollator &operator=(const NameCollator &) = delete;
    ~NameCollator();

    // Appends the name's sort key, ended by a NUL byte: keys compare as the names do.
    void appendSortKey(QStringView name, std::string &keys) const;

private:
    UCollator *m_collator = nullptr;
};
