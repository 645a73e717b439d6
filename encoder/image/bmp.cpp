// The BMP reader. A frame file is read into one record: the header fields,
// then the palette (4 bytes an entry: blue, green, red, unused) and the pixel
// rows exactly as stored, bottom row first.
//
// Nothing in the header is trusted. All arithmetic on header fields is done in
// 64 bits, and every region the header points at (palette, pixel array) is
// checked against the file's real length before anything is allocated, so the
// record never grows out of proportion to the file and no query can read
// outside it.
#include "encoder/image/bmp.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <new>

namespace {

constexpr uint32_t kFileHeaderBytes = 14;
constexpr uint32_t kCoreHeaderBytes = 12;  // oldest header: 16-bit sizes, 3-byte palette entries
constexpr uint32_t kInfoHeaderBytes = 40;  // the common start of every later header
// The colour masks follow the 40-byte part, inside the longer headers or
// behind a 40-byte one.
constexpr uint32_t kMaskOffset = kFileHeaderBytes + kInfoHeaderBytes;
constexpr uint32_t kMaxMaskBytes = 16;
constexpr size_t kHeadBytes = kMaskOffset + kMaxMaskBytes;
constexpr uint64_t kMaxSide = 0xFFFF;

constexpr uint32_t kBiRgb = 0;
constexpr uint32_t kBiBitfields = 3;
constexpr uint32_t kBiAlphaBitfields = 6;

struct FileCloser {
    void operator()(FILE* f) const { std::fclose(f); }
};
using File = std::unique_ptr<FILE, FileCloser>;

// The first bytes of the file; fields beyond what was read come out as 0.
struct Head {
    std::array<uint8_t, kHeadBytes> bytes{};
    size_t length = 0;

