#include "getfileext.h"

#include "overflow.h"

namespace {

// 1-based position of the first separator at or after `from` (1-based), or 0.
qint64 findSeparator(const QString &text, qint64 from)
{
    if (from > text.size())
        return 0;
    for (qsizetype i = qsizetype(from - 1); i < text.size(); ++i) {
        const QChar c = text.at(i);
        // "/" separates folders too: without it a dot in a folder name would turn into the
        // extension of every file below it.
        if (c == u'\\' || c == u'/')
            return i + 1;
    }
    return 0;
}

// 1-based position of the first dot at or after `from`, or 0.
qint64 findDot(const QString &text, qint64 from)
{
    if (from > text.size())
        return 0;
    return text.indexOf(u'.', qsizetype(from - 1)) + 1;
}

} // namespace

QString GetFileExt(const QString &PathIn, QString &NomeOut, bool AddPath)
{
    qint16 s = 1;
    for (qint64 p = findSeparator(PathIn, 1); p != 0; p = findSeparator(PathIn, s))
        s = checked<qint16>(checked<qint16>(p) + 1);

    const qint16 L = checked<qint16>(PathIn.size());

    qint16 e = L;
    for (qint64 d = findDot(PathIn, s); d != 0;) {
        e = checked<qint16>(checked<qint16>(d) - 1);
        d = findDot(PathIn, checked<qint16>(d + 1));
    }

    if (AddPath)
        s = 1;

    NomeOut = PathIn.mid(s - 1, checked<qint16>(e - s + 1));
    const qint16 extensionStart = checked<qint16>(e + 2);
    return extensionStart > L ? QString() : PathIn.mid(extensionStart - 1);
}
