// Colour reduction: maps each frame onto the palette of the display page it
// replaces, reorders palette numbers so that as little as possible changes on
// the target, lays the frame out as GRAM planes and lists the palette changes
// the target has to be told about. Also the colour limit, locks and flash.
#include "encoder/image/decode_bmp.h"

#include <algorithm>
#include <bit>
#include <cstdio>
#include <cstring>

#include "encoder/driver/log.h"

uint8_t gram_buf[3][GRAM_PAGE_BYTES];
PaletEntry indexPalet[3][128];
uint8_t indexBmp[3][SCREEN_PIXELS];
PaletEntry displayPalet[2][64];
PaletUpdate paletUpdateList[PALET_UPDATE_RECORDS];
int32_t limitColor = LIMIT_COLOR_START;
int32_t paletShadowCount = PALET_SHADOW_START;
int32_t paletFlashColor = NO_FLASH_COLOR;
DiffRecord diffList[64];
PaletSwap paletSwapTrace[PALET_SWAP_TRACE_RECORDS];
int32_t paletSwapCount;

namespace {

constexpr int WORK_ENTRIES = 128;    // entries of a palette: 64 positions plus 64 for new colours
constexpr uint8_t COMPONENT_MASK = 0xF0;  // the target keeps 4 bits per primary
constexpr int GROUPS_PER_ROW = SCREEN_WIDTH / 8;

constexpr int LIST_MAX = PALET_UPDATE_RECORDS - 1;  // records before the ending record

// The exchange search and the pixel matching decode_bmp_gram runs; the
// plain and the fast ones decide alike.
ExchangeSearch exchangeSearch = improveOrderFast;
PixelMatch pixelMatch = matchPixelsFast;

// Set once decode_bmp_repeat has moved a picture to the other page; from then
// on an update list that would leave a number of the picture wrong is made
// again (paletUpdateListBuild).
bool pictureMoved = false;

// The work entry each 12-bit colour was given in the current frame.
constexpr uint8_t NOT_ASKED = 0xFF;
constexpr int COLOUR_KEYS = 4096;
uint8_t entryOfColour[COLOUR_KEYS];

constexpr bool matches(const PaletEntry& e, const uint8_t key[3]) {
    return (key[1] & e.redMask) == e.red && (key[0] & e.blueMask) == e.blue &&
           (key[2] & e.greenMask) == e.green;
}

int componentDiffs(const PaletEntry& a, const PaletEntry& b) {
    return (a.blue != b.blue) + (a.red != b.red) + (a.green != b.green);
}

// Frees work entries that no pixel carries any more and moves every new colour
// (work entries 64-127) to the lowest free position below the limit.
bool placeNewColours(uint8_t order[WORK_ENTRIES]) {
    PaletEntry* work = indexPalet[WORK_PAGE];
    for (int p = 0; p < WORK_ENTRIES; ++p) order[p] = static_cast<uint8_t>(p);
    for (int w = 0; w < WORK_ENTRIES; ++w) {
        if (work[w].count == 0) work[w].flags &= ~PALET_USED;
    }
    for (int k = 0; k < PALET_NUMBERS; ++k) {
        if (work[PALET_NUMBERS + k].flags == 0) continue;
        int free = -1;
        for (int i = 0; i < limitColor; ++i) {
            if (work[order[i]].flags == 0) {
                free = i;
                break;
            }
        }
        if (free < 0) return false;
        std::swap(order[free], order[PALET_NUMBERS + k]);
    }
    return true;
}

// Cost of the order currently in `order`, evaluated in `record`.
int evaluate(DiffRecord* record, int page, const uint8_t* order, int32_t threshold) {
    record->oldMap = indexBmp[page];
    record->newMap = indexBmp[WORK_PAGE];
    record->threshold = threshold;
    analyzeTotalDiff_pre(record, indexPalet[page], order);
    return analyzeTotalDiff(record);
}

// Gathers bit 0 of each of the 8 bytes of v into the top byte, byte 0 (the
// leftmost pixel) in bit 7: byte j's bit lands on bit 63 - j, and no two
// partial products meet there or carry into the top byte.
constexpr uint64_t GATHER_BITS = 0x8040201008040201ull;
constexpr uint64_t LOW_BIT_OF_EACH_BYTE = 0x0101010101010101ull;

uint8_t layerByte(uint64_t numbers, int bit) {
    return static_cast<uint8_t>((((numbers >> bit) & LOW_BIT_OF_EACH_BYTE) * GATHER_BITS) >> 56);
}

// Writes the frame into page 2 (a copy of `page` with every pixel bit
// rewritten) and rewrites the page's map with palette numbers.
void gramConvert(int page, const uint8_t order[WORK_ENTRIES]) {
    uint8_t* gram = gram_buf[WORK_PAGE];
    std::memcpy(gram, gram_buf[page], GRAM_PAGE_BYTES);
    uint8_t number[WORK_ENTRIES];
    for (int p = 0; p < WORK_ENTRIES; ++p) number[order[p]] = static_cast<uint8_t>(p);
    const uint8_t* workMap = indexBmp[WORK_PAGE];
    uint8_t* pageMap = indexBmp[page];
    for (int y = 0; y < SCREEN_HEIGHT; ++y) {
        const int rowOffset = (y & 7) * 2048 + (y >> 3) * GROUPS_PER_ROW;
        for (int k = 0; k < GROUPS_PER_ROW; ++k) {
            const int at = y * SCREEN_WIDTH + k * 8;
            uint8_t p[8];
            for (int b = 0; b < 8; ++b) p[b] = number[workMap[at + b]];
            std::memcpy(pageMap + at, p, sizeof p);
            uint64_t numbers;
            std::memcpy(&numbers, p, sizeof numbers);
            if constexpr (std::endian::native == std::endian::big) numbers = __builtin_bswap64(numbers);
            for (int bit = 0; bit < 6; ++bit) gram[GRAM_LAYER_OF_BIT[bit] + rowOffset + k] = layerByte(numbers, bit);
        }
    }
}

// Positions 0-63 of the page palette take the work entries in their final order.
void writeBackPalet(int page, const uint8_t order[WORK_ENTRIES]) {
    for (int k = 0; k < PALET_NUMBERS; ++k) {
        const PaletEntry& from = indexPalet[WORK_PAGE][order[k]];
        PaletEntry& to = indexPalet[page][k];
        to.flags = from.flags;
        to.count = from.count;
        if ((from.flags & PALET_USED) == 0) continue;
        to.blue = from.blue;
        to.red = from.red;
        to.green = from.green;
    }
}

// Takes the colour of `from` into display entry `shown`, marking what changed.
void updateDisplay(PaletEntry& shown, const PaletEntry& from) {
    if (shown.blue != from.blue) {
        shown.blue = from.blue;
        shown.changes |= CHANGE_BLUE;
    }
    if (shown.red != from.red) {
        shown.red = from.red;
        shown.changes |= CHANGE_RED;
    }
    if (shown.green != from.green) {
        shown.green = from.green;
        shown.changes |= CHANGE_GREEN;
    }
}

}  // namespace