    uint32_t u16(size_t at) const {
        if (at + 2 > length) return 0;
        return bytes[at] | bytes[at + 1] << 8;
    }
    uint32_t u32(size_t at) const {
        if (at + 4 > length) return 0;
        return u16(at) | u16(at + 2) << 16;
    }
};

// Where things are in the file, all checked to lie inside it.
struct Layout {
    uint64_t paletteStart = 0;
    uint32_t paletteEntryBytes = 4;
    uint64_t paletteEntries = 0;  // entries stored in the file and kept
    uint64_t pixelStart = 0;
};

bool validMask(uint32_t mask, uint32_t bitCount) {
    if (mask == 0) return false;
    if (bitCount < 32 && (mask >> bitCount) != 0) return false;
    const uint32_t field = mask >> std::countr_zero(mask);
    return (field & (field + 1)) == 0;  // one contiguous run of bits
}

bool readMasks(const Head& head, uint32_t compression, BmpImage& image) {
    if (compression == kBiRgb) {
        const bool five = image.bitCount == 16;  // 5-5-5 by default, else 8-8-8
        image.redMask = five ? 0x7C00 : 0xFF0000;
        image.greenMask = five ? 0x03E0 : 0x00FF00;
        image.blueMask = five ? 0x001F : 0x0000FF;
        return true;
    }
    image.redMask = head.u32(kMaskOffset);
    image.greenMask = head.u32(kMaskOffset + 4);
    image.blueMask = head.u32(kMaskOffset + 8);
    const uint32_t n = image.bitCount;
    if (!validMask(image.redMask, n) || !validMask(image.greenMask, n) || !validMask(image.blueMask, n))
        return false;
    return (image.redMask & image.greenMask) == 0 && (image.redMask & image.blueMask) == 0 &&
           (image.greenMask & image.blueMask) == 0;
}

bool supportedFormat(uint32_t bitCount, uint32_t compression) {
    switch (bitCount) {
        case 1:
        case 4:
        case 8:
        case 24: return compression == kBiRgb;
        case 16:
        case 32: return compression == kBiRgb || compression == kBiBitfields || compression == kBiAlphaBitfields;
        default: return false;
    }
}

// Decodes and checks the headers. Fills the record's fields (the 16-bit
// truncations kept for the fields nobody reads) and the layout.
bool parseHeader(const Head& head, uint64_t fileSize, BmpImage& image, Layout& layout) {
    const uint32_t headerSize = head.u32(kFileHeaderBytes);
    const uint64_t headerEnd = uint64_t{kFileHeaderBytes} + headerSize;
    if (headerEnd > fileSize) return false;
    int64_t width = 0;
    int64_t height = 0;
    uint32_t compression = kBiRgb;
    uint64_t coloursUsed = 0;
    if (headerSize == kCoreHeaderBytes) {
        width = head.u16(18);
        height = head.u16(20);
        image.planes = static_cast<uint16_t>(head.u16(22));
        image.bitCount = static_cast<uint16_t>(head.u16(24));
        layout.paletteEntryBytes = 3;
        layout.paletteStart = headerEnd;
    } else if (headerSize >= kInfoHeaderBytes) {
        width = static_cast<int32_t>(head.u32(18));
        height = static_cast<int32_t>(head.u32(22));  // negative: top-down, refused below
        image.planes = static_cast<uint16_t>(head.u16(26));
        image.bitCount = static_cast<uint16_t>(head.u16(28));
        compression = head.u32(30);
        coloursUsed = head.u32(46);
        image.compression = static_cast<int32_t>(compression & 0xFFFF);
        image.imageSize = static_cast<int32_t>(head.u32(34) & 0xFFFF);
        image.xPelsPerMeter = static_cast<int32_t>(head.u32(38) & 0xFFFF);
        image.yPelsPerMeter = static_cast<int32_t>(head.u32(42) & 0xFFFF);
        image.colorsUsed = static_cast<int32_t>(coloursUsed & 0xFFFF);
        image.colorsImportant = static_cast<int32_t>(head.u32(50) & 0xFFFF);
        const uint32_t maskBytes = compression == kBiBitfields ? 12 : compression == kBiAlphaBitfields ? 16 : 0;
        layout.paletteStart = std::max<uint64_t>(headerEnd, kMaskOffset + maskBytes);
    } else {
        return false;
    }
    if (width < 1 || height < 1 || width > static_cast<int64_t>(kMaxSide) || height > static_cast<int64_t>(kMaxSide))
        return false;
    if (layout.paletteStart > fileSize) return false;
    if (!supportedFormat(image.bitCount, compression)) return false;
    if ((image.bitCount == 16 || image.bitCount == 32) && !readMasks(head, compression, image)) return false;

    image.type = static_cast<uint16_t>(head.u16(0));
    image.fileSize = static_cast<int32_t>(head.u32(2) & 0xFFFF);
    image.reserved = head.u32(6);
    image.pixelOffset = static_cast<int32_t>(head.u32(10) & 0xFFFF);
    image.headerSize = static_cast<int32_t>(headerSize & 0xFFFF);
    image.width = static_cast<int32_t>(width);
    image.height = static_cast<int32_t>(height);

    // An indexed file stores colours-used entries, all 2^bits of them when the
    // field is 0; more than 2^bits can never be addressed, so they are not kept.
    uint64_t declared = 0;
    uint64_t addressable = 0;
    if (image.bitCount <= 8) {
        addressable = uint64_t{1} << image.bitCount;
        declared = coloursUsed != 0 ? coloursUsed : addressable;
    }
    const uint64_t offBits = head.u32(10);
    if (offBits >= layout.paletteStart) {
        // The pixel array starts where the file says; the palette can only use
        // the room before it.
        layout.pixelStart = offBits;
        const uint64_t room = (offBits - layout.paletteStart) / layout.paletteEntryBytes;
        layout.paletteEntries = std::min({declared, addressable, room});
    } else {
        // An offset pointing into the headers is plainly wrong (some writers
        // leave it 0): take the pixels to follow the declared palette.
        layout.pixelStart = layout.paletteStart + declared * layout.paletteEntryBytes;
        layout.paletteEntries = std::min(declared, addressable);
    }

    const uint64_t stride = ((uint64_t{image.bitCount} * static_cast<uint64_t>(width) + 31) >> 5) << 2;
    const uint64_t pixelBytes = stride * static_cast<uint64_t>(height);
    if (layout.pixelStart > fileSize || pixelBytes > fileSize - layout.pixelStart) return false;
    const uint64_t paletBytes = layout.paletteEntries * 4;
    if (paletBytes + pixelBytes > INT32_MAX) return false;
    image.paletBytes = static_cast<int32_t>(paletBytes);
    image.stride = static_cast<int32_t>(stride);
    image.pixelBytes = static_cast<int32_t>(pixelBytes);
    return true;
}

bool readAt(FILE* f, uint64_t offset, uint8_t* to, size_t bytes) {
    if (std::fseek(f, static_cast<long>(offset), SEEK_SET) != 0) return false;
    return std::fread(to, 1, bytes, f) == bytes;
}

// Reads the palette into 4-byte entries; 3-byte entries are spread out in
// place, from the last one backwards so none is overwritten before it moves.
bool readPalette(FILE* f, const Layout& layout, uint8_t* to) {
    const size_t entries = static_cast<size_t>(layout.paletteEntries);
    if (!readAt(f, layout.paletteStart, to, entries * layout.paletteEntryBytes)) return false;
    if (layout.paletteEntryBytes == 3) {
        for (size_t k = entries; k-- > 0;) {
            to[4 * k + 2] = to[3 * k + 2];
            to[4 * k + 1] = to[3 * k + 1];
            to[4 * k] = to[3 * k];
            to[4 * k + 3] = 0;
        }
    }
    return true;
}

uint64_t fileLength(FILE* f) {
    if (std::fseek(f, 0, SEEK_END) != 0) return 0;
    const long length = std::ftell(f);
    return length < 0 ? 0 : static_cast<uint64_t>(length);
}

const uint8_t* rowOf(const BmpImage* image, int y) {
    return image->data + image->paletBytes + image->pixelBytes - static_cast<size_t>(y + 1) * image->stride;
}

int32_t indexIn(const uint8_t* row, int bitCount, int x) {
    switch (bitCount) {
        case 1: return (row[x >> 3] >> (7 - (x & 7))) & 1;  // leftmost pixel in the top bit
        case 4: return (row[x >> 1] >> ((x & 1) ? 0 : 4)) & 0xF;  // leftmost pixel in the high nibble
        case 8: return row[x];
        default: return -1;
    }
}

// One masked component widened to 8 bits: narrower fields repeat their bit
// pattern downwards (so the largest value gives 0xFF), wider ones keep their
// top 8 bits.
uint32_t component(uint32_t pixel, uint32_t mask) {
    const int shift = std::countr_zero(mask);
    const int bits = std::popcount(mask);
    const uint32_t v = (pixel & mask) >> shift;
    if (bits >= 8) return v >> (bits - 8);
    uint32_t out = 0;
    for (int s = 8 - bits; s > -bits; s -= bits) out |= s >= 0 ? v << s : v >> -s;
    return out & 0xFF;
}

int32_t bgr(const uint8_t* p) { return p[2] << 16 | p[1] << 8 | p[0]; }

bool hasMasks(const BmpImage* image) { return image->redMask && image->greenMask && image->blueMask; }

int32_t maskedColour(const BmpImage* image, uint32_t pixel) {
    return static_cast<int32_t>(component(pixel, image->redMask) << 16 | component(pixel, image->greenMask) << 8 |
                                component(pixel, image->blueMask));
}

}  // namespace

