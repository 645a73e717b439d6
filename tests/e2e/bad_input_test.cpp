// Outside input through the built programs: every file of the BMP suite, a
// full disk, and the other classes of bad input listed in docs/messages.md.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "encoder/image/bmp.h"
#include "support/stream_check.h"
#include "support/test_support.h"

using testsupport::lines;
using testsupport::readFile;
using testsupport::run;
using testsupport::TempDir;

namespace {

bool has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

std::vector<std::string> suiteFiles() {
    std::vector<std::string> files;
    const std::filesystem::path root = std::filesystem::path(VENDREL_TESTDATA) / "bmpsuite";
    for (const char* kind : {"g", "q", "b"}) {
        std::error_code ec;
        for (const auto& entry : std::filesystem::directory_iterator(root / kind, ec))
            if (entry.path().extension() == ".bmp") files.push_back(entry.path().string());
    }
    std::sort(files.begin(), files.end());
    return files;
}

// The picture the target should show for an image read by the reader: every
// component cut to its high 4 bits, black outside the image.
std::vector<uint8_t> expectedScreen(const BmpImage* image) {
    std::vector<uint8_t> rgb(320 * 200 * 3, 0);
    for (int y = 0; y < std::min(200, static_cast<int>(image->height)); ++y) {
        for (int x = 0; x < std::min(320, static_cast<int>(image->width)); ++x) {
            const uint32_t c = static_cast<uint32_t>(bmpGetPixelRGB888(image, x, y));
            uint8_t* px = &rgb[(y * 320 + x) * 3];
            px[0] = static_cast<uint8_t>(((c >> 20) & 15) * 17);
            px[1] = static_cast<uint8_t>(((c >> 12) & 15) * 17);
            px[2] = static_cast<uint8_t>(((c >> 4) & 15) * 17);
        }
    }
    return rgb;
}

}  // namespace

// Every file of the suite goes through vendrel: files the reader takes are
// encoded and decode to their own colours; the rest end with "bmp read error".
TEST(BadInput, EveryBmpSuiteFileIsEncodedRightOrRefusedCleanly) {
    const auto files = suiteFiles();
    if (files.empty()) GTEST_SKIP() << "no BMP suite at " << VENDREL_TESTDATA << "/bmpsuite";
    const std::vector<std::string> mustRead = {"pal1.bmp", "pal4.bmp", "pal8.bmp", "pal8-0.bmp", "pal8v4.bmp",
                                               "pal8v5.bmp", "rgb24.bmp", "rgb32.bmp", "rgb32bf.bmp"};
    TempDir dir;
    int encoded = 0;
    for (const auto& file : files) {
        SCOPED_TRACE(file);
        const std::string name = std::filesystem::path(file).filename().string();
        const std::string stream = dir.file("s.bin");
        const auto r = run(VENDREL_BIN, {"-c1", file, stream});
        BmpImage* image = bmpReadFile(file.c_str());
        ASSERT_EQ(r.status, image ? 0 : 1) << r.output;  // a refused first frame is a failed run
        if (file.find("/g/") != std::string::npos &&
            std::find(mustRead.begin(), mustRead.end(), name) != mustRead.end()) {
            EXPECT_NE(image, nullptr);
        }
        if (!image) {
            EXPECT_TRUE(has(r.output, ":bmp read error")) << r.output;
            continue;
        }
        ASSERT_TRUE(has(r.output, "P0[enc ")) << r.output;
        if (has(r.output, "palet work overflow")) {  // more than 64 colours: nothing to compare
            bmpFree(image);
            continue;
        }
        EXPECT_EQ(testsupport::streamViolations(stream, 1), 0);
        const auto view = run(VENDREL_VIEW_BIN, {"-c1", "--rgb", dir.file("f%d.rgb"), stream});
        ASSERT_EQ(view.status, 0) << view.output;
        EXPECT_EQ(readFile(dir.file("f0.rgb")), expectedScreen(image));
        bmpFree(image);
        ++encoded;
    }
    EXPECT_GE(encoded, 15);
}