const int32_t palneCost[64] = {
    0, 1, 1, 2, 1, 2, 2, 3, 1, 2, 2, 3, 2, 3, 3, 4, 1, 2, 2, 3, 2, 3, 3, 4, 2, 3, 3, 4, 3, 4, 4, 5,
    1, 2, 2, 3, 2, 3, 3, 4, 2, 3, 3, 4, 3, 4, 4, 5, 2, 3, 3, 4, 3, 4, 4, 5, 3, 4, 4, 5, 4, 5, 5, 6,
};

void palet_init() {
    for (auto& palette : indexPalet) {
        for (PaletEntry& e : palette) {
            e = PaletEntry{};
            e.blueMask = e.redMask = e.greenMask = COMPONENT_MASK;
        }
        palette[0].flags = PALET_USED;
        palette[0].count = SCREEN_PIXELS;
    }
    // Colours with low bits set match nothing the reduction makes, so every
    // palette number gets announced the first time a colour covers it.
    for (int i = 0; i < PALET_NUMBERS; ++i) {
        PaletEntry& p0 = displayPalet[0][i];
        PaletEntry& p1 = displayPalet[1][i];
        p0 = PaletEntry{};
        p0.blue = static_cast<uint8_t>((i >> 4) << 2);
        p0.red = static_cast<uint8_t>(i & 0x0C);
        p0.green = static_cast<uint8_t>((i & 3) << 2);
        p1 = PaletEntry{};
        p1.blue = static_cast<uint8_t>(i >> 4);
        p1.red = static_cast<uint8_t>((i >> 2) & 3);
        p1.green = static_cast<uint8_t>(i & 3);
        for (PaletEntry* e : {&p0, &p1}) {
            e->blueMask = e->redMask = e->greenMask = COMPONENT_MASK;
            e->count = i == 0 ? SCREEN_PIXELS : 0;
            e->changes = CHANGE_ALL;
        }
    }
}

