// The greedy palette exchange search, evaluated incrementally.
//
// Exchanging positions m and i changes the cost of an order only in the
// palette term of those two positions and in the 8-pixel groups that hold
// pixels of the two work entries involved. Everything else is kept between
// candidates and between exchanges:
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
//   two sums; the correction is kept per pair of entries, summed over the
//   groups that hold both.
//
// A candidate then costs a few table reads. What a group contributes to the
// pixel term, to its entries' sums and to its pairs' corrections depends on
// the order only through the positions of the group's own entries (their
// shares, and the positions of a pair). An applied exchange moves two
// entries, so only the groups holding one of them can contribute differently;
// those are folded under the old and the new order and only the differences
// are applied, and every other group's part stays as it is. The kept numbers
// are therefore always exactly what folding all groups under the current
// order anew would give. The cost of the current order is kept as palette
// term plus pixel term and equals what a full evaluation gives, so the logged
// costs are those of the plain search. As there, a candidate is taken only
// when it is strictly cheaper than the best so far, trying positions from the
// top down: the plain search's abandoning of an evaluation at the best cost
// gives the same outcome, since its running cost only grows.
#include <bit>
#include <cstring>

#include "encoder/image/decode_bmp.h"

namespace {

constexpr int WORK = 2;
constexpr int ENTRIES = 128;
constexpr int POSITIONS = 64;
constexpr int PIXELS_PER_GROUP = 8;
constexpr int GROUPS = SCREEN_PIXELS / PIXELS_PER_GROUP;
constexpr uint8_t PLANE_MASK = 0x3F;
constexpr int32_t COST_PER_BYTE = 17;

// The distinct work entries of one 8-pixel group and their folded old numbers.
struct Group {
    uint8_t entries;
    uint8_t entry[PIXELS_PER_GROUP];
    uint8_t mixed[PIXELS_PER_GROUP];
    uint8_t same[PIXELS_PER_GROUP];
};

// Six per-bit counts of groups in two words, three 21-bit lanes each (bits 0-2
// of a position, then bits 3-5). A lane never holds more than the 8000 groups,
// so lanes never spill into each other once all adds and subtracts are done.
constexpr int LANE_BITS = 21;
constexpr uint64_t LANE_MASK = (uint64_t{1} << LANE_BITS) - 1;
constexpr uint64_t laneOnes(unsigned bits) {
    uint64_t v = 0;
    for (int k = 0; k < 3; ++k) v |= uint64_t{(bits >> k) & 1u} << (LANE_BITS * k);
    return v;
}
constexpr uint64_t LANE_ONES[8] = {laneOnes(0), laneOnes(1), laneOnes(2), laneOnes(3),
                                   laneOnes(4), laneOnes(5), laneOnes(6), laneOnes(7)};

// Cost of the groups of one entry if it moved to position p:
// forced + sum over bits k of (bit k of p ? onOne[k] : onZero[k]).
struct EntrySums {
    int32_t forced;
    uint64_t onOne[2];
    uint64_t onZero[2];
};

// The same as a table: cost at p = low[p & 7] + high[p >> 3].
struct EntryCosts {
    int32_t low[8];
    int32_t high[8];
};

Group groups[GROUPS];
uint16_t entryGroups[SCREEN_PIXELS];    // the groups of each entry, entry after entry
int32_t entryFirst[ENTRIES + 1];        // entry e's groups: entryGroups[entryFirst[e] .. entryFirst[e + 1])
EntrySums sums[ENTRIES];
EntryCosts costs[ENTRIES];              // built from sums when asked for
bool costsValid[ENTRIES];
int32_t pairFix[ENTRIES][ENTRIES];      // correction for exchanging two entries, both ways round
uint8_t remap[ENTRIES];                 // position of each work entry under the current order
uint8_t paletDiff[POSITIONS][ENTRIES];  // components in which page entry p differs from work entry e
uint32_t groupMark[GROUPS];             // groups already listed in the current exchange
uint32_t markStamp;
uint16_t touched[GROUPS];
int32_t paletCost;  // palette term: differing components over positions below the limit
int32_t pixelCost;  // pixel term: sum of the group costs

// palneCost counts the one bits of v; the per-bit sums above rest on that.
int planeCost(unsigned v) { return palneCost[v & PLANE_MASK]; }

uint8_t share(const Group& g, int slot, int position) {
    return static_cast<uint8_t>(g.mixed[slot] | ((position ^ g.same[slot]) & PLANE_MASK));
}

const EntryCosts& entryCosts(int e) {
    EntryCosts& c = costs[e];
    if (costsValid[e]) return c;
    const EntrySums& s = sums[e];
    int32_t one[6], zero[6];
    for (int k = 0; k < 6; ++k) {
        one[k] = static_cast<int32_t>((s.onOne[k / 3] >> (LANE_BITS * (k % 3))) & LANE_MASK);
        zero[k] = static_cast<int32_t>((s.onZero[k / 3] >> (LANE_BITS * (k % 3))) & LANE_MASK);
    }
    for (int q = 0; q < 8; ++q) {
        c.low[q] = s.forced;
        c.high[q] = 0;
        for (int k = 0; k < 3; ++k) {
            c.low[q] += (q >> k) & 1 ? one[k] : zero[k];
            c.high[q] += (q >> k) & 1 ? one[k + 3] : zero[k + 3];
        }
    }
    costsValid[e] = true;
    return c;
}

int32_t costAt(const EntryCosts& c, int p) { return c.low[p & 7] + c.high[(p >> 3) & 7]; }

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

// Adds (sign 1) or takes away (sign -1) the part of one entry's sums that a
// group gives it when the other entries' shares OR to `rest`.
void applyEntry(const Group& group, int slot, uint8_t rest, int sign) {
    // Bits in `forced` are set whatever position the entry takes; each other
    // bit is set exactly when the position's bit differs from `same`.
    const unsigned forced = rest | group.mixed[slot];
    const unsigned free = ~forced & PLANE_MASK;
    const unsigned ones = free & ~group.same[slot];
    const unsigned zeros = free & group.same[slot];
    const uint64_t s = static_cast<uint64_t>(static_cast<int64_t>(sign));
    const int e = group.entry[slot];
    EntrySums& sum = sums[e];
    sum.forced += sign * planeCost(forced);
    sum.onOne[0] += s * LANE_ONES[ones & 7];
    sum.onOne[1] += s * LANE_ONES[ones >> 3];
    sum.onZero[0] += s * LANE_ONES[zeros & 7];
    sum.onZero[1] += s * LANE_ONES[zeros >> 3];
    costsValid[e] = false;
}

// What the two per-entry sums get wrong in one group when the entries of two
// of its slots exchange positions: the exact value, minus what the first
// entry's sum assumed (the second staying), minus what the second's assumed
// (the first staying), plus the value before the exchange that both sums took
// away. As the cost counts bits, this is a sum over the bits outside the
// other entries' shares of (A'|B') - (A'|B) - (A|B') + (A|B), with A, B the
// two shares before and A', B' after: 0 where A = A' or B = B'; where both
// flip, -1 if A = B and +1 if not. A share flips on the bits where it is not
// mixed and the two positions differ (pairFlips), and there A = B exactly
// where the two `same` masks differ (`equal`).
int32_t pairValue(unsigned flips, unsigned equal) {
    return planeCost(flips & ~equal) - planeCost(flips & equal);
}

// The bits on which the shares of slots j and l, at positions pa and pb, both
// flip outside `rest` when the two exchange positions.
unsigned pairFlips(const Group& group, int j, int l, uint8_t rest, int pa, int pb) {
    return ~(rest | group.mixed[j] | group.mixed[l]) & (pa ^ pb) & PLANE_MASK;
}

void addPairFix(int a, int b, int32_t fix) {
    pairFix[a][b] += fix;
    pairFix[b][a] += fix;
}

// Shares of a group's slots at the given positions; returns their OR.
// before[t] is the OR of the shares of slots below t, after[t] of slots t up.
struct GroupShares {
    uint8_t share[PIXELS_PER_GROUP];
    uint8_t before[PIXELS_PER_GROUP + 1];
    uint8_t after[PIXELS_PER_GROUP + 1];
};

void foldShares(const Group& group, const uint8_t* position, GroupShares& s) {
    const int k = group.entries;
    s.before[0] = 0;
    for (int t = 0; t < k; ++t) {
        s.share[t] = share(group, t, position[t]);
        s.before[t + 1] = s.before[t] | s.share[t];
    }
    s.after[k] = 0;
    for (int t = k - 1; t >= 0; --t) s.after[t] = s.after[t + 1] | s.share[t];
}

// Adds what group g contributes under the current order to the pixel term,
// the sums of its entries and the pair corrections.
void addGroup(int g) {
    const Group& group = groups[g];
    const int k = group.entries;
    uint8_t position[PIXELS_PER_GROUP];
    for (int t = 0; t < k; ++t) position[t] = remap[group.entry[t]];
    GroupShares s;
    foldShares(group, position, s);
    pixelCost += planeCost(s.before[k]);
    for (int j = 0; j < k; ++j) {
        applyEntry(group, j, s.before[j] | s.after[j + 1], 1);
        uint8_t between = 0;  // OR of the shares of slots j + 1 .. l - 1
        for (int l = j + 1; l < k; ++l) {
            const unsigned flips =
                pairFlips(group, j, l, s.before[j] | between | s.after[l + 1], position[j], position[l]);
            addPairFix(group.entry[j], group.entry[l], pairValue(flips, group.same[j] ^ group.same[l]));
            between |= s.share[l];
        }
    }
}

// A group's slots side by side in one word, slot t in byte t, so that one
// operation does all of them: `lanes` has all bits of the slots in use.
constexpr uint64_t EACH_LANE = 0x0101010101010101ull;
constexpr uint64_t PLANE_LANES = EACH_LANE * PLANE_MASK;

uint64_t laneWord(const uint8_t* bytes) {
    uint64_t v;
    std::memcpy(&v, bytes, sizeof v);
    if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap64(v);
    return v;
}

uint8_t lane(uint64_t v, int t) { return static_cast<uint8_t>(v >> (8 * t)); }

uint64_t lanesBelow(int k) { return k >= PIXELS_PER_GROUP ? ~uint64_t{0} : (uint64_t{1} << (8 * k)) - 1; }

// In each lane, the OR of the lanes below it and of the lanes above it.
uint64_t orOfOthers(uint64_t v) {
    uint64_t below = v << 8, above = v >> 8;
    below |= below << 8;
    above |= above >> 8;
    below |= below << 16;
    above |= above >> 16;
    below |= below << 32;
    above |= above >> 32;
    return below | above;
}

uint8_t orOfLanes(uint64_t v) {
    v |= v >> 32;
    v |= v >> 16;
    v |= v >> 8;
    return static_cast<uint8_t>(v);
}

// Shares of all slots at the positions in `positions`.
uint64_t sharesAt(uint64_t mixed, uint64_t same, uint64_t positions, uint64_t lanes) {
    return (mixed | ((positions ^ same) & PLANE_LANES)) & lanes;
}

// Calls f(t) for every lane t in which `v` is not zero.
template <typename F>
void forLanes(uint64_t v, F f) {
    while (v != 0) {
        const int t = std::countr_zero(v) / 8;
        f(t);
        v &= ~(uint64_t{0xFF} << (8 * t));
    }
}

// Moves group g's part from the order before an exchange of entries x and y
// (at xWas and yWas then) to the current order. Only the shares of x and y
// differ between the two, so an entry's sums change only where the OR of the
// other shares does, and a pair's correction only where the bits it reads
// (pairFlips) do; everything else is left alone. All slots are worked on at
// once, a byte each.
void moveGroup(int g, int x, int y, int xWas, int yWas) {
    const Group& group = groups[g];
    const int k = group.entries;
    uint8_t nowBytes[PIXELS_PER_GROUP] = {}, wasBytes[PIXELS_PER_GROUP] = {};
    for (int t = 0; t < k; ++t) {
        const int e = group.entry[t];
        nowBytes[t] = remap[e];
        wasBytes[t] = e == x ? static_cast<uint8_t>(xWas) : e == y ? static_cast<uint8_t>(yWas) : nowBytes[t];
    }
    const uint64_t lanes = lanesBelow(k);
    const uint64_t mixed = laneWord(group.mixed) & lanes;
    const uint64_t same = laneWord(group.same) & lanes;
    const uint64_t now = laneWord(nowBytes);
    const uint64_t was = laneWord(wasBytes);
    const uint64_t sharesNow = sharesAt(mixed, same, now, lanes);
    const uint64_t sharesWas = sharesAt(mixed, same, was, lanes);
    pixelCost += planeCost(orOfLanes(sharesNow)) - planeCost(orOfLanes(sharesWas));
    if (k == 1) return;  // a lone entry's sums do not depend on the order
    const uint64_t restNow = orOfOthers(sharesNow) & lanes;
    const uint64_t restWas = orOfOthers(sharesWas) & lanes;
    forLanes(restNow ^ restWas, [&](int j) {
        applyEntry(group, j, lane(restWas, j), -1);
        applyEntry(group, j, lane(restNow, j), 1);
    });
    for (int j = 0; j + 1 < k; ++j) {
        const uint64_t slotJ = uint64_t{0xFF} << (8 * j);
        // Per lane l: the OR of the shares of all slots but j and l.
        const uint64_t pairRestNow = orOfOthers(sharesNow & ~slotJ);
        const uint64_t pairRestWas = orOfOthers(sharesWas & ~slotJ);
        const uint64_t notMixed = ~(mixed | EACH_LANE * group.mixed[j]);
        const uint64_t flipsNow = notMixed & ~pairRestNow & (now ^ EACH_LANE * lane(now, j)) & PLANE_LANES;
        const uint64_t flipsWas = notMixed & ~pairRestWas & (was ^ EACH_LANE * lane(was, j)) & PLANE_LANES;
        const uint64_t above = lanes & ~lanesBelow(j + 1);
        forLanes((flipsNow ^ flipsWas) & above, [&](int l) {
            const unsigned equal = group.same[j] ^ group.same[l];
            const int32_t fix = pairValue(lane(flipsNow, l), equal) - pairValue(lane(flipsWas, l), equal);
            if (fix != 0) addPairFix(group.entry[j], group.entry[l], fix);
        });
    }
}

int32_t currentCost() { return COST_PER_BYTE * (paletCost + paletShadowCount) + pixelCost; }

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
    std::memset(costsValid, 0, sizeof costsValid);
    std::memset(pairFix, 0, sizeof pairFix);
    pixelCost = 0;
    for (int g = 0; g < GROUPS; ++g) addGroup(g);
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
    order[m] = static_cast<uint8_t>(b);
    order[i] = static_cast<uint8_t>(a);
    remap[a] = static_cast<uint8_t>(i);
    remap[b] = static_cast<uint8_t>(m);
    for (int t = 0; t < listed; ++t) moveGroup(touched[t], a, b, m, i);
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
        const EntryCosts& costA = entryCosts(a);
        const int32_t* fix = pairFix[a];
        const int32_t aHere = costAt(costA, m);
        int32_t best = base;
        int bestPos = -1;
        for (int i = limitColor - 1; i >= 0; --i) {
            if (i == m || (pagePalet[i].flags & PALET_LOCKED)) continue;
            const int b = order[i];
            const int32_t palet = paletDiff[m][b] + paletDiff[i][a] - paletDiff[m][a] - paletDiff[i][b];
            const EntryCosts& costB = entryCosts(b);
            const int32_t cost = base + COST_PER_BYTE * palet + costAt(costA, i) - aHere + costAt(costB, m) -
                                 costAt(costB, i) + fix[b];
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
