#pragma once

#include <QByteArray>
#include <QStringView>

#include <string>

// Characters of the bytes 0x80 to 0x9F in Windows-1252; 0 where the code page leaves the byte
// undefined.
inline constexpr char16_t windows1252High[32] = {
    0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0,      0x017D, 0,      0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178};

// The text in Windows-1252; every character the code page lacks, controls of the 0x80 to 0x9F
// block included, becomes a decimal character reference ("&#12354;"), so that no two texts come
// out the same and a page shows every name.
QByteArray toWindows1252(QStringView text);
void appendWindows1252(std::string &out, QStringView text);
