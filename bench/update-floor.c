/* The floor of `-r --update` over a tree that did not change: what any such run must do, and
 * nothing more. Walks the tree once from its top, looks at every entry (the pages show each
 * file's size and time) and reads each folder's old page whole (it is compared with the new
 * one); makes, writes and renames nothing. Prints how many entries and pages it read.
 *
 *   update-floor FOLDER
 */
#define _GNU_SOURCE
#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

static long long entries;
static long long pages;
static char buffer[1 << 16];

static void walk(int folder)
{
    DIR *dir = fdopendir(folder);
    if (!dir) {
        close(folder);
        return;
    }
    struct dirent *entry;
    while ((entry = readdir(dir))) {
        if (strcmp(entry->d_name, ".") == 0 || strcmp(entry->d_name, "..") == 0)
            continue;
        struct stat st;
        if (fstatat(dirfd(dir), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0)
            continue;
        ++entries;
        if (S_ISDIR(st.st_mode) && entry->d_name[0] != '.') {
            const int inner = openat(dirfd(dir), entry->d_name, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
            if (inner >= 0)
                walk(inner);
        } else if (strcmp(entry->d_name, "Quorvel-Html_index.html") == 0) {
            const int page = openat(dirfd(dir), entry->d_name, O_RDONLY | O_CLOEXEC);
            if (page >= 0) {
                while (read(page, buffer, sizeof buffer) > 0) {
                }
                close(page);
                ++pages;
            }
        }
    }
    closedir(dir);
}

int main(int argc, char **argv)
{
    if (argc != 2) {
        fprintf(stderr, "usage: update-floor FOLDER\n");
        return 2;
    }
    const int top = open(argv[1], O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (top < 0) {
        perror(argv[1]);
        return 1;
    }
    walk(top);
    printf("%lld entries, %lld pages read\n", entries, pages);
    return 0;
}
