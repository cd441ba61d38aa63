#pragma once

#include <QByteArray>
#include <QString>

#include <chrono>
#include <optional>
#include <vector>

// What a music file says of itself: its tags (other people's text, shown only as text) and how
// long it plays.
struct AudioTags
{
    QString title;
    QString artist;
    QString album;
    QString albumArtist;
    int track = 0;       // 0: none
    int year = 0;        // 0: none
    int durationMs = -1; // -1: not known
    bool hasText() const { return !title.isEmpty() || !artist.isEmpty() || !album.isEmpty(); }
};

// Whether a name (raw bytes) is one of the music files whose tags are read: MP3, FLAC, Ogg
// Vorbis and Opus, M4A and WAV, by their usual endings.
bool isAudioFileName(const QByteArray &rawName);

// How much reading one file may cost: past either limit every read fails, so a huge, broken or
// endless file ends as one without tags.
struct TagBudget
{
    std::chrono::milliseconds time = std::chrono::seconds(2);
    qint64 bytes = 32 << 20;
};

// The tags of one file of the folder open as `folderFd` (raw name); std::nullopt where it is not
// a regular file, cannot be read, or holds neither tags nor a length.
std::optional<AudioTags> readAudioTags(int folderFd, const QByteArray &rawName,
                                       const TagBudget &budget = {});

// The same for many files at once, on all cores; one result for each name, in order.
std::vector<std::optional<AudioTags>>
readAudioTags(int folderFd, const std::vector<QByteArray> &rawNames, const TagBudget &budget = {});