BmpImage* bmpReadFile(const char* path) {
    File f(std::fopen(path, "rb"));
    if (!f) return nullptr;
    const uint64_t fileSize = fileLength(f.get());
    Head head;
    if (std::fseek(f.get(), 0, SEEK_SET) != 0) return nullptr;
    head.length = std::fread(head.bytes.data(), 1, head.bytes.size(), f.get());

    BmpImage fields{};
    Layout layout;
    if (!parseHeader(head, fileSize, fields, layout)) return nullptr;

    const size_t dataBytes = static_cast<size_t>(fields.paletBytes) + static_cast<size_t>(fields.pixelBytes);
    void* memory = std::malloc(sizeof(BmpImage) + dataBytes);
    if (!memory) return nullptr;
    BmpImage* image = new (memory) BmpImage(fields);
    image->data = reinterpret_cast<uint8_t*>(image + 1);
    if (!readPalette(f.get(), layout, image->data) ||
        !readAt(f.get(), layout.pixelStart, image->data + image->paletBytes, static_cast<size_t>(image->pixelBytes))) {
        bmpFree(image);
        return nullptr;
    }
    return image;
}

int bmpFree(BmpImage* image) {
    std::free(image);
    return 0;
}

int32_t bmpGetPixelRGB888(const BmpImage* image, int x, int y) {
    if (!image || x < 0 || y < 0 || x >= image->width || y >= image->height) return -1;
    const uint8_t* row = rowOf(image, y);
    switch (image->bitCount) {
        case 1:
        case 4:
        case 8: return bmpGetPlaetRGB888(image, indexIn(row, image->bitCount, x));
        // A record not filled by bmpReadFile may carry no masks: its 32-bit
        // pixels are then blue, green, red, unused, and 16-bit ones unreadable.
        case 16:
            if (!hasMasks(image)) return -1;
            return maskedColour(image, row[2 * x] | row[2 * x + 1] << 8);
        case 24: return bgr(row + 3 * x);
        case 32: {
            const uint8_t* p = row + 4 * x;
            if (!hasMasks(image)) return bgr(p);
            return maskedColour(image, p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24);
        }
        default: return -1;
    }
}

