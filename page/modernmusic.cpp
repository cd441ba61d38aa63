#include "modernmusic.h"

#include "htmltext.h"

namespace {

// "3:07", or "1:02:03" past the hour.
void appendDuration(QString &out, qint64 seconds)
{
    if (seconds >= 3600) {
        appendNumber(out, seconds / 3600);
        out += u':';
        appendNumber(out, seconds / 60 % 60, 2);
    } else {
        appendNumber(out, seconds / 60);
    }
    out += u':';
    appendNumber(out, seconds % 60, 2);
}

qint64 roundedSeconds(int milliseconds)
{
    return (qint64(milliseconds) + 500) / 1000;
}

const QString &albumArtistOf(const AudioTags &track)
{
    return track.albumArtist.isEmpty() ? track.artist : track.albumArtist;
}

} // namespace

void appendAlbumHeading(QString &out, const QHash<QString, AudioTags> &tags)
{
    const AudioTags *first = nullptr;
    bool oneYear = true;
    qint64 tracks = 0;
    qint64 seconds = 0;
    for (const AudioTags &track : tags) {
        if (!track.hasText())
            continue;
        if (!first)
            first = &track;
        else if (track.album != first->album || albumArtistOf(track) != albumArtistOf(*first))
            return;
        oneYear = oneYear && track.year == first->year;
        ++tracks;
        seconds += track.durationMs > 0 ? roundedSeconds(track.durationMs) : 0;
    }
    if (!first || first->album.isEmpty())
        return;
    out += u"<section class=al aria-labelledby=al><h2 id=al>";
    appendHtmlText(out, first->album);
    out += u"</h2><p>";
    if (!albumArtistOf(*first).isEmpty()) {
        appendHtmlText(out, albumArtistOf(*first));
        out += u" · ";
    }
    if (oneYear && first->year > 0) {
        appendNumber(out, first->year);
        out += u" · ";
    }
    appendNumber(out, tracks);
    out += tracks == 1 ? u" pista" : u" pistas";
    if (seconds > 0) {
        out += u" · ";
        appendDuration(out, seconds);
    }
    out += u"</section>\n";
}

// Each track plays where it is listed; with scripts off the browser's own controls still do.
void appendPlayer(QString &out, const QHash<QString, AudioTags> &tags, const QString &name)
{
    if (!tags.contains(name))
        return;
    out += u"<audio controls preload=none src=";
    appendAttributeValue(out, name, appendLinkTarget);
    out += u"></audio>";
}

void appendTagCells(QString &out, const QHash<QString, AudioTags> &tags, const QString &name)
{
    const auto found = tags.constFind(name);
    if (found == tags.cend()) {
        out += u"<td><td><td><td><td><td>";
        return;
    }
    for (const QString *text : {&found->title, &found->artist, &found->album}) {
        out += u"<td>";
        appendHtmlText(out, *text);
    }
    for (const int number : {found->track, found->year}) {
        out += u"<td>";
        if (number > 0)
            appendNumber(out, number);
    }
    out += u"<td>";
    if (found->durationMs >= 0)
        appendDuration(out, roundedSeconds(found->durationMs));
}
