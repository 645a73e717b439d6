// Colour reduction, palette selection, GRAM conversion and the palette update
// list; palette limit, locks and the flash entry.
#pragma once

#include <cstdint>

#include "encoder/image/bmp.h"
#include "format/screen.h"  // the screen, its palette and the GRAM page layout

struct PaletEntry {
    uint8_t blue;
    uint8_t red;
    uint8_t green;
    uint8_t blueMask;
    uint8_t redMask;
    uint8_t greenMask;
    int32_t flags;    // PALET_USED | PALET_LOCKED | PALET_FLASH; free when 0
    int32_t count;    // pixels of the page image that carry this entry
    int32_t changes;  // display palettes: components still to announce (1 B, 2 R, 4 G)
};

inline constexpr int32_t PALET_USED = 1;
inline constexpr int32_t PALET_LOCKED = 2;
inline constexpr int32_t PALET_FLASH = 4;

struct PaletUpdate {
    int32_t number;   // the target's palette number 0-63
    uint8_t changes;  // 1 blue, 2 red, 4 green; 0 ends the list
    uint8_t blue;
    uint8_t red;
    uint8_t green;
};

// Bits of PaletUpdate::changes and PaletEntry::changes.
inline constexpr uint8_t CHANGE_BLUE = 1;
inline constexpr uint8_t CHANGE_RED = 2;
inline constexpr uint8_t CHANGE_GREEN = 4;
inline constexpr int32_t CHANGE_ALL = CHANGE_BLUE | CHANGE_RED | CHANGE_GREEN;

// Index of the work palette, the work map and the new GRAM page in
// indexPalet, indexBmp and gram_buf.
inline constexpr int WORK_PAGE = 2;
// Weight of one palette component or shadow copy against one changed GRAM
// byte in the cost of a palette order.
inline constexpr int32_t COST_PER_BYTE = 17;

inline constexpr int PALET_UPDATE_RECORDS = 65;

// Pages 0 and 1: what the target's display pages hold; page 2: the frame just converted.
extern uint8_t gram_buf[3][GRAM_PAGE_BYTES];
extern PaletEntry indexPalet[3][128];       // page 0, page 1, work palette
extern uint8_t indexBmp[3][SCREEN_PIXELS];  // page 0, page 1, work map
extern PaletEntry displayPalet[2][PALET_NUMBERS];
extern PaletUpdate paletUpdateList[PALET_UPDATE_RECORDS];
extern int32_t limitColor;
extern int32_t paletShadowCount;
extern int32_t paletFlashColor;
// Their values at program start.
inline constexpr int32_t LIMIT_COLOR_START = PALET_NUMBERS;
inline constexpr int32_t PALET_SHADOW_START = 1;
inline constexpr int32_t NO_FLASH_COLOR = -1;
extern const int32_t palneCost[64];

// One cost evaluation of a position order.
struct DiffRecord {
    const uint8_t* oldMap;  // the page's map
    const uint8_t* newMap;  // the work map
    uint8_t remap[128];     // palette number each work entry gets under the order tried
    int32_t threshold;
    int32_t cost;           // -1 when abandoned
};
extern DiffRecord diffList[64];

int decode_bmp_init();
int decode_bmp_term();
// Puts everything the image module holds back to its state at program start:
// pages, palettes, maps, the update list, the colour limit, the shadow count,
// the flash entry, whether a picture has moved between pages, the chosen
// searches and their working tables.
void decode_bmp_reset();

