// The BMP reader: one file read whole into one record, answering pixel and
// palette queries. Colours leave the reader as 0x00RRGGBB.
#pragma once

#include <cstdint>

struct BmpImage {
    uint16_t type;            // bfType, as read
    int32_t fileSize;         // low 16 bits of bfSize
    uint32_t reserved;        // bfReserved1 and bfReserved2
    int32_t pixelOffset;      // low 16 bits of bfOffBits
    int32_t headerSize;       // low 16 bits of biSize
    int32_t width;            // low 16 bits of biWidth
    int32_t height;           // low 16 bits of biHeight
    uint16_t planes;
    uint16_t bitCount;
    int32_t compression;      // low 16 bits of biCompression
    int32_t imageSize;
    int32_t xPelsPerMeter;
    int32_t yPelsPerMeter;
    int32_t colorsUsed;
    int32_t colorsImportant;
    int32_t paletBytes;       // bytes of palette held in data
    int32_t stride;           // bytes per pixel row
    int32_t pixelBytes;       // height * stride
    // Reader-private layout details (colour masks of 16-bit files and the like)
    // live behind the public fields; see bmp.cpp.
    uint32_t redMask;
    uint32_t greenMask;
    uint32_t blueMask;
    uint8_t* data;            // palette bytes, then pixel rows as stored; same allocation
};

BmpImage* bmpReadFile(const char* path);
int bmpFree(BmpImage* image);
// Colour of pixel (x, y), y from the top; -1 for unsupported bit counts.
int32_t bmpGetPixelRGB888(const BmpImage* image, int x, int y);
int32_t bmpGetPixelIndex(const BmpImage* image, int x, int y);
int32_t bmpGetPlaetRGB888(const BmpImage* image, int k);
