// The reader against the public BMP test suite: good files read with the
// right colours, questionable and bad ones read or refused without harm.
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "encoder/image/bmp.h"

namespace {

namespace fs = std::filesystem;

const fs::path kSuite = fs::path(VENDREL_TESTDATA) / "bmpsuite";

struct BmpDeleter {
    void operator()(BmpImage* image) const { bmpFree(image); }
};
using BmpPtr = std::unique_ptr<BmpImage, BmpDeleter>;

BmpPtr load(const std::string& name) { return BmpPtr(bmpReadFile((kSuite / name).string().c_str())); }

std::vector<int32_t> pixels(const BmpImage& image) {
    std::vector<int32_t> out;
    for (int y = 0; y < image.height; ++y)
        for (int x = 0; x < image.width; ++x) out.push_back(bmpGetPixelRGB888(&image, x, y));
    return out;
}

class BmpSuite : public ::testing::Test {
protected:
    void SetUp() override {
        if (!fs::is_directory(kSuite)) GTEST_SKIP() << "no BMP test suite at " << kSuite;
    }
};

TEST_F(BmpSuite, EveryFileIsReadOrRefusedWithoutHarm) {
    // Run under the address sanitizer, this shows no read leaves the record.
    int files = 0;
    for (const char* group : {"g", "q", "b"}) {
        for (const auto& entry : fs::directory_iterator(kSuite / group)) {
            if (entry.path().extension() != ".bmp") continue;
            ++files;
            BmpPtr image(bmpReadFile(entry.path().string().c_str()));
            if (!image) continue;
            EXPECT_LE(static_cast<uintmax_t>(image->pixelBytes), fs::file_size(entry.path())) << entry.path();
            for (int32_t c : pixels(*image)) ASSERT_TRUE(c >= 0 && c <= 0xFFFFFF) << entry.path();
        }
    }
    EXPECT_GE(files, 90);
}

TEST_F(BmpSuite, RefusesCompressedTopDownAndBrokenFiles) {
    for (const char* name : {"g/pal4rle.bmp", "g/pal8rle.bmp", "g/pal8topdown.bmp", "q/rgb24jpeg.bmp", "q/rgb24png.bmp",
                             "q/rgb24rle24.bmp", "q/pal2.bmp", "q/rgba64.bmp", "b/badbitcount.bmp", "b/badwidth.bmp",
                             "b/reallybig.bmp", "b/rgb16-880.bmp", "b/rletopdown.bmp", "b/shortfile.bmp"})
        EXPECT_FALSE(load(name)) << name;
}

TEST_F(BmpSuite, ColourBandCornersInEveryEncoding) {
    // The picture is four colour bands 32 pixels wide, "BMP" across them; the
    // band corners are pure colours, which every encoding stores exactly.
    struct Corner {
        int x, y;
        int32_t rgb;
    };
    const Corner corners[] = {{0, 0, 0xFF0000},   {32, 0, 0x00FF00},  {64, 0, 0x0000FF},  {0, 63, 0x000000},
                              {31, 63, 0x00FFFF}, {63, 63, 0xFF00FF}, {95, 63, 0xFFFF00}};
    for (const char* name :
         {"g/pal4.bmp", "g/pal8.bmp", "g/pal8-0.bmp", "g/pal8os2.bmp", "g/pal8v4.bmp", "g/pal8v5.bmp", "g/rgb16.bmp",
          "g/rgb16-565.bmp", "g/rgb16-565pal.bmp", "g/rgb16bfdef.bmp", "g/rgb24.bmp", "g/rgb24pal.bmp", "g/rgb32.bmp",
          "g/rgb32bf.bmp", "g/rgb32bfdef.bmp", "q/pal8offs.bmp", "q/pal8oversizepal.bmp", "q/rgb16-231.bmp",
          "q/rgb32-111110.bmp", "q/rgb32-xbgr.bmp", "q/rgba16-1924.bmp", "q/rgba32-1010102.bmp", "q/rgba32abf.bmp"}) {
        auto image = load(name);
        ASSERT_TRUE(image) << name;
        ASSERT_EQ(image->width, 127) << name;
        ASSERT_EQ(image->height, 64) << name;
        for (const Corner& c : corners) EXPECT_EQ(bmpGetPixelRGB888(image.get(), c.x, c.y), c.rgb) << name << " " << c.x << "," << c.y;
    }
}

TEST_F(BmpSuite, SamePictureInDifferentLayoutsReadsTheSame) {
    const std::vector<std::vector<const char*>> families = {
        {"g/pal8.bmp", "g/pal8-0.bmp", "g/pal8os2.bmp", "g/pal8v4.bmp", "g/pal8v5.bmp", "q/pal8offs.bmp",
         "q/pal8oversizepal.bmp", "q/pal8os2sp.bmp"},
        {"g/rgb24.bmp", "g/rgb24pal.bmp", "g/rgb32.bmp", "g/rgb32bf.bmp", "g/rgb32bfdef.bmp", "q/rgb32-xbgr.bmp"},
        {"g/rgb16.bmp", "g/rgb16bfdef.bmp", "q/rgba16-5551.bmp"},
        {"g/pal1.bmp", "g/pal1wb.bmp"},  // the same two colours in the other palette order
    };
    for (const auto& family : families) {
        auto first = load(family[0]);
        ASSERT_TRUE(first) << family[0];
        const auto want = pixels(*first);
        for (size_t i = 1; i < family.size(); ++i) {
            auto image = load(family[i]);
            ASSERT_TRUE(image) << family[i];
            EXPECT_EQ(pixels(*image), want) << family[i];
        }
    }
}

}  // namespace
