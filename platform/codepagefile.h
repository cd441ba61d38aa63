#pragma once

#include <QByteArray>
#include <QString>
#include <QStringView>

#include <string>

#if !defined(Q_OS_UNIX)
#include <QFile>
#endif

// The text in Windows-1252; every character the code page lacks becomes a decimal character
// reference ("&#12354;"), so a page still shows and links every name.
QByteArray toWindows1252(QStringView text);

// Sequential output of lines in Windows-1252, each ended by CR LF, through a buffer of its own.
// Errors are errno values; once a call fails the file takes no more lines.
class CodePageFile
{
public:
    CodePageFile() = default;
    CodePageFile(const CodePageFile &) = delete;
    CodePageFile &operator=(const CodePageFile &) = delete;
    ~CodePageFile();

    // Creates the file or empties it.
    bool open(const QString &path);
    bool writeLine(QStringView line);
    // Writes what the buffer holds and closes; also after a failure, to keep what was written.
    bool close();

    bool isOpen() const;
    int error() const { return m_error; }

private:
    bool flush();

    std::string m_buffer;
    int m_error = 0;
#if defined(Q_OS_UNIX)
    int m_fd = -1;
#else
    QFile m_file;
#endif
};