// A full disk: the run says so and ends with a non-zero status.
TEST(BadInput, FullDiskIsReportedAsFailure) {
    if (!testsupport::fileExists("/dev/full")) GTEST_SKIP() << "no /dev/full";
    TempDir dir;
    std::vector<uint32_t> px(320 * 200);
    for (size_t i = 0; i < px.size(); ++i) px[i] = (i * 2654435761u) & 0x101010;
    testsupport::writeBmp(dir.file("f0.bmp"), 320, 200, px);
    testsupport::writeBmp(dir.file("f1.bmp"), 320, 200, std::vector<uint32_t>(320 * 200, 0xF0F0F0));
    for (const char* type : {"-c1", "-c0"}) {
        const auto r = run(VENDREL_BIN, {type, "-e1", dir.file("f%d.bmp"), "/dev/full"});
        EXPECT_EQ(r.status, 1) << type << r.output;
        EXPECT_TRUE(has(r.output, "error: could not write")) << r.output;
    }
    testsupport::writeFile(dir.file("src"), std::vector<uint8_t>(100, 1));
    const auto p = run(PATCHWELL_BIN, {"/dev/full", dir.file("src"), "0"});
    EXPECT_EQ(p.status, 1);
    EXPECT_TRUE(has(p.output, "Write Error")) << p.output;
}

// Frames that are not what they claim: each is refused and ends the loop.
TEST(BadInput, BrokenFramesEndTheLoopCleanly) {
    TempDir dir;
    const std::vector<std::vector<uint8_t>> frames = {
        {},                                            // empty
        std::vector<uint8_t>(53, 'B'),                 // shorter than the headers
        std::vector<uint8_t>(4096, 0xFF),              // absurd everything
    };
    for (const auto& bytes : frames) {
        testsupport::writeFile(dir.file("f0.bmp"), bytes);
        const auto r = run(VENDREL_BIN, {"-c1", dir.file("f%d.bmp"), dir.file("s.bin")});
        EXPECT_EQ(r.status, 1) << r.output;  // the first frame: nothing was read
        EXPECT_TRUE(has(r.output, ":bmp read error\nerror: no frame was read")) << r.output;
        EXPECT_EQ(readFile(dir.file("s.bin")).size(), 4096u);  // the index and no block
    }
    // An image larger than the screen is clipped to 320 x 200.
    testsupport::writeBmp(dir.file("f0.bmp"), 400, 260, std::vector<uint32_t>(400 * 260, 0xF00000));
    const auto r = run(VENDREL_BIN, {"-c1", dir.file("f%d.bmp"), dir.file("big.bin")});
    EXPECT_EQ(r.status, 0);
    const auto view = run(VENDREL_VIEW_BIN, {"-c1", "--rgb", dir.file("v%d.rgb"), dir.file("big.bin")});
    ASSERT_EQ(view.status, 0) << view.output;
    const auto rgb = readFile(dir.file("v0.rgb"));
    ASSERT_EQ(rgb.size(), 320u * 200 * 3);
    for (size_t i = 0; i < rgb.size(); i += 3) ASSERT_EQ(rgb[i], 0xFF) << i;  // all red
}

