// The peer of bench-tags.sh: TagLib's plain FileRef on each file named, the same tags and length
// folimbra-index --tags reads, one file after another, printed as one line each.
#include <cstdio>
#include <fileref.h>
#include <tag.h>

int main(int argc, char *argv[])
{
    for (int i = 1; i < argc; ++i) {
        const TagLib::FileRef ref(argv[i], true, TagLib::AudioProperties::Average);
        if (ref.isNull())
            continue;
        const TagLib::Tag *tag = ref.tag();
        std::printf("%s\t%s\t%s\t%u\t%u\t%d\n", tag->title().toCString(true),
                    tag->artist().toCString(true), tag->album().toCString(true), tag->track(),
                    tag->year(),
                    ref.audioProperties() ? ref.audioProperties()->lengthInMilliseconds() : -1);
    }
    return 0;
}