int decode_bmp_init() {
    palet_init();
    pictureMoved = false;
    std::memset(indexBmp, 0, sizeof indexBmp);
    std::memset(diffList, 0, sizeof diffList);
    return 0;
}

int decode_bmp_term() { return 0; }

void decode_bmp_reset() {
    limitColor = LIMIT_COLOR_START;
    paletShadowCount = PALET_SHADOW_START;
    paletFlashColor = NO_FLASH_COLOR;
    exchangeSearch = improveOrderFast;
    pixelMatch = matchPixelsFast;
    std::memset(gram_buf, 0, sizeof gram_buf);
    std::memset(paletUpdateList, 0, sizeof paletUpdateList);
    std::memset(paletSwapTrace, 0, sizeof paletSwapTrace);
    paletSwapCount = 0;
    std::memset(entryOfColour, 0, sizeof entryOfColour);
    improveOrderFastReset();
    decode_bmp_init();  // palettes, maps and cost records
}

void decode_bmp_save(DecodeBmpState* s) {
    std::memcpy(s->gram, gram_buf, sizeof s->gram);
    std::memcpy(s->palets, indexPalet, sizeof s->palets);
    std::memcpy(s->maps, indexBmp, sizeof s->maps);
    std::memcpy(s->shown, displayPalet, sizeof s->shown);
    std::memcpy(s->updates, paletUpdateList, sizeof s->updates);
    s->limit = limitColor;
    s->shadows = paletShadowCount;
    s->flash = paletFlashColor;
    s->pictureMoved = pictureMoved;
}

void decode_bmp_restore(const DecodeBmpState& s) {
    std::memcpy(gram_buf, s.gram, sizeof s.gram);
    std::memcpy(indexPalet, s.palets, sizeof s.palets);
    std::memcpy(indexBmp, s.maps, sizeof s.maps);
    std::memcpy(displayPalet, s.shown, sizeof s.shown);
    std::memcpy(paletUpdateList, s.updates, sizeof s.updates);
    limitColor = s.limit;
    paletShadowCount = s.shadows;
    paletFlashColor = s.flash;
    pictureMoved = s.pictureMoved;
}

void decode_bmp_setExchangeSearch(ExchangeSearch search) {
    exchangeSearch = search != nullptr ? search : improveOrderFast;
}

void decode_bmp_setPixelMatch(PixelMatch match) { pixelMatch = match != nullptr ? match : matchPixelsFast; }

int search_palet(PaletEntry* palette, const uint8_t key[3]) {
    for (int i = limitColor - 1; i >= 0; --i) {
        if ((palette[i].flags & PALET_LOCKED) && matches(palette[i], key)) return i;
    }
    for (int i = 0; i < WORK_ENTRIES; ++i) {
        if (palette[i].flags != 0 && matches(palette[i], key)) return i;
    }
    for (int i = PALET_NUMBERS; i < WORK_ENTRIES; ++i) {
        PaletEntry& e = palette[i];
        if (e.flags != 0) continue;
        e.blue = key[0] & e.blueMask;
        e.red = key[1] & e.redMask;
        e.green = key[2] & e.greenMask;
        e.count = 0;
        e.flags = PALET_USED;
        return i;
    }
    return -1;
}

