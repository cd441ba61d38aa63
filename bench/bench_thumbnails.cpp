// Drives makeThumbnails for bench/bench-thumbnails.sh:
//   bench_thumbnails FOLDER                    thumbnails of every .jpg of FOLDER
//   bench_thumbnails --generate FOLDER COUNT   COUNT photo-like 4000 x 3000 JPEGs in FOLDER

#include "thumbnails.h"

#include <QCoreApplication>
#include <QDir>
#include <QImage>
#include <QImageWriter>
#include <QPainter>
#include <QRandomGenerator>

#include <cstdio>

namespace {

// Smooth gradients, shapes and grain: about what a phone photo costs to decode.
bool writePhoto(const QString &path, int seed)
{
    QRandomGenerator random(quint32(seed) + 1);
    QImage image(4000, 3000, QImage::Format_RGB32);
    QPainter painter(&image);
    QLinearGradient sky(0, 0, 0, image.height());
    sky.setColorAt(0, QColor::fromHsv(random.bounded(360), 120, 230));
    sky.setColorAt(1, QColor::fromHsv(random.bounded(360), 200, 90));
    painter.fillRect(image.rect(), sky);
    painter.setPen(Qt::NoPen);
    for (int i = 0; i < 60; ++i) {
        painter.setBrush(QColor::fromHsv(random.bounded(360), random.bounded(256),
                                         40 + random.bounded(216), 160));
        painter.drawEllipse(random.bounded(4000), random.bounded(3000), 100 + random.bounded(900),
                            100 + random.bounded(900));
    }
    painter.end();
    for (int y = 0; y < image.height(); ++y) {
        auto *line = reinterpret_cast<QRgb *>(image.scanLine(y));
        for (int x = 0; x < image.width(); ++x) {
            const int grain = int(random.bounded(24)) - 12;
            const QRgb p = line[x];
            line[x] = qRgb(qBound(0, qRed(p) + grain, 255), qBound(0, qGreen(p) + grain, 255),
                           qBound(0, qBlue(p) + grain, 255));
        }
    }
    QImageWriter writer(path, "jpeg");
    writer.setQuality(90);
    return writer.write(image);
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList arguments = app.arguments();
    if (arguments.size() == 4 && arguments[1] == u"--generate") {
        const QString folder = arguments[2];
        const int count = arguments[3].toInt();
        for (int i = 0; i < count; ++i) {
            const QString path =
                folder + QStringLiteral("/photo-%1.jpg").arg(i, 3, 10, QChar(u'0'));
            if (!QFile::exists(path) && !writePhoto(path, i)) {
                std::fprintf(stderr, "bench_thumbnails: cannot write %s\n", qPrintable(path));
                return 1;
            }
        }
        return 0;
    }
    if (arguments.size() != 2) {
        std::fprintf(stderr, "usage: bench_thumbnails FOLDER | --generate FOLDER COUNT\n");
        return 2;
    }
    const QString folder = QDir(arguments[1]).absolutePath() + u'/';
    std::vector<QByteArray> names;
    for (const QString &name : QDir(folder).entryList({QStringLiteral("*.jpg")}, QDir::Files))
        names.push_back(QFile::encodeName(name));
    const auto made = makeThumbnails(folder, names).thumbnails;
    const auto missing = std::count(made.begin(), made.end(), std::nullopt);
    if (missing) {
        std::fprintf(stderr, "bench_thumbnails: %td of %zu images got no thumbnail\n", missing,
                     names.size());
        return 1;
    }
    return 0;
}
