// The BMP reader: one file read whole into one record, answering pixel and
// palette queries. Colours leave the reader as 0x00RRGGBB.
//
// Read: uncompressed bottom-up files of 1, 4, 8, 16, 24 or 32 bits per pixel
// with any information header (the old 12-byte one, 40 bytes, and the longer
// ones that extend it), colour masks for 16 and 32 bits. Refused (null):
// compressed or top-down files, other bit counts, sizes beyond 65535, and any
// file whose header promises more bytes than the file holds.
#pragma once

#include <cstdint>

struct BmpImage {
    uint16_t type;            // bfType, as read
    int32_t fileSize;         // low 16 bits of bfSize
    uint32_t reserved;        // bfReserved1 and bfReserved2
    int32_t pixelOffset;      // low 16 bits of bfOffBits
    int32_t headerSize;       // low 16 bits of biSize
    int32_t width;            // biWidth, 1..65535 (wider files are refused)
    int32_t height;           // biHeight, 1..65535 (top-down files are refused)
    uint16_t planes;
    uint16_t bitCount;
    int32_t compression;      // low 16 bits of biCompression
    int32_t imageSize;
    int32_t xPelsPerMeter;
    int32_t yPelsPerMeter;
    int32_t colorsUsed;
    int32_t colorsImportant;
    int32_t paletBytes;       // 4 x the palette entries the file really stores
    int32_t stride;           // bytes per pixel row
    int32_t pixelBytes;       // height * stride
    // Reader-private: where each component sits in a 16- or 32-bit pixel
    // (the file's colour masks, or the defaults for uncompressed files).
    uint32_t redMask;
    uint32_t greenMask;
    uint32_t blueMask;
    uint8_t* data;            // palette bytes, then pixel rows as stored; same allocation
};

BmpImage* bmpReadFile(const char* path);
int bmpFree(BmpImage* image);
// Colour of pixel (x, y), x from the left, y from the top, as 0x00RRGGBB;
// -1 when (x, y) lies outside the picture. An index without a stored palette
// entry reads as black.
int32_t bmpGetPixelRGB888(const BmpImage* image, int x, int y);
// Colours of pixels 0 .. count - 1 of row y into out, each exactly what
// bmpGetPixelRGB888 gives for it (0xFFFFFFFF where that gives -1), one switch
// on the format per row instead of per pixel.
void bmpGetRowRGB888(const BmpImage* image, int y, int count, uint32_t* out);
// Palette index of pixel (x, y) for 1, 4 and 8-bit files; -1 otherwise.
int32_t bmpGetPixelIndex(const BmpImage* image, int x, int y);
// Palette entry k as 0x00RRGGBB; black for an entry the file does not store.
int32_t bmpGetPlaetRGB888(const BmpImage* image, int k);
