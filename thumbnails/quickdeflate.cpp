#include "quickdeflate.h"

#include <QtEndian>
#include <queue>

#include <algorithm>
#include <array>
#include <cstring>
#include <libdeflate.h>
#include <vector>

namespace {

constexpr int endOfBlock = 256;
constexpr int symbolCount = 286; // literals, end of block, lengths
constexpr int shortestRun = 3;
constexpr int longestRun = 258;

struct LengthCode
{
    quint16 symbol = 0;
    quint8 extraBits = 0;
    quint16 extra = 0;
};

// The symbol and extra bits of every match length.
const std::array<LengthCode, longestRun + 1> &lengthCodes()
{
    static const auto codes = [] {
        std::array<LengthCode, longestRun + 1> table{};
        static constexpr int bases[29] = {3,  4,  5,  6,   7,   8,   9,   10,  11, 13,
                                          15, 17, 19, 23,  27,  31,  35,  43,  51, 59,
                                          67, 83, 99, 115, 131, 163, 195, 227, 258};
        static constexpr int bits[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                         2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
        for (int code = 0; code < 29; ++code) {
            const int last = code == 28 ? longestRun : std::min(bases[code + 1] - 1, longestRun);
            for (int length = bases[code]; length <= last; ++length)
                table[std::size_t(length)] = {quint16(257 + code), quint8(bits[code]),
                                              quint16(length - bases[code])};
        }
        // 258 has a code of its own; the one before it would also reach it with extra bits.
        table[longestRun] = {285, 0, 0};
        return table;
    }();
    return codes;
}

// Code lengths of a Huffman code for `freq`, none longer than `limit`. Rare symbols are made
// less rare until the tree is shallow enough, which costs next to nothing in size.
std::vector<quint8> codeLengths(std::vector<quint32> freq, int limit)
{
    const std::size_t n = freq.size();
    std::vector<quint8> lengths(n, 0);
    // A code of one symbol is incomplete, which decoders refuse: give it a partner.
    auto used = std::count_if(freq.begin(), freq.end(), [](quint32 f) { return f > 0; });
    for (std::size_t s = 0; used < 2 && s < n; ++s)
        if (freq[s] == 0) {
            freq[s] = 1;
            ++used;
        }
    for (;;) {
        using Node = std::pair<quint64, int>; // weight, index
        std::priority_queue<Node, std::vector<Node>, std::greater<>> queue;
        std::vector<int> parent(n, -1);
        for (std::size_t s = 0; s < n; ++s)
            if (freq[s] > 0)
                queue.emplace(freq[s], int(s));
        while (queue.size() > 1) {
            const Node a = queue.top();
            queue.pop();
            const Node b = queue.top();
            queue.pop();
            parent.push_back(-1);
            const int joined = int(parent.size()) - 1;
            parent[std::size_t(a.second)] = joined;
            parent[std::size_t(b.second)] = joined;
            queue.emplace(a.first + b.first, joined);
        }
        std::vector<quint8> depth(parent.size(), 0);
        for (std::size_t node = parent.size(); node-- > 0;)
            if (parent[node] >= 0)
                depth[node] = quint8(depth[std::size_t(parent[node])] + 1);
        int deepest = 0;
        for (std::size_t s = 0; s < n; ++s) {
            lengths[s] = freq[s] > 0 ? depth[s] : 0;
            deepest = std::max(deepest, int(lengths[s]));
        }
        if (deepest <= limit)
            return lengths;
        for (quint32 &f : freq)
            if (f > 0)
                f = (f >> 1) | 1;
    }
}

// Canonical codes, bit-reversed: deflate sends a code's first bit first, in a stream filled from
// the low bits.
std::vector<quint16> canonicalCodes(const std::vector<quint8> &lengths)
{
    int count[16] = {};
    for (const quint8 length : lengths)
        ++count[length];
    count[0] = 0;
    int next[16] = {};
    for (int bits = 1, code = 0; bits < 16; ++bits) {
        code = (code + count[bits - 1]) << 1;
        next[bits] = code;
    }
    std::vector<quint16> codes(lengths.size(), 0);
    for (std::size_t s = 0; s < lengths.size(); ++s) {
        const int length = lengths[s];
        if (length == 0)
            continue;
        int code = next[length]++;
        int reversed = 0;
        for (int b = 0; b < length; ++b, code >>= 1)
            reversed = (reversed << 1) | (code & 1);
        codes[s] = quint16(reversed);
    }
    return codes;
}

// Runs of zero bytes in whole words: in filtered rows that is what flat areas give, and looking
// a word at a time keeps the rest cheap. Calls `literals(at, count)` and `zeros(at, count)`.
template <typename Literals, typename Zeros>
void scan(const uchar *data, qsizetype size, Literals literals, Zeros zeros)
{
    const qsizetype words = size / 8;
    qsizetype at = 0;
    while (at < words) {
        qsizetype end = at;
        quint64 word;
        for (; end < words; ++end) {
            std::memcpy(&word, data + 8 * end, 8);
            if (word == 0)
                break;
        }
        if (end > at)
            literals(8 * at, 8 * (end - at));
        at = end;
        for (; end < words; ++end) {
            std::memcpy(&word, data + 8 * end, 8);
            if (word != 0)
                break;
        }
        if (end > at)
            zeros(8 * at, 8 * (end - at));
        at = end;
    }
    if (size > 8 * words)
        literals(8 * words, size - 8 * words);
}

// A zero run is one zero, then copies of the byte before; `run(length)` for each copy.
template <typename Run> int zeroRun(qsizetype count, Run run)
{
    qsizetype left = count - 1;
    while (left >= shortestRun) {
        const int length = int(std::min<qsizetype>(left, longestRun));
        run(length);
        left -= length;
    }
    return int(left); // zeros still to send one by one
}

} // namespace

QByteArray quickZlib(const uchar *data, qsizetype size)
{
    const auto &lengths = lengthCodes();
    // The code is made from a quarter of the input, in pieces spread over all of it: counting
    // costs more than sending, and image rows differ little in what bytes they hold. Every symbol
    // gets a code, so bytes only the rest holds can still be sent.
    constexpr qsizetype piece = 4096;
    std::vector<quint32> freq(symbolCount, 1);
    for (qsizetype from = 0; from < size; from += 4 * piece) {
        const uchar *part = data + from;
        scan(
            part, std::min(piece, size - from),
            [&](qsizetype at, qsizetype count) {
                for (qsizetype i = 0; i < count; ++i)
                    ++freq[part[at + i]];
            },
            [&](qsizetype, qsizetype count) {
                ++freq[0];
                freq[0] += quint32(zeroRun(
                    count, [&](int length) { ++freq[lengths[std::size_t(length)].symbol]; }));
            });
    }
    freq[endOfBlock] = 1;
    const std::vector<quint8> literalLengths = codeLengths(freq, 15);
    const std::vector<quint16> literalCodes = canonicalCodes(literalLengths);

    // Every match is one byte back: distance code 0, paired with an unused code 1 so the
    // distance code is complete.
    int literalsSent = symbolCount;
    while (literalsSent > 257 && literalLengths[std::size_t(literalsSent - 1)] == 0)
        --literalsSent;
    std::vector<quint8> sent(literalLengths.begin(), literalLengths.begin() + literalsSent);
    sent.push_back(1);
    sent.push_back(1);
    std::vector<quint32> lengthFreq(19, 0);
    for (const quint8 length : sent)
        ++lengthFreq[length];
    const std::vector<quint8> lengthLengths = codeLengths(lengthFreq, 7);
    const std::vector<quint16> lengthCodesSent = canonicalCodes(lengthLengths);
    static constexpr int order[19] = {16, 17, 18, 0, 8,  7, 9,  6, 10, 5,
                                      11, 4,  12, 3, 13, 2, 14, 1, 15};
    int orderSent = 19;
    while (orderSent > 4 && lengthLengths[std::size_t(order[orderSent - 1])] == 0)
        --orderSent;

    // At most 15 bits a byte, plus the header and the tables; 8 spare bytes for the last store.
    QByteArray out(2 + (size * 15 + 7) / 8 + 512 + 4 + 8, Qt::Uninitialized);
    out[0] = char(0x78); // deflate, 32 KiB window
    out[1] = char(0x01); // fastest, and the check bits
    // The bits in locals, stored 8 bytes at a time: fewer than 8 wait after each store, so
    // three codes of at most 15 bits can be added before the next.
    uchar *to = reinterpret_cast<uchar *>(out.data()) + 2;
    quint64 pending = 0;
    int count = 0;
    const auto add = [&](quint32 bits, int length) {
        pending |= quint64(bits) << count;
        count += length;
    };
    const auto store = [&] {
        const quint64 word = qToLittleEndian(pending);
        std::memcpy(to, &word, 8);
        to += count >> 3;
        pending >>= count & ~7;
        count &= 7;
    };
    add(1, 1); // the last block
    add(2, 2); // dynamic Huffman codes
    add(quint32(literalsSent - 257), 5);
    add(1, 5); // two distance codes
    add(quint32(orderSent - 4), 4);
    store();
    for (int i = 0; i < orderSent; ++i) {
        add(lengthLengths[std::size_t(order[i])], 3);
        store();
    }
    for (const quint8 length : sent) {
        add(lengthCodesSent[length], lengthLengths[length]);
        store();
    }
    // Code and length together: one load a literal.
    std::array<quint32, 256> literalBits;
    for (std::size_t byte = 0; byte < 256; ++byte)
        literalBits[byte] = literalCodes[byte] | quint32(literalLengths[byte]) << 16;
    const auto literal = [&](uchar byte) {
        const quint32 code = literalBits[byte];
        add(code & 0xFFFF, int(code >> 16));
    };
    scan(
        data, size,
        [&](qsizetype at, qsizetype many) {
            const uchar *bytes = data + at;
            qsizetype i = 0;
            for (; i + 3 <= many; i += 3) {
                literal(bytes[i]);
                literal(bytes[i + 1]);
                literal(bytes[i + 2]);
                store();
            }
            for (; i < many; ++i) {
                literal(bytes[i]);
                store();
            }
        },
        [&](qsizetype, qsizetype many) {
            literal(0);
            store();
            int left = zeroRun(many, [&](int length) {
                const LengthCode &code = lengths[std::size_t(length)];
                add(literalCodes[code.symbol], literalLengths[code.symbol]);
                add(code.extra, code.extraBits);
                add(0, 1); // distance code 0: one byte back
                store();
            });
            for (; left > 0; --left) {
                literal(0);
                store();
            }
        });
    add(literalCodes[endOfBlock], literalLengths[endOfBlock]);
    store();
    if (count > 0)
        ++to;
    const quint32 check = qToBigEndian(quint32(libdeflate_adler32(1, data, std::size_t(size))));
    std::memcpy(to, &check, 4);
    out.truncate(qsizetype(to + 4 - reinterpret_cast<const uchar *>(out.constData())));
    return out;
}