bool matchPixelsPlain(int page, const BmpImage* image) {
    const int width = std::clamp<int>(image->width, 0, SCREEN_WIDTH);
    const int height = std::clamp<int>(image->height, 0, SCREEN_HEIGHT);
    PaletEntry* work = indexPalet[WORK_PAGE];
    const uint8_t* oldMap = indexBmp[page];
    uint8_t* workMap = indexBmp[WORK_PAGE];
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            // An unreadable pixel (-1) comes out as white in all components.
            const uint32_t colour = static_cast<uint32_t>(bmpGetPixelRGB888(image, x, y));
            const uint8_t key[3] = {static_cast<uint8_t>(colour), static_cast<uint8_t>(colour >> 16),
                                    static_cast<uint8_t>(colour >> 8)};
            const int w = search_palet(work, key);
            if (w < 0) return false;
            const int at = y * SCREEN_WIDTH + x;
            work[w].flags |= PALET_USED;
            work[oldMap[at]].count -= 1;
            work[w].count += 1;
            workMap[at] = static_cast<uint8_t>(w);
        }
    }
    return true;
}

namespace {

// Whether search_palet's answer for a colour depends on its top 4 bits per
// component alone and an entry it makes matches no other 12-bit colour: no
// mask reaches into the low bits, and the entries for new colours compare
// all top bits.
bool matchingSeesTwelveBits(const PaletEntry* work) {
    for (int i = 0; i < WORK_ENTRIES; ++i) {
        const PaletEntry& e = work[i];
        if (((e.blueMask | e.redMask | e.greenMask) & ~COMPONENT_MASK) != 0) return false;
        if (i >= PALET_NUMBERS && (e.blueMask & e.redMask & e.greenMask) != COMPONENT_MASK) return false;
    }
    return true;
}

uint16_t twelveBits(uint32_t colour) {
    return static_cast<uint16_t>((colour >> 12 & 0xF00) | (colour >> 8 & 0xF0) | (colour >> 4 & 0xF));
}

}  // namespace

// search_palet is asked once per 12-bit colour; later pixels of that colour
// take the same entry. That is what asking again would give. During the
// matching, flags only gain bits (no entry turns free, none gains or loses the
// locked bit), and the one other change is a new colour k making a free entry
// n of 64-127 with k's top bits under full masks, so n matches only colours
// with k's 12 bits. A colour c asked before k has other 12 bits: the entries
// that did not match c still do not, n does not either, and c's entry still
// does, so every step of search_palet finds for c what it found before.
bool matchPixelsFast(int page, const BmpImage* image) {
    PaletEntry* work = indexPalet[WORK_PAGE];
    if (!matchingSeesTwelveBits(work)) return matchPixelsPlain(page, image);
    const int width = std::clamp<int>(image->width, 0, SCREEN_WIDTH);
    const int height = std::clamp<int>(image->height, 0, SCREEN_HEIGHT);
    const uint8_t* oldMap = indexBmp[page];
    uint8_t* workMap = indexBmp[WORK_PAGE];
    std::memset(entryOfColour, NOT_ASKED, sizeof entryOfColour);
    int32_t countChange[WORK_ENTRIES] = {};
    uint32_t row[SCREEN_WIDTH];
    bool matched = true;
    for (int y = 0; y < height && matched; ++y) {
        bmpGetRowRGB888(image, y, width, row);
        const int rowStart = y * SCREEN_WIDTH;
        for (int x = 0; x < width; ++x) {
            const uint16_t colour = twelveBits(row[x]);
            uint8_t w = entryOfColour[colour];
            if (w == NOT_ASKED) {
                const uint8_t key[3] = {static_cast<uint8_t>(row[x]), static_cast<uint8_t>(row[x] >> 16),
                                        static_cast<uint8_t>(row[x] >> 8)};
                const int found = search_palet(work, key);
                if (found < 0) {
                    matched = false;
                    break;
                }
                w = static_cast<uint8_t>(found);
                work[w].flags |= PALET_USED;
                entryOfColour[colour] = w;
            }
            --countChange[oldMap[rowStart + x]];
            ++countChange[w];
            workMap[rowStart + x] = w;
        }
    }
    for (int e = 0; e < WORK_ENTRIES; ++e) work[e].count += countChange[e];
    return matched;
}

