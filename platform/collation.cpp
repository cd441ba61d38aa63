#include "collation.h"

#include <unicode/ucol.h>

NameCollator::NameCollator(const QLocale &locale)
{
    const QByteArray name =
        locale.language() == QLocale::C ? QByteArray("root") : locale.name().toLatin1();
    UErrorCode status = U_ZERO_ERROR;
    m_collator = ucol_open(name.constData(), &status);
    if (U_FAILURE(status)) {
        status = U_ZERO_ERROR;
        m_collator = ucol_open("root", &status);
    }
    if (U_FAILURE(status))
        qFatal("ICU has no collator: %s", u_errorName(status));
    ucol_setStrength(m_collator, UCOL_SECONDARY);
    ucol_setAttribute(m_collator, UCOL_NUMERIC_COLLATION, UCOL_ON, &status);
}

NameCollator::~NameCollator()
{
    ucol_close(m_collator);
}

void NameCollator::appendSortKey(QStringView name, std::string &keys) const
{
    const auto *text = reinterpret_cast<const UChar *>(name.utf16());
    const auto length = int32_t(name.size());
    const std::size_t at = keys.size();
    std::size_t room = std::size_t(name.size()) * 4 + 16;
    for (;;) {
        keys.resize(at + room);
        const int32_t needed = ucol_getSortKey(
            m_collator, text, length, reinterpret_cast<uint8_t *>(keys.data() + at), int32_t(room));
        if (needed > 0 && std::size_t(needed) <= room) {
            keys.resize(at + std::size_t(needed)); // the key's own NUL ends it
            return;
        }
        room = std::size_t(needed > 0 ? needed : int32_t(room) * 2);
    }
}
