// TEMPORARY STUB: replaced by the BMP reader.
#include "encoder/image/bmp.h"
BmpImage* bmpReadFile(const char*) { return nullptr; }
int bmpFree(BmpImage*) { return 0; }
int32_t bmpGetPixelRGB888(const BmpImage*, int, int) { return -1; }
int32_t bmpGetPixelIndex(const BmpImage*, int, int) { return -1; }
int32_t bmpGetPlaetRGB888(const BmpImage*, int) { return 0; }