void palet_dump(const PaletEntry* palette, const uint8_t* order) {
    for (int p = 0; p < limitColor; ++p) {
        const PaletEntry& e = palette[order[p]];
        if (e.count == 0) continue;
        log_printf(LOG_PALET, "PALET %2d(%2d):used %5d:RGB(%02X.%02X.%02X)\n", p, order[p], e.count, e.red, e.green,
                   e.blue);
    }
}

void analyzeTotalDiff_pre(DiffRecord* record, const PaletEntry* pagePalet, const uint8_t* order) {
    for (int p = 0; p < WORK_ENTRIES; ++p) record->remap[order[p]] = static_cast<uint8_t>(p);
    int palette = 0;
    for (int p = 0; p < limitColor; ++p) palette += componentDiffs(pagePalet[p], indexPalet[WORK_PAGE][order[p]]);
    record->cost = COST_PER_BYTE * (palette + paletShadowCount);
}

int analyzeTotalDiff(DiffRecord* record) {
    const uint8_t* remap = record->remap;
    const uint8_t* oldRow = record->oldMap;
    const uint8_t* newRow = record->newMap;
    int32_t cost = record->cost;
    for (int y = 0; y < SCREEN_HEIGHT; ++y) {
        for (int g = 0; g < GROUPS_PER_ROW; ++g) {
            // The 8 pixels of one GRAM byte column at once: OR-folding the
            // XOR of old and new numbers leaves one bit per plane layer in
            // which any of them changes.
            const uint8_t* n = newRow + g * 8;
            const uint8_t numbers[8] = {remap[n[0]], remap[n[1]], remap[n[2]], remap[n[3]],
                                        remap[n[4]], remap[n[5]], remap[n[6]], remap[n[7]]};
            uint64_t old;
            uint64_t now;
            std::memcpy(&old, oldRow + g * 8, sizeof old);
            std::memcpy(&now, numbers, sizeof now);
            uint64_t v = old ^ now;
            v |= v >> 32;
            v |= v >> 16;
            v |= v >> 8;
            cost += palneCost[v & 0x3F];
        }
        oldRow += SCREEN_WIDTH;
        newRow += SCREEN_WIDTH;
        // The cost only grows, so a candidate that already reaches the best
        // cost found cannot win any more.
        if (cost >= record->threshold) {
            record->cost = -1;
            return -1;
        }
    }
    record->cost = cost;
    return cost;
}

void paletSwapReport(int m, const uint8_t order[128], int b, int32_t base, int32_t cost) {
    log_printf(LOG_PALET, " PALET_SWAP[%2d(%2d) <-> %2d(%2d)] : cost down %d -> %d \n", m, order[m], b, order[b], base,
               cost);
    if (paletSwapCount < PALET_SWAP_TRACE_RECORDS) {
        paletSwapTrace[paletSwapCount] = {m, b, order[m], order[b], base, cost};
    }
    ++paletSwapCount;
}

int improveOrderPlain(int page, uint8_t order[128]) {
    const PaletEntry* pagePalet = indexPalet[page];
    const PaletEntry* work = indexPalet[WORK_PAGE];
    paletSwapCount = 0;
    int exchanges = 0;
    int m = 0;
    while (m < limitColor) {
        if (work[order[m]].count == 0) {
            ++m;
            continue;
        }
        const int base = evaluate(&diffList[0], page, order, INT32_MAX);
        int best = base;
        int bestPos = -1;
        for (int i = limitColor - 1; i >= 0; --i) {
            if (i == m) continue;
            if ((pagePalet[m].flags & PALET_LOCKED) || (pagePalet[i].flags & PALET_LOCKED)) continue;
            std::swap(order[m], order[i]);
            const int cost = evaluate(&diffList[i], page, order, best);
            if (cost >= 0 && cost < best) {
                best = cost;
                bestPos = i;
            }
            std::swap(order[m], order[i]);
        }
        if (bestPos < 0) {
            ++m;
            continue;
        }
        paletSwapReport(m, order, bestPos, base, best);
        std::swap(order[m], order[bestPos]);
        ++exchanges;
        m = 0;
    }
    return exchanges;
}

