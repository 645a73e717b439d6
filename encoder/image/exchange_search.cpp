// The greedy palette exchange search, evaluated incrementally.
//
// Exchanging positions m and i changes the cost of an order only in the
// palette term of those two positions and in the 8-pixel groups that hold
// pixels of the two work entries involved. Everything else is kept between
// candidates:
//
// - Per (group, work entry) the old palette numbers of that entry's pixels are
//   folded into two masks: `mixed`, the plane bits in which they differ among
//   themselves, and `same`, the bits that all of them have set. The entry's
//   share of the group's value v at position p is then
//   mixed | ((p XOR same) AND 0x3F) without looking at the pixels again.
// - The cost table counts one bits, so a group's cost splits into one count
//   per plane bit. For every entry e, the sum over its groups of the cost the
//   group would have with e moved to position p (all other entries staying)
//   is therefore forced[e] + the sum over the six bits of a per-bit count
//   chosen by bit k of p: 13 numbers per entry give this for every p.
// - Groups holding both entries of a candidate are counted wrongly by those
//   two sums; the correction is gathered per pair of entries from the groups
//   of the entry at m.
//
// A candidate then costs a few table reads. After an applied exchange only the
// groups of its two entries are folded anew; the per-entry costs and pair
// corrections of the entries in those groups are rebuilt when next asked for,
// the others stay. The cost of the current order is kept as palette term plus
// pixel term and equals what a full evaluation gives, so the logged costs are
// those of the plain search. As there, a candidate is taken only when it is
// strictly cheaper than the best so far, trying positions from the top down:
// the plain search's abandoning of an evaluation at the best cost gives the
// same outcome, since its running cost only grows.
#include <cstring>

#include "encoder/image/decode_bmp.h"

