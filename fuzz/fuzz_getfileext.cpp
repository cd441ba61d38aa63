// GetFileExt: the base name and the extension rebuild the last component of the path, the
// folder part stands in front when asked for, and only positions beyond 32,767 overflow.

#include "fuzzcheck.h"
#include "getfileext.h"
#include "overflow.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 3)
        return 0;
    const bool addPath = data[0] & 1;
    QString path = unitsFrom(data + 3, size - 3);
    // Stretching the path to around 32,767 code units reaches the 16-bit edge, which inputs of
    // libFuzzer's usual length never do.
    if ((data[0] & 30) == 30) {
        static constexpr char16_t filler[] = {u'x', u'.', u'\\', u'/'};
        path.prepend(QString(32'640 + data[1], QChar(filler[data[2] % 4])));
    }

    const qsizetype nameStart = qMax(path.lastIndexOf(u'\\'), path.lastIndexOf(u'/')) + 1;
    const QString folder = path.left(nameStart);
    const QString lastComponent = path.mid(nameStart);
    const qsizetype lastDot = lastComponent.lastIndexOf(u'.');
    // 1-based end of the base name, as the splitter counts it.
    const qsizetype baseEnd = lastDot < 0 ? path.size() : nameStart + lastDot;
    const bool mustOverflow = path.size() > 32'767 || baseEnd + 2 > 32'767;

    QString base = QStringLiteral("unchanged"), extension;
    try {
        extension = GetFileExt(path, base, addPath);
    } catch (const OverflowError &) {
        require(mustOverflow, "overflow only where a position passes 32,767");
        return 0;
    }
    require(!mustOverflow, "a position past 32,767 overflows");

    require(!holdsAny(extension, u".\\/"), "the extension holds no dot and no separator");
    if (addPath) {
        require(base.startsWith(folder), "the folder part is in front of the base name");
        base.remove(0, folder.size());
    }
    require((lastDot < 0 ? base : base + u'.' + extension) == lastComponent,
            "base name and extension rebuild the last component");
    return 0;
}