// What a frame changes in the image module, for a caller that tries a frame
// and takes it back: the pages, palettes, maps, the update list, the colour
// limit, the shadow count and the flash entry.
struct DecodeBmpState {
    uint8_t gram[3][GRAM_PAGE_BYTES];
    PaletEntry palets[3][128];
    uint8_t maps[3][SCREEN_PIXELS];
    PaletEntry shown[2][PALET_NUMBERS];
    PaletUpdate updates[PALET_UPDATE_RECORDS];
    int32_t limit, shadows, flash;
    bool pictureMoved;  // a refused frame's picture was moved to the other page
};
void decode_bmp_save(DecodeBmpState* state);
void decode_bmp_restore(const DecodeBmpState& state);
int decode_bmp_gram(int page, const BmpImage* image);
void palet_init();
int search_palet(PaletEntry* palette, const uint8_t key[3]);  // key: blue, red, green
void palet_dump(const PaletEntry* palette, const uint8_t* order);
// Pixel matching: every pixel of the image's visible part (clipped to the
// screen) onto the work palette, counting the entries' pixels against the
// page's map; false when the work palette runs out of entries. The plain one
// asks search_palet for every pixel; the fast one asks once per 12-bit colour
// of the frame and reads the image a row at a time, with the same outcome.
bool matchPixelsPlain(int page, const BmpImage* image);
bool matchPixelsFast(int page, const BmpImage* image);
using PixelMatch = bool (*)(int page, const BmpImage* image);
// Chooses the matching decode_bmp_gram runs: matchPixelsFast (the default,
// also for null) or matchPixelsPlain.
void decode_bmp_setPixelMatch(PixelMatch match);
// The caller fills oldMap, newMap and threshold; _pre takes the remap table of
// the order and starts the cost with the palette term (page palette against the
// work palette in that order); analyzeTotalDiff adds the pixel term.
void analyzeTotalDiff_pre(DiffRecord* record, const PaletEntry* pagePalet, const uint8_t* order);
int analyzeTotalDiff(DiffRecord* record);
// The greedy exchange search over positions below limitColor, page `page`
// against the work palette and map; improves `order` in place and returns the
// number of exchanges applied. Kept as the reference for any faster search.
int improveOrderPlain(int page, uint8_t order[128]);
// The same search with the same decisions, costs and log lines, but each
// candidate is evaluated from per-entry sums over the 8-pixel groups instead
// of a scan of the whole picture (exchange_search.cpp).
int improveOrderFast(int page, uint8_t order[128]);
// Clears the fast search's working tables (decode_bmp_reset calls it).
void improveOrderFastReset();
// Chooses the search that decode_bmp_gram runs: improveOrderFast (the
// default), improveOrderPlain, or a caller's wrapper around either one.
using ExchangeSearch = int (*)(int page, uint8_t order[128]);
void decode_bmp_setExchangeSearch(ExchangeSearch search);

// One applied exchange, as logged: positions m and b with their work entries
// before the exchange, the cost of the order before and after it.
struct PaletSwap {
    int32_t m;
    int32_t b;
    int32_t entryM;
    int32_t entryB;
    int32_t base;
    int32_t cost;
};
inline constexpr int PALET_SWAP_TRACE_RECORDS = 1024;
// The exchanges of the last search, in the order applied; paletSwapCount keeps
// counting past the records kept.
extern PaletSwap paletSwapTrace[PALET_SWAP_TRACE_RECORDS];
extern int32_t paletSwapCount;
// Logs one applied exchange and keeps it in the trace; both searches report
// through this before they exchange order[m] and order[b].
void paletSwapReport(int m, const uint8_t order[128], int b, int32_t base, int32_t cost);
// Builds paletUpdateList from page palette `page` against its display palette.
// After decode_bmp_repeat has moved a picture between pages, a list that runs
// full before a number of the picture is made again with those numbers first.
void paletUpdateListBuild(int page);

// For a frame that decode_bmp_gram refused on page `page`: the frame shows
// the picture of page `from` (the one before it) instead. Page `page` takes
// that picture's map and palette, page 2 becomes the picture, and the palette
// update list announces the colours page `page` does not show yet (from now
// on, lists keep every number of the picture right; see
// paletUpdateListBuild). Nothing
// changes when the two pages are the same one. Returns 0, or -1 for a page
// that does not exist.
int decode_bmp_repeat(int page, int from);
int decode_bmp_setColorLimit(int n);
int decode_bmp_palet_lock(int index, int colour, int mask, int mode);
int decode_bmp_palet_unlock(int index, int bits);