namespace {

constexpr int WORK = 2;
constexpr int ENTRIES = 128;
constexpr int POSITIONS = 64;
constexpr int PIXELS_PER_GROUP = 8;
constexpr int GROUPS = SCREEN_PIXELS / PIXELS_PER_GROUP;
constexpr int PLANE_BITS = 6;
constexpr uint8_t PLANE_MASK = 0x3F;
constexpr int32_t COST_PER_BYTE = 17;

// The distinct work entries of one 8-pixel group and their folded old numbers.
struct Group {
    uint8_t entries;
    uint8_t entry[PIXELS_PER_GROUP];
    uint8_t mixed[PIXELS_PER_GROUP];
    uint8_t same[PIXELS_PER_GROUP];
};

// Cost of the groups of one entry if it moved to position p:
// forced + sum over bits k of (bit k of p ? onOne[k] : onZero[k]).
struct EntrySums {
    int32_t forced;
    int32_t onOne[PLANE_BITS];
    int32_t onZero[PLANE_BITS];
};

Group groups[GROUPS];
uint16_t entryGroups[SCREEN_PIXELS];    // the groups of each entry, entry after entry
int32_t entryFirst[ENTRIES + 1];        // entry e's groups: entryGroups[entryFirst[e] .. entryFirst[e + 1])
EntrySums sums[ENTRIES];
uint8_t remap[ENTRIES];                 // position of each work entry under the current order
uint8_t paletDiff[POSITIONS][ENTRIES];  // components in which page entry p differs from work entry e
// Kept per entry until an exchange touches one of its groups:
int32_t entryCost[ENTRIES][POSITIONS];  // cost of the entry's groups with it moved to each position
int32_t pairFix[ENTRIES][ENTRIES];      // correction for exchanging with each partner entry
bool entryCostValid[ENTRIES];
bool pairFixValid[ENTRIES];
uint32_t groupMark[GROUPS];  // groups already listed in the current exchange
uint32_t markStamp;
uint16_t touched[GROUPS];
int32_t paletCost;  // palette term: differing components over positions below the limit
int32_t pixelCost;  // pixel term: sum of the group costs

// palneCost counts the one bits of v; the per-bit sums above rest on that.
int planeCost(unsigned v) { return palneCost[v & PLANE_MASK]; }

uint8_t share(const Group& g, int slot, int position) {
    return static_cast<uint8_t>(g.mixed[slot] | ((position ^ g.same[slot]) & PLANE_MASK));
}

// Low three and high three bits of a position apart: 16 sums instead of 64.
const int32_t* entryCosts(int e) {
    int32_t* cost = entryCost[e];
    if (entryCostValid[e]) return cost;
    const EntrySums& s = sums[e];
    int32_t low[8], high[8];
    for (int q = 0; q < 8; ++q) {
        low[q] = s.forced;
        high[q] = 0;
        for (int k = 0; k < 3; ++k) {
            low[q] += (q >> k) & 1 ? s.onOne[k] : s.onZero[k];
            high[q] += (q >> k) & 1 ? s.onOne[k + 3] : s.onZero[k + 3];
        }
    }
    for (int p = 0; p < POSITIONS; ++p) cost[p] = low[p & 7] + high[p >> 3];
    entryCostValid[e] = true;
    return cost;
}

// Folds every group of the work map against the page's map and lists the
// groups of each entry.
void buildGroups(const uint8_t* oldMap, const uint8_t* newMap) {
    int32_t perEntry[ENTRIES] = {};
    for (int g = 0; g < GROUPS; ++g) {
        Group& group = groups[g];
        group.entries = 0;
        const uint8_t* n = newMap + g * PIXELS_PER_GROUP;
        const uint8_t* o = oldMap + g * PIXELS_PER_GROUP;
        uint64_t newBytes, oldBytes;
        std::memcpy(&newBytes, n, sizeof newBytes);
        std::memcpy(&oldBytes, o, sizeof oldBytes);
        if (newBytes == n[0] * 0x0101010101010101ull) {
            // One entry over the whole group, the common case: fold the old
            // numbers eight at a time.
            uint64_t all = oldBytes, any = oldBytes;
            for (int shift = 32; shift >= 8; shift /= 2) {
                all &= all >> shift;
                any |= any >> shift;
            }
            group.entries = 1;
            group.entry[0] = n[0];
            group.same[0] = static_cast<uint8_t>(all & PLANE_MASK);
            group.mixed[0] = static_cast<uint8_t>(any & ~all & PLANE_MASK);
            ++perEntry[n[0]];
            continue;
        }
        uint8_t any[PIXELS_PER_GROUP];
        for (int j = 0; j < PIXELS_PER_GROUP; ++j) {
            const uint8_t old = o[j] & PLANE_MASK;
            int slot = 0;
            while (slot < group.entries && group.entry[slot] != n[j]) ++slot;
            if (slot == group.entries) {
                group.entry[slot] = n[j];
                group.same[slot] = old;
                any[slot] = old;
                ++group.entries;
                ++perEntry[n[j]];
            } else {
                group.same[slot] &= old;
                any[slot] |= old;
            }
        }
        for (int slot = 0; slot < group.entries; ++slot) {
            group.mixed[slot] = static_cast<uint8_t>(any[slot] & ~group.same[slot]);
        }
    }
    entryFirst[0] = 0;
    for (int e = 0; e < ENTRIES; ++e) entryFirst[e + 1] = entryFirst[e] + perEntry[e];
    int32_t next[ENTRIES];
    std::memcpy(next, entryFirst, sizeof next);
    for (int g = 0; g < GROUPS; ++g) {
        for (int slot = 0; slot < groups[g].entries; ++slot) {
            entryGroups[next[groups[g].entry[slot]]++] = static_cast<uint16_t>(g);
        }
    }
}

// Adds (sign 1) or takes away (sign -1) what group g contributes to the sums
// of its entries and to the pixel term under the current remap.
void applyGroup(int g, int sign) {
    const Group& group = groups[g];
    uint8_t shares[PIXELS_PER_GROUP];
    uint8_t value = 0;
    for (int slot = 0; slot < group.entries; ++slot) {
        shares[slot] = share(group, slot, remap[group.entry[slot]]);
        value |= shares[slot];
    }
    pixelCost += sign * planeCost(value);
    for (int slot = 0; slot < group.entries; ++slot) {
        entryCostValid[group.entry[slot]] = false;
        pairFixValid[group.entry[slot]] = false;
        uint8_t rest = 0;
        for (int t = 0; t < group.entries; ++t) {
            if (t != slot) rest |= shares[t];
        }
        // Bits in `forced` are set whatever position the entry takes; each
        // other bit is set exactly when the position's bit differs from `same`.
        const uint8_t forced = rest | group.mixed[slot];
        EntrySums& s = sums[group.entry[slot]];
        s.forced += sign * planeCost(forced);
        for (int k = 0; k < PLANE_BITS; ++k) {
            if ((forced >> k) & 1) continue;
            if ((group.same[slot] >> k) & 1) {
                s.onZero[k] += sign;
            } else {
                s.onOne[k] += sign;
            }
        }
    }
}

int32_t currentCost() { return COST_PER_BYTE * (paletCost + paletShadowCount) + pixelCost; }

// pairFix[a][b] = what the two per-entry sums get wrong in the groups that
// hold both a and b, when a and b exchange positions.
const int32_t* pairFixes(int a) {
    int32_t* fix = pairFix[a];
    if (pairFixValid[a]) return fix;
    pairFixValid[a] = true;
    std::memset(fix, 0, sizeof pairFix[a]);
    for (int32_t at = entryFirst[a]; at < entryFirst[a + 1]; ++at) {
        const Group& group = groups[entryGroups[at]];
        if (group.entries < 2) continue;
        uint8_t shares[PIXELS_PER_GROUP];
        int slotA = 0;
        for (int slot = 0; slot < group.entries; ++slot) {
            shares[slot] = share(group, slot, remap[group.entry[slot]]);
            if (group.entry[slot] == a) slotA = slot;
        }
        for (int slotB = 0; slotB < group.entries; ++slotB) {
            if (slotB == slotA) continue;
            const int b = group.entry[slotB];
            uint8_t rest = 0;
            for (int t = 0; t < group.entries; ++t) {
                if (t != slotA && t != slotB) rest |= shares[t];
            }
            const uint8_t aMoved = share(group, slotA, remap[b]);
            const uint8_t bMoved = share(group, slotB, remap[a]);
            // Exact value, minus what a's sum assumed (b staying), minus what
            // b's sum assumed (a staying), plus the current value both sums
            // took away as the cost before the exchange.
            fix[b] += planeCost(rest | aMoved | bMoved) - planeCost(rest | aMoved | shares[slotB]) -
                      planeCost(rest | shares[slotA] | bMoved) + planeCost(rest | shares[slotA] | shares[slotB]);
        }
    }
    return fix;
}

void prepare(int page, const uint8_t order[ENTRIES]) {
    const PaletEntry* pagePalet = indexPalet[page];
    const PaletEntry* work = indexPalet[WORK];
    for (int p = 0; p < ENTRIES; ++p) remap[order[p]] = static_cast<uint8_t>(p);
    paletCost = 0;
    for (int p = 0; p < limitColor; ++p) {
        for (int e = 0; e < ENTRIES; ++e) {
            paletDiff[p][e] = static_cast<uint8_t>((pagePalet[p].blue != work[e].blue) +
                                                   (pagePalet[p].red != work[e].red) +
                                                   (pagePalet[p].green != work[e].green));
        }
        paletCost += paletDiff[p][order[p]];
    }
    buildGroups(indexBmp[page], indexBmp[WORK]);
    std::memset(sums, 0, sizeof sums);
    std::memset(entryCostValid, 0, sizeof entryCostValid);
    std::memset(pairFixValid, 0, sizeof pairFixValid);
    pixelCost = 0;
    for (int g = 0; g < GROUPS; ++g) applyGroup(g, 1);
}

// Lists the groups of entry e not listed yet in this exchange.
int listGroups(int e, int listed) {
    for (int32_t at = entryFirst[e]; at < entryFirst[e + 1]; ++at) {
        const uint16_t g = entryGroups[at];
        if (groupMark[g] == markStamp) continue;
        groupMark[g] = markStamp;
        touched[listed++] = g;
    }
    return listed;
}

void exchange(uint8_t order[ENTRIES], int m, int i) {
    const int a = order[m];
    const int b = order[i];
    paletCost += paletDiff[m][b] + paletDiff[i][a] - paletDiff[m][a] - paletDiff[i][b];
    if (++markStamp == 0) {
        std::memset(groupMark, 0, sizeof groupMark);
        markStamp = 1;
    }
    const int listed = listGroups(b, listGroups(a, 0));
    for (int t = 0; t < listed; ++t) applyGroup(touched[t], -1);
    order[m] = static_cast<uint8_t>(b);
    order[i] = static_cast<uint8_t>(a);
    remap[a] = static_cast<uint8_t>(i);
    remap[b] = static_cast<uint8_t>(m);
    for (int t = 0; t < listed; ++t) applyGroup(touched[t], 1);
}

}  // namespace

