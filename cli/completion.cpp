// folimbra-completion SHELL PROGRAM FILE: writes PROGRAM's completion for SHELL (bash, zsh or
// fish) from the option table. Run by the build only.

#include "options.h"

#include <QFile>

#include <cstdio>
#include <cstring>

int main(int argc, char *argv[])
{
    if (argc != 4) {
        std::fputs("usage: folimbra-completion bash|zsh|fish folimbra|folimbra-index FILE\n",
                   stderr);
        return 2;
    }
    const bool index = std::strcmp(argv[2], "folimbra-index") == 0;
    const QByteArray script =
        completionScript(argv[1], argv[2], index ? indexOptions() : windowOptions(), index);
    QFile file(QString::fromLocal8Bit(argv[3]));
    if (script.isEmpty() || !file.open(QIODevice::WriteOnly) || file.write(script) != script.size()
        || !file.flush()) {
        std::fprintf(stderr, "folimbra-completion: cannot write %s\n", argv[3]);
        return 1;
    }
    return 0;
}
