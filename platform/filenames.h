#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <QStringView>

// File names reach us as bytes. Inside the program they are QStrings in which every byte
// that is not part of valid UTF-8 stands as the code unit U+DC80 + (byte - 0x80), so a name
// from an old archive (0xE9 for "é") still turns back into the very bytes that open the file.

QString decodeFileName(QByteArrayView raw);
// The same into a string kept from one name to the next, its room reused.
void decodeFileName(QByteArrayView raw, QString &out);
QByteArray encodeFileName(QStringView name);

// A file: URL of plain ASCII that gives back the path's very bytes.
QByteArray fileUrl(QStringView path);

// The name for people to read: each escaped byte shown as its Windows-1252 character.
QString readableFileName(QStringView name);

// Characters that show as nothing, turn the text around or pass for a Windows-1252 letter, so
// that a name holding one can read as another name: C1 controls, the soft hyphen, zero-width
// spaces and marks, direction controls. Joiners and variation selectors that scripts and emoji
// need are not among them.
bool isDeceptiveControl(char32_t c);

// "[U+202E]": how such a character shows.
void appendControlMark(QString &out, char32_t c);

// readableFileName with each such character shown as its mark, for a plain-text list.
QString shownFileName(QStringView name);

// Whether the unit at i stands for a byte: a low surrogate of the escape range that is not the
// second half of a real character.
inline bool isEscapedByte(QStringView text, qsizetype i)
{
    const char16_t unit = text[i].unicode();
    return unit >= 0xDC80 && unit <= 0xDCFF && !(i > 0 && text[i - 1].isHighSurrogate());
}