void bmpGetRowRGB888(const BmpImage* image, int y, int count, uint32_t* out) {
    if (!image || y < 0 || y >= image->height || count <= 0) {
        for (int x = 0; x < count; ++x) out[x] = static_cast<uint32_t>(bmpGetPixelRGB888(image, x, y));
        return;
    }
    const int inside = count < image->width ? count : image->width;
    const uint8_t* row = rowOf(image, y);
    switch (image->bitCount) {
        case 1:
        case 4:
        case 8:
            for (int x = 0; x < inside; ++x) {
                out[x] = static_cast<uint32_t>(bmpGetPlaetRGB888(image, indexIn(row, image->bitCount, x)));
            }
            break;
        case 24:
            for (int x = 0; x < inside; ++x) out[x] = static_cast<uint32_t>(bgr(row + 3 * x));
            break;
        case 32:
            if (!hasMasks(image)) {
                for (int x = 0; x < inside; ++x) out[x] = static_cast<uint32_t>(bgr(row + 4 * x));
                break;
            }
            [[fallthrough]];
        default:
            for (int x = 0; x < inside; ++x) out[x] = static_cast<uint32_t>(bmpGetPixelRGB888(image, x, y));
            break;
    }
    for (int x = inside; x < count; ++x) out[x] = 0xFFFFFFFFu;
}

int32_t bmpGetPixelIndex(const BmpImage* image, int x, int y) {
    if (!image || x < 0 || y < 0 || x >= image->width || y >= image->height) return -1;
    return indexIn(rowOf(image, y), image->bitCount, x);
}

int32_t bmpGetPlaetRGB888(const BmpImage* image, int k) {
    if (!image || k < 0 || k >= image->paletBytes / 4) return 0;  // no stored entry: black
    return bgr(image->data + 4 * k);
}
