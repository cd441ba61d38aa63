#pragma once

#include <QByteArray>
#include <QByteArrayList>
#include <QTemporaryDir>
#include <QTest>

#include <cerrno>
#include <cstring>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

// A temporary folder whose files are made from raw byte names, so that tests can hold names that
// are not valid UTF-8. Sizes come from ftruncate: large files cost no disk.
class TestFolder
{
public:
    TestFolder() { QVERIFY(m_dir.isValid()); }
    // In `base` rather than TMPDIR, for a test that needs that folder's file system.
    explicit TestFolder(const QString &base)
        : m_dir(base + QStringLiteral("/folimbra-test-XXXXXX"))
    {
        QVERIFY(m_dir.isValid());
    }
    // QDir cannot see names that are not valid UTF-8, and a tree may be deeper than a path can
    // name, so the folder goes by raw names and descriptors.
    ~TestFolder() { removeAt(AT_FDCWD, QFile::encodeName(m_dir.path())); }
    TestFolder(const TestFolder &) = delete;
    TestFolder &operator=(const TestFolder &) = delete;

    // The folder with its trailing separator, as the page writer takes it.
    QString path() const { return m_dir.path() + u'/'; }
    QByteArray rawPath() const { return QFile::encodeName(m_dir.path()) + '/'; }

    bool addFile(const QByteArray &name, qint64 size = 0, qint64 modified = 1000000000) const
    {
        const QByteArray full = rawPath() + name;
        const int fd = ::open(full.constData(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (fd < 0)
            return false;
        const bool sized = ::ftruncate(fd, size) == 0;
        ::close(fd);
        return sized && setModified(name, modified);
    }

    bool setModified(const QByteArray &name, qint64 modified, bool followLink = true) const
    {
        const struct timespec times[2] = {{time_t(modified), 0}, {time_t(modified), 0}};
        return ::utimensat(AT_FDCWD, (rawPath() + name).constData(), times,
                           followLink ? 0 : AT_SYMLINK_NOFOLLOW)
               == 0;
    }

    bool addFolder(const QByteArray &name) const
    {
        return ::mkdir((rawPath() + name).constData(), 0755) == 0;
    }

    bool addLink(const QByteArray &name, const QByteArray &target) const
    {
        return ::symlink(target.constData(), (rawPath() + name).constData()) == 0;
    }

    bool append(const QByteArray &name, const QByteArray &content) const
    {
        QFile file;
        return file.open(::open((rawPath() + name).constData(), O_WRONLY | O_APPEND),
                         QIODevice::WriteOnly, QFileDevice::AutoCloseHandle)
               && file.write(content) == content.size();
    }

    // Without blocking on a FIFO at the name.
    QByteArray read(const QByteArray &name) const
    {
        QFile file;
        if (!file.open(::open((rawPath() + name).constData(), O_RDONLY | O_NONBLOCK),
                       QIODevice::ReadOnly, QFileDevice::AutoCloseHandle))
            return {};
        return file.readAll();
    }

    bool exists(const QByteArray &name) const
    {
        struct stat st;
        return ::lstat((rawPath() + name).constData(), &st) == 0;
    }

private:
    static void removeAt(int parent, const QByteArray &name)
    {
        if (DIR *dir = ::fdopendir(
                ::openat(parent, name.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW))) {
            QByteArrayList inside;
            while (const dirent *entry = ::readdir(dir)) {
                if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0)
                    inside << entry->d_name;
            }
            for (const QByteArray &entry : inside)
                removeAt(::dirfd(dir), entry);
            ::closedir(dir);
        }
        if (::unlinkat(parent, name.constData(), 0) != 0)
            ::unlinkat(parent, name.constData(), AT_REMOVEDIR);
    }

    QTemporaryDir m_dir;
};

// The page's lines without their CR LF ends; fails the test if a line lacks its CR.
inline QByteArrayList pageLines(const QByteArray &page)
{
    QByteArrayList lines = page.split('\n');
    if (!lines.isEmpty() && lines.last().isEmpty())
        lines.removeLast();
    for (QByteArray &line : lines) {
        if (!line.endsWith('\r'))
            return {QByteArray("line without CR: ") + line};
        line.chop(1);
    }
    return lines;
}