namespace {

// Appends display entry g to the update list when it has changes to announce
// and the list has room; a full list leaves them pending for a later frame.
void listAppend(PaletEntry& e, int g, int* records) {
    if (e.changes == 0 || *records >= LIST_MAX) return;
    log_printf(LOG_PALET, "%02X[%d]:", g, e.changes);
    paletUpdateList[*records] = {g, static_cast<uint8_t>(e.changes), e.blue, e.red, e.green};
    e.changes = 0;
    ++*records;
    paletUpdateList[*records].changes = 0;
}

// The list in position order: each used position's colour goes to its own
// number and to its shadow copies, the numbers limitColor apart.
void buildListInOrder(int page) {
    const PaletEntry* pagePalet = indexPalet[page];
    PaletEntry* shown = displayPalet[page];
    int records = 0;
    paletUpdateList[0].changes = 0;
    for (int t = 0; t < PALET_NUMBERS; ++t) {
        const PaletEntry& from = pagePalet[t];
        if (from.flags != PALET_USED) continue;
        log_printf(LOG_PALET, "PAL[%2d]=RGB(%02X.%02X.%02X): ", t, from.red, from.green, from.blue);
        for (int s = 0; s < PALET_NUMBERS; s += limitColor) {
            const int g = s | t;
            updateDisplay(shown[g], from);
            listAppend(shown[g], g, &records);
        }
        log_printf(LOG_PALET, "%c", 10);
    }
}

// True when the number of a position in use still has a change pending: the
// list ran full before it, and the target shows that number in another colour
// (often that of a lower position's shadow copy listed just before).
bool shownNumberPending(int page) {
    for (int t = 0; t < PALET_NUMBERS; ++t) {
        if (indexPalet[page][t].flags == PALET_USED && displayPalet[page][t].changes != 0) return true;
    }
    return false;
}

// The list with the numbers the picture shows first, one record each, so
// that they always fit; then the shadow copies, except over the number of a
// position in use, which a shadow copy would only overwrite for that number to
// be listed again.
void buildListShownFirst(int page) {
    const PaletEntry* pagePalet = indexPalet[page];
    PaletEntry* shown = displayPalet[page];
    int records = 0;
    paletUpdateList[0].changes = 0;
    for (int t = 0; t < PALET_NUMBERS; ++t) {
        if (pagePalet[t].flags != PALET_USED) continue;
        updateDisplay(shown[t], pagePalet[t]);
        listAppend(shown[t], t, &records);
    }
    for (int t = 0; t < PALET_NUMBERS; ++t) {
        if (pagePalet[t].flags != PALET_USED) continue;
        for (int s = limitColor; s < PALET_NUMBERS; s += limitColor) {
            const int g = s | t;
            if (g == t || (pagePalet[g].flags & PALET_USED)) continue;
            updateDisplay(shown[g], pagePalet[t]);
            listAppend(shown[g], g, &records);
        }
    }
}

}  // namespace

// Positions at or above a lowered limit that are still in use have numbers
// that are also shadow copies of lower positions; each list writes such a
// number twice, the shadow copy first, and with a low limit the list can run
// full between the two. Once a picture has moved to the other page (a refused
// frame with two pages), that page holds such positions from a limit it never
// had, and a list that runs full there would leave a number of the picture in
// the wrong colour: it is then made again with the picture's numbers first.
// Streams in which no picture moved keep the lists they have always had.
void paletUpdateListBuild(int page) {
    PaletEntry before[PALET_NUMBERS];
    if (pictureMoved) std::memcpy(before, displayPalet[page], sizeof before);
    buildListInOrder(page);
    if (pictureMoved && shownNumberPending(page)) {
        std::memcpy(displayPalet[page], before, sizeof before);
        buildListShownFirst(page);
    }
    displayPalet[1 - page][0] = displayPalet[page][0];
}

