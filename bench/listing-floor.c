/* The floor a single thread can reach: the same kind of page as folimbra-index, made the plain
 * way. Reads the folder, looks at every entry once (in the order the folder gives them, which is
 * the cheapest for the file system), sorts by bytes and writes one line per file with stdio:
 * link, name, local date and time, size in whole kilobytes grouped by threes, CR LF, names
 * turned into Windows-1252. Prints how many entries it wrote.
 *
 *   listing-floor FOLDER PAGE
 */
#define _GNU_SOURCE
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <locale.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>

struct entry
{
    char *name;
    long long size;
    time_t modified;
};

static int by_bytes(const void *a, const void *b)
{
    return strcmp(((const struct entry *)a)->name, ((const struct entry *)b)->name);
}

/* UTF-8 to Windows-1252 for the common range; anything else becomes a decimal reference. */
static void put_text(FILE *out, const char *text, int link)
{
    const unsigned char *p = (const unsigned char *)text;
    while (*p) {
        unsigned c = *p;
        if (c < 0x80) {
            if (c == '&')
                fputs("&amp;", out);
            else if (c == '<')
                fputs("&lt;", out);
            else if (c == '>')
                fputs("&gt;", out);
            else if (c == '"')
                fputs("&quot;", out);
            else if (c < 0x20 || c == 0x7F || (link && strchr("%#?:\\", (int)c)))
                fprintf(out, link ? "%%%02X" : "&#%u;", c);
            else
                putc((int)c, out);
            ++p;
        } else if ((c & 0xE0) == 0xC0 && (p[1] & 0xC0) == 0x80) {
            unsigned u = ((c & 0x1F) << 6) | (p[1] & 0x3F);
            if (u >= 0xA0)
                putc((int)u, out);
            else
                fprintf(out, "&#%u;", u);
            p += 2;
        } else if ((c & 0xF0) == 0xE0 && (p[1] & 0xC0) == 0x80 && (p[2] & 0xC0) == 0x80) {
            fprintf(out, "&#%u;", ((c & 0x0F) << 12) | ((p[1] & 0x3Fu) << 6) | (p[2] & 0x3F));
            p += 3;
        } else if ((c & 0xF8) == 0xF0 && (p[1] & 0xC0) == 0x80 && (p[2] & 0xC0) == 0x80
                   && (p[3] & 0xC0) == 0x80) {
            fprintf(out, "&#%u;",
                    ((c & 0x07) << 18) | ((p[1] & 0x3Fu) << 12) | ((p[2] & 0x3Fu) << 6)
                        | (p[3] & 0x3F));
            p += 4;
        } else {
            fprintf(out, "%%%02X", c);
            ++p;
        }
    }
}

static void put_grouped(FILE *out, long long value)
{
    char digits[24];
    int n = snprintf(digits, sizeof digits, "%lld", value);
    for (int i = 0; i < n; ++i) {
        putc(digits[i], out);
        if (i < n - 1 && (n - 1 - i) % 3 == 0)
            putc(',', out);
    }
}

int main(int argc, char **argv)
{
    if (argc != 3) {
        fputs("usage: listing-floor FOLDER PAGE\n", stderr);
        return 2;
    }
    setlocale(LC_ALL, "");
    DIR *dir = opendir(argv[1]);
    if (!dir) {
        perror(argv[1]);
        return 1;
    }
    const int fd = dirfd(dir);
    size_t count = 0, room = 1024;
    struct entry *entries = malloc(room * sizeof *entries);
    struct dirent *d;
    while ((d = readdir(dir)) != NULL) {
        if (strcmp(d->d_name, ".") == 0 || strcmp(d->d_name, "..") == 0
            || strcmp(d->d_name, "Quorvel-Html_index.html") == 0)
            continue;
        struct stat st;
        if (fstatat(fd, d->d_name, &st, 0) != 0
            && fstatat(fd, d->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
            perror(d->d_name);
            return 1;
        }
        if (S_ISDIR(st.st_mode))
            continue;
        if (count == room)
            entries = realloc(entries, (room *= 2) * sizeof *entries);
        entries[count].name = strdup(d->d_name);
        entries[count].size = st.st_size;
        entries[count].modified = st.st_mtim.tv_sec;
        ++count;
    }
    closedir(dir);
    qsort(entries, count, sizeof *entries, by_bytes);

    FILE *out = fopen(argv[2], "w");
    if (!out) {
        perror(argv[2]);
        return 1;
    }
    long long total = 0;
    for (size_t i = 0; i < count; ++i) {
        const long long kilobytes = entries[i].size / 1024 ? entries[i].size / 1024 : 1;
        struct tm local;
        char when[64];
        localtime_r(&entries[i].modified, &local);
        strftime(when, sizeof when,
                 local.tm_hour || local.tm_min || local.tm_sec ? "%x %X" : "%x", &local);
        fputs("<p><a href=\"", out);
        put_text(out, entries[i].name, 1);
        fputs("\">", out);
        put_text(out, entries[i].name, 0);
        fprintf(out, "</a> (%s, ", when);
        put_grouped(out, kilobytes);
        fputs("k)\r\n", out);
        total += kilobytes;
    }
    fprintf(out, "<b>%zu Archivo(s) :: ", count);
    put_grouped(out, total);
    fputs("k</b>\r\n", out);
    if (fclose(out) != 0) {
        perror(argv[2]);
        return 1;
    }
    printf("%zu\n", count);
    return 0;
}