int improveOrderFast(int page, uint8_t order[128]) {
    const PaletEntry* pagePalet = indexPalet[page];
    const PaletEntry* work = indexPalet[WORK];
    // The tables hold the 64 palette numbers the target has; a limit beyond
    // them is left to the plain search.
    if (limitColor > POSITIONS) return improveOrderPlain(page, order);
    paletSwapCount = 0;
    prepare(page, order);
    int exchanges = 0;
    int m = 0;
    while (m < limitColor) {
        const int a = order[m];
        if (work[a].count == 0 || (pagePalet[m].flags & PALET_LOCKED)) {
            ++m;
            continue;
        }
        const int32_t base = currentCost();
        const int32_t* costA = entryCosts(a);
        const int32_t* fix = pairFixes(a);
        const int32_t aHere = costA[m];
        int32_t best = base;
        int bestPos = -1;
        for (int i = limitColor - 1; i >= 0; --i) {
            if (i == m || (pagePalet[i].flags & PALET_LOCKED)) continue;
            const int b = order[i];
            const int32_t palet = paletDiff[m][b] + paletDiff[i][a] - paletDiff[m][a] - paletDiff[i][b];
            const int32_t* costB = entryCosts(b);
            const int32_t cost = base + COST_PER_BYTE * palet + costA[i] - aHere + costB[m] - costB[i] + fix[b];
            if (cost < best) {
                best = cost;
                bestPos = i;
            }
        }
        if (bestPos < 0) {
            ++m;
            continue;
        }
        paletSwapReport(m, order, bestPos, base, best);
        exchange(order, m, bestPos);
        ++exchanges;
        // The kept cost is exact, so it now equals best; were it ever not to,
        // stopping keeps a fault from turning into an endless search.
        if (currentCost() != best) break;
        m = 0;
    }
    return exchanges;
}