int decode_bmp_gram(int page, const BmpImage* image) {
    if (page < 0 || page > 1 || image == nullptr) return -1;
    std::memcpy(indexBmp[WORK_PAGE], indexBmp[page], SCREEN_PIXELS);
    std::memcpy(indexPalet[WORK_PAGE], indexPalet[page], sizeof indexPalet[WORK_PAGE]);
    if (!pixelMatch(page, image)) {
        puts("palet work overflow");
        return -1;
    }
    uint8_t order[WORK_ENTRIES];
    if (!placeNewColours(order)) {
        puts("error:color palet overflow");
        return -1;
    }
    palet_dump(indexPalet[WORK_PAGE], order);
    exchangeSearch(page, order);
    gramConvert(page, order);
    writeBackPalet(page, order);
    paletUpdateListBuild(page);
    palet_dump(indexPalet[WORK_PAGE], order);
    return 0;
}

int decode_bmp_repeat(int page, int from) {
    if (page < 0 || page > 1 || from < 0 || from > 1) return -1;
    if (page == from) return 0;
    pictureMoved = true;
    // The pixel bytes and the record of the picture move as they are; the
    // non-pixel bytes of the two pages are alike, as nothing ever writes them.
    std::memcpy(gram_buf[WORK_PAGE], gram_buf[from], GRAM_PAGE_BYTES);
    std::memcpy(indexBmp[page], indexBmp[from], SCREEN_PIXELS);
    std::memcpy(indexPalet[page], indexPalet[from], sizeof indexPalet[page]);
    paletUpdateListBuild(page);
    return 0;
}

int decode_bmp_setColorLimit(int n) {
    if (n == limitColor) return limitColor;
    struct Step {
        int from;
        int32_t limit;
        int32_t shadows;
    };
    // A limit below 64 repeats each colour over 64 / limit palette numbers.
    static constexpr Step steps[] = {{64, 64, 1}, {32, 32, 1}, {16, 16, 2}, {8, 8, 4}, {4, 4, 8}};
    limitColor = 2;
    paletShadowCount = 16;
    for (const Step& s : steps) {
        if (n >= s.from) {
            limitColor = s.limit;
            paletShadowCount = s.shadows;
            break;
        }
    }
    return limitColor;
}

namespace {

bool lockRefused(int index) {
    if (index < 0 || index >= limitColor) return true;
    return (indexPalet[0][index].flags & PALET_USED) || (indexPalet[1][index].flags & PALET_USED);
}

}  // namespace

int decode_bmp_palet_lock(int index, int colour, int mask, int mode) {
    if (lockRefused(index)) return -1;
    const int bits = mode & (PALET_LOCKED | PALET_FLASH);
    printf("palet lock %02X=RGB(%06X,%06X),l=%02X,u=%02X\n", static_cast<unsigned>(index),
           static_cast<unsigned>(colour), static_cast<unsigned>(mask), static_cast<unsigned>(bits), 0u);
    for (int page = 0; page < 2; ++page) {
        PaletEntry& e = indexPalet[page][index];
        if (mode & PALET_LOCKED) {
            e.blue = static_cast<uint8_t>(colour);
            e.red = static_cast<uint8_t>(colour >> 16);
            e.green = static_cast<uint8_t>(colour >> 8);
            e.blueMask = static_cast<uint8_t>(mask);
            e.redMask = static_cast<uint8_t>(mask >> 16);
            e.greenMask = static_cast<uint8_t>(mask >> 8);
        }
        e.flags |= bits;
    }
    return 0;
}

int decode_bmp_palet_unlock(int index, int bits) {
    if (lockRefused(index)) return -1;
    printf("palet lock %02X=RGB(%06X,%06X),l=%02X,u=%02X\n", static_cast<unsigned>(index), 0u, 0u, 0u,
           static_cast<unsigned>(bits));
    for (int page = 0; page < 2; ++page) indexPalet[page][index].flags &= ~bits;
    return 0;
}
