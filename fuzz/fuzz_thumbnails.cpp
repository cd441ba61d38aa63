// Hostile images: the bytes go the way a thumbnail's image goes, read with pread from a file in
// memory through libjpeg or Qt's readers, within the deadline and the budgets, then scaled and
// written by our PNG writer. libpng reads every PNG made back, checksums and all, at the size the
// image's shape gives and with its keys. An input of odd length asks for the 256 one alone,
// which is then decoded for straight away rather than halved from the 512 one. Built with
// FOLIMBRA_FUZZ_VIDEOS, the bytes are a video's, and the PNGs its poster's.

#include "fuzzcheck.h"
#include "imagedecode.h"

#include <QCoreApplication>

#include <png.h>
#include <vector>

#include <sys/mman.h>
#include <unistd.h>

namespace {

const QByteArray uri = "./hostile.jpg";
int imageFd = -1;

struct PngInput
{
    const QByteArray *bytes;
    qsizetype at;
};

void readFromMemory(png_structp png, png_bytep out, png_size_t length)
{
    auto *input = static_cast<PngInput *>(png_get_io_ptr(png));
    if (length > std::size_t(input->bytes->size() - input->at))
        png_error(png, "read past the end");
    std::memcpy(out, input->bytes->constData() + input->at, length);
    input->at += qsizetype(length);
}

struct PngHeader
{
    png_uint_32 width = 0;
    png_uint_32 height = 0;
    int depth = 0;
    int colourType = 0;
    int interlace = 0;
    QByteArray imageWidth; // Thumb::Image::Width
    QByteArray imageHeight;
    QByteArray uri;
    QByteArray size;
};

// The header and the text before the pixels, as libpng's own reader finds them. Nothing that
// lives past its long jump is made after the setjmp.
bool readHeader(const QByteArray &bytes, PngHeader &header)
{
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png ? png_create_info_struct(png) : nullptr;
    PngInput input{&bytes, 0};
    if (!info || setjmp(png_jmpbuf(png))) {
        png_destroy_read_struct(&png, &info, nullptr);
        return false;
    }
    png_set_read_fn(png, &input, readFromMemory);
    png_read_info(png, info);
    png_get_IHDR(png, info, &header.width, &header.height, &header.depth, &header.colourType,
                 &header.interlace, nullptr, nullptr);
    png_textp text = nullptr;
    const int count = png_get_text(png, info, &text, nullptr);
    for (int i = 0; i < count; ++i) {
        const QByteArray key = text[i].key;
        const QByteArray value(text[i].text, qsizetype(text[i].text_length));
        if (key == "Thumb::Image::Width")
            header.imageWidth = value;
        else if (key == "Thumb::Image::Height")
            header.imageHeight = value;
        else if (key == "Thumb::URI")
            header.uri = value;
        else if (key == "Thumb::Size")
            header.size = value;
    }
    png_destroy_read_struct(&png, &info, nullptr);
    return true;
}

// The whole picture through libpng's simplified reader, which checks every chunk and the zlib
// stream to its end.
bool decodes(const QByteArray &bytes)
{
    png_image image = {};
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_memory(&image, bytes.constData(), std::size_t(bytes.size())))
        return false;
    image.format = PNG_FORMAT_RGBA;
    std::vector<png_byte> pixels(PNG_IMAGE_SIZE(image));
    const bool read = png_image_finish_read(&image, nullptr, pixels.data(), 0, nullptr);
    png_image_free(&image);
    return read && !(image.warning_or_error & PNG_IMAGE_ERROR);
}

// The longest side is the edge's, or the image's if smaller; the other is the nearest whole
// number to the exact share of it, and at least 1.
bool fits(QSize thumbnail, QSize oriented, int edge)
{
    const qint64 longest = std::max(oriented.width(), oriented.height());
    const qint64 shown = std::min<qint64>(longest, edge);
    const auto side = [&](qint64 made, qint64 given) {
        const qint64 twice = 2 * made * longest - 2 * given * shown; // 2 × longest × error
        return made >= 1
               && (std::abs(twice) <= longest || (made == 1 && 2 * given * shown < longest));
    };
    return std::max(thumbnail.width(), thumbnail.height()) == shown
           && side(thumbnail.width(), oriented.width())
           && side(thumbnail.height(), oriented.height());
}

void quiet(QtMsgType, const QMessageLogContext &, const QString &) {}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    // For the image format plugins.
    static QCoreApplication application(*argc, *argv);
    // The decoders speak of every broken input; makeThumbnails gathers what they say.
    qInstallMessageHandler(quiet);
    limitImageReaders();
    imageFd = ::memfd_create("hostile image", MFD_CLOEXEC);
    require(imageFd >= 0, "a file in memory for the image");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    ImageSource image;
    image.fd = imageFd;
    image.uri = uri;
#ifdef FOLIMBRA_FUZZ_VIDEOS
    image.video = true;
#endif
    require(::ftruncate(imageFd, 0) == 0 && ::pwrite(imageFd, data, size, 0) == ssize_t(size)
                && ::fstat(imageFd, &image.st) == 0,
            "the image written to memory");
    const std::array<bool, thumbnailSizes> wanted{true, size % 2 == 0};
    // A deadline well within the fuzzer's -timeout, as the real one is within a page's patience.
    const EncodedThumbnails made = encodeThumbnails(image, wanted, std::chrono::seconds(2));
    if (made.failure)
        return 0;
    // A header of no pixels over a picture of some would give a thumbnail of no shape.
    if (made.oriented.isEmpty()) {
        require(made.pngs[0].isEmpty() && made.pngs[1].isEmpty(), "no PNG of an empty image");
        return 0;
    }
    for (int s = 0; s < thumbnailSizes; ++s) {
        const QByteArray &png = made.pngs[s];
        require(png.isEmpty() != wanted[s], "a PNG for each size wanted, and only those");
        if (png.isEmpty())
            continue;
        PngHeader header;
        require(readHeader(png, header), "libpng reads the header");
        require(header.depth == 8 && header.colourType == PNG_COLOR_TYPE_RGB_ALPHA
                    && header.interlace == PNG_INTERLACE_NONE,
                "8-bit RGBA, not interlaced");
        require(fits(QSize(int(header.width), int(header.height)), made.oriented,
                     thumbnailEdges[std::size_t(s)]),
                "the image's shape within the edge");
        require(header.imageWidth == QByteArray::number(made.oriented.width())
                    && header.imageHeight == QByteArray::number(made.oriented.height()),
                "the image's size in the keys");
        require(header.uri == uri && header.size == QByteArray::number(qint64(size)),
                "the image's URI and file size in the keys");
        require(decodes(png), "libpng decodes the whole PNG");
    }
    return 0;
}
