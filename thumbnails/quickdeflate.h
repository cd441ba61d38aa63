#pragma once

#include <QByteArray>

// A zlib stream of `data` made of one Huffman block whose only matches are runs of zeros: about
// twice as fast as the fastest general compressor. It suits filtered image rows, where flat areas
// become zeros; pictures with repeated patterns (text, drawings) come out larger than LZ77 makes
// them.
QByteArray quickZlib(const uchar *data, qsizetype size);
