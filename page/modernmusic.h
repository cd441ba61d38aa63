#pragma once

#include "audiotags.h"

#include <QHash>
#include <QString>

// The modern page's music: the tags of the folder's music files, by name, as read before the
// page.

// A folder that is one album, every tagged track of the same album by the same artist, is
// headed by them: the album, the artist, the year where all share it, the tracks and their time.
void appendAlbumHeading(QString &out, const QHash<QString, AudioTags> &tags);

// A player for the named file, where it is one of the tagged tracks.
void appendPlayer(QString &out, const QHash<QString, AudioTags> &tags, const QString &name);

// Its title, artist, album, track, year and length cells, empty where it has no tags.
void appendTagCells(QString &out, const QHash<QString, AudioTags> &tags, const QString &name);
