// TEMPORARY STUB: replaced by the colour reduction.
#include "encoder/image/decode_bmp.h"
uint8_t gram_buf[3][GRAM_PAGE_BYTES];
PaletEntry indexPalet[3][128];
uint8_t indexBmp[3][SCREEN_PIXELS];
PaletEntry displayPalet[2][64];
PaletUpdate paletUpdateList[PALET_UPDATE_RECORDS];
int32_t limitColor = 64;
int32_t paletShadowCount = 1;
int32_t paletFlashColor = -1;
const int32_t palneCost[64] = {};
DiffRecord diffList[64];
int decode_bmp_init() { return 0; }
int decode_bmp_term() { return 0; }
int decode_bmp_gram(int, const BmpImage*) { return 0; }
void palet_init() {}
int search_palet(PaletEntry*, const uint8_t*) { return -1; }
void palet_dump(const PaletEntry*, const uint8_t*) {}
void analyzeTotalDiff_pre(DiffRecord*, const PaletEntry*, const uint8_t*) {}
int analyzeTotalDiff(DiffRecord*) { return 0; }
int decode_bmp_setColorLimit(int) { return 64; }
int decode_bmp_palet_lock(int, int, int, int) { return -1; }
int decode_bmp_palet_unlock(int, int) { return -1; }
