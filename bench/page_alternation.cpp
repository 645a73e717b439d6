// What double buffering would do to frames planned by vendrel-prep --rate if
// each frame's changes went to the page it is drawn on only: reads the planned
// frames (IN/frame%05d.bmp), and writes for each frame the picture its page
// would hold (OUT/frame%05d.bmp): that page's previous picture with the tiles
// (8 x 4 pixels) that changed since the frame before. The two pages then show
// a tile sent to one of them alternately with an older picture.
//
//   page_alternation IN OUT      (built and run by bench/rate_quality.sh)
//
// Prints the frames written and the most colours one of them holds; vendrel
// refuses those above the colour limit in force.
#include <algorithm>
#include <cstdio>
#include <set>
#include <string>
#include <vector>

#include "encoder/image/bmp.h"
#include "tools/prep/output.h"

namespace {

constexpr int W = SCREEN_WIDTH;
constexpr int H = SCREEN_HEIGHT;
constexpr int TILE_W = 8;
constexpr int TILE_H = 4;

using Picture = std::vector<int32_t>;  // 0x00RRGGBB per pixel

bool readPicture(const std::string& path, Picture* p, int* colours) {
    BmpImage* image = bmpReadFile(path.c_str());
    if (!image) return false;
    p->assign(W * H, 0);
    std::set<int32_t> seen;
    for (int y = 0; y < H; ++y)
        for (int x = 0; x < W; ++x) seen.insert((*p)[y * W + x] = bmpGetPixelRGB888(image, x, y));
    bmpFree(image);
    *colours = static_cast<int>(seen.size());
    return true;
}

bool tileDiffers(const Picture& a, const Picture& b, int tx, int ty) {
    for (int y = ty * TILE_H; y < (ty + 1) * TILE_H; ++y)
        for (int x = tx * TILE_W; x < (tx + 1) * TILE_W; ++x)
            if (a[y * W + x] != b[y * W + x]) return true;
    return false;
}

// Writes a picture of at most 64 colours as vendrel-prep's BMP; false when it has more.
bool writePicture(const std::string& path, const Picture& p, int* colours) {
    static prep::ReducedFrame frame;
    std::vector<int32_t> palette;
    for (int i = 0; i < W * H; ++i) {
        size_t k = 0;
        while (k < palette.size() && palette[k] != p[i]) ++k;
        if (k == palette.size()) palette.push_back(p[i]);
        frame.index[i] = static_cast<uint8_t>(k < prep::MAX_COLOURS ? k : 0);
    }
    *colours = static_cast<int>(palette.size());
    frame.paletteSize = std::min<int>(*colours, prep::MAX_COLOURS);
    for (int k = 0; k < frame.paletteSize; ++k)
        frame.palette[k] = prep::colour12(palette[k] >> 20 & 15, palette[k] >> 12 & 15, palette[k] >> 4 & 15);
    return prep::writeFrameBmp(path.c_str(), frame);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        puts("page_alternation IN OUT");
        return 2;
    }
    Picture previous(W * H, 0), planned;
    Picture pages[2] = {Picture(W * H, 0), Picture(W * H, 0)};
    int frames = 0;
    int most = 0;
    char name[32];
    for (;; ++frames) {
        snprintf(name, sizeof name, "/frame%05d.bmp", frames);
        int colours = 0;
        if (!readPicture(argv[1] + std::string(name), &planned, &colours)) break;
        Picture& page = pages[frames % 2];
        for (int ty = 0; ty < H / TILE_H; ++ty)
            for (int tx = 0; tx < W / TILE_W; ++tx) {
                if (frames > 0 && !tileDiffers(planned, previous, tx, ty)) continue;
                for (int y = ty * TILE_H; y < (ty + 1) * TILE_H; ++y)
                    for (int x = tx * TILE_W; x < (tx + 1) * TILE_W; ++x) page[y * W + x] = planned[y * W + x];
            }
        writePicture(argv[2] + std::string(name), page, &colours);
        most = std::max(most, colours);
        previous = planned;
    }
    printf("frames %d most_colours %d\n", frames, most);
    return 0;
}
