// The least that replacing the page of every folder directly inside a tree safely takes, on one
// thread: for each, a new unnamed file of 1,300 bytes, linked under a hidden name; one syncfs;
// then each renamed over the page. No listing and no formatting: what is left of a tree run once
// its pages are made, and what no run that survives a crash can do without.
#define _GNU_SOURCE
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#define PAGE "Quorvel-Html_index.html"
#define WAITING "." PAGE ".floor"

int main(int argc, char **argv)
{
    if (argc != 2) {
        fprintf(stderr, "usage: pages-floor TREE\n");
        return 2;
    }
    // Every folder stays open until its page is renamed.
    struct rlimit files;
    if (getrlimit(RLIMIT_NOFILE, &files) == 0) {
        files.rlim_cur = files.rlim_max;
        setrlimit(RLIMIT_NOFILE, &files);
    }
    const int top = open(argv[1], O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR *dir = top < 0 ? NULL : fdopendir(dup(top));
    if (!dir) {
        perror(argv[1]);
        return 1;
    }
    static char page[1300];
    memset(page, 'x', sizeof page);
    int *folders = NULL;
    size_t count = 0, room = 0;
    const struct dirent *entry;
    while ((entry = readdir(dir))) {
        if (entry->d_type != DT_DIR || entry->d_name[0] == '.')
            continue;
        const int folder =
            openat(top, entry->d_name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        const int fd =
            folder < 0 ? -1 : openat(folder, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0644);
        char path[64];
        snprintf(path, sizeof path, "/proc/self/fd/%d", fd);
        if (fd < 0 || write(fd, page, sizeof page) != sizeof page
            || linkat(AT_FDCWD, path, folder, WAITING, AT_SYMLINK_FOLLOW) != 0) {
            perror(entry->d_name);
            return 1;
        }
        close(fd);
        if (count == room) {
            room = room ? 2 * room : 1024;
            folders = realloc(folders, room * sizeof *folders);
            if (!folders)
                return 1;
        }
        folders[count++] = folder;
    }
    if (syncfs(top) != 0) {
        perror("syncfs");
        return 1;
    }
    for (size_t i = 0; i < count; ++i) {
        if (renameat(folders[i], WAITING, folders[i], PAGE) != 0) {
            perror("renameat");
            return 1;
        }
        close(folders[i]);
    }
    printf("%zu\n", count);
    return 0;
}