// Sound files that cannot be used end the run with a message and status 1,
// and the stream holds exactly what was written before: the boot code and
// the all-zero index, with no stray bytes flushed at the process's end.
TEST(BadInput, BrokenWavFilesEndTheRunLeavingBootCodeAndZeroIndex) {
    TempDir dir;
    testsupport::writeBmp(dir.file("f0.bmp"), 8, 8, std::vector<uint32_t>(64, 0x102030));
    using Bytes = std::vector<uint8_t>;
    const Bytes riffWave = {'R', 'I', 'F', 'F', 0, 0, 0, 0, 'W', 'A', 'V', 'E'};
    auto wav = [&riffWave](const Bytes& tail) {
        Bytes b = riffWave;
        b.insert(b.end(), tail.begin(), tail.end());
        return b;
    };
    const Bytes fmt12Bits = {'f', 'm', 't', ' ', 16, 0, 0, 0, 1, 0, 1, 0, 0x84, 0x1E, 0, 0,
                             0x08, 0x3D, 0, 0, 2, 0, 12, 0};
    Bytes badDepth = wav(fmt12Bits);
    badDepth.insert(badDepth.end(), {'d', 'a', 't', 'a', 4, 0, 0, 0, 1, 2, 3, 4});
    Bytes cutData = wav(fmt12Bits);
    cutData.insert(cutData.end(), {'d', 'a', 't', 'a', 4, 0});
    const std::vector<std::pair<Bytes, std::string>> cases = {
        {{}, "Error!: The file does not have RIFF chunk."},
        {{'R', 'I', 'F', 'F', 0, 0, 0, 0, 'A', 'V', 'I', ' '}, "Error!: The file is not WAV file."},
        {wav({'j', 'u', 'n', 'k'}), "Error!: The file has no fmt chunk."},
        {wav({'f', 'm', 't', ' ', 16, 0, 0, 0, 1, 0}), "Error!: The file ends inside the fmt chunk."},
        {wav(fmt12Bits), "Error!: The file has no data chunk."},
        {cutData, "Error!: The file ends inside the data chunk header."},
        {badDepth, "Error!: Inappropriate quantization bit number."},
    };
    Bytes boot(1000);
    for (size_t i = 0; i < boot.size(); ++i) boot[i] = static_cast<uint8_t>(i * 7 + 1);
    testsupport::writeFile(dir.file("boot.bin"), boot);
    for (const bool withBoot : {false, true}) {
        Bytes expected = withBoot ? boot : Bytes{};
        expected.resize(expected.size() + 4096, 0);
        std::vector<std::string> common = {"-c1", "-e19"};
        if (withBoot) common.push_back("-b" + dir.file("boot.bin"));
        auto runWith = [&](const std::string& audioOption) {
            std::vector<std::string> args = common;
            args.insert(args.end(), {audioOption, dir.file("f%d.bmp"), dir.file("s.bin")});
            return run(VENDREL_BIN, args);
        };
        for (const auto& [bytes, message] : cases) {
            SCOPED_TRACE(message + (withBoot ? " with boot code" : ""));
            testsupport::writeFile(dir.file("a.wav"), bytes);
            const auto r = runWith("-a" + dir.file("a.wav"));
            EXPECT_EQ(r.status, 1) << r.output;
            EXPECT_TRUE(has(r.output, message)) << r.output;
            EXPECT_EQ(readFile(dir.file("s.bin")), expected);
        }
        for (const std::string& audio : {std::string("-a"), "-a" + dir.file("missing.wav")}) {
            const auto r = runWith(audio);
            EXPECT_EQ(r.status, 1) << r.output;
            EXPECT_TRUE(has(r.output, "Error!: Can't open the audio file")) << r.output;
            EXPECT_EQ(readFile(dir.file("s.bin")), expected);
        }
    }
}

// Four 8 x 200 frames, the colour limit lowered to 4 from frame 1 with two
// pages: frame 1 is refused and shows frame 0 on page 1, whose positions above
// the limit then stay in use there. Frame 3 keeps two of those colours; its
// update list ran full before their numbers, and one decoded black.
TEST(BadInput, FramesAfterARefusedOneShowTheirSource) {
    const std::string data = std::string(VENDREL_TESTDATA) + "/refused-limit/";
    if (!testsupport::fileExists(data + "p.txt")) GTEST_SKIP() << "no " << data;
    TempDir dir;
    const auto r = run(VENDREL_BIN, {"-c2", "-e3", "-f" + data + "p.txt", data + "f%d.bmp", dir.file("s.bin")});
    ASSERT_EQ(r.status, 0) << r.output;
    ASSERT_TRUE(has(r.output, "f1.bmp:error:color palet overflow")) << r.output;
    const auto view = run(VENDREL_VIEW_BIN, {"-c2", "--rgb", dir.file("v%d.rgb"), dir.file("s.bin")});
    ASSERT_EQ(view.status, 0) << view.output;
    for (const auto& [frame, source] : {std::pair{0, 0}, {1, 0}, {2, 2}, {3, 3}}) {
        BmpImage* image = bmpReadFile((data + "f" + std::to_string(source) + ".bmp").c_str());
        ASSERT_NE(image, nullptr);
        char shown[32];  // (a string sum here draws a false -Wrestrict from GCC 12)
        snprintf(shown, sizeof shown, "v%d.rgb", frame);
        EXPECT_TRUE(readFile(dir.file(shown)) == expectedScreen(image))
            << "frame " << frame << " should show frame " << source;
        bmpFree(image);
    }
}
