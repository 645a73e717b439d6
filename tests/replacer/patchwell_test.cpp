// The replacer, run as a program on files in a temporary folder.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include <sys/resource.h>
#include <unistd.h>

#include "support/test_support.h"

namespace {

using testsupport::lines;
using testsupport::readFile;
using testsupport::run;
using testsupport::RunResult;
using testsupport::TempDir;
using testsupport::writeFile;

const std::string kBanner = "Patchwell replacer Ver.2020.9.6";
const std::string kUsage = "patchwell [target_file] [reprace_file] [reprace_position]";

std::vector<uint8_t> pattern(size_t n, uint8_t seed) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(seed + i * 7 + i / 251);
    return v;
}

struct Files {
    TempDir dir;
    std::string target = dir.file("target.bin");
    std::string source = dir.file("source.bin");
    Files(const std::vector<uint8_t>& t, const std::vector<uint8_t>& s) {
        writeFile(target, t);
        writeFile(source, s);
    }
    RunResult patch(const std::string& position) { return run(PATCHWELL_BIN, {target, source, position}); }
};

TEST(Patchwell, CopiesSourceOverTargetAtPosition) {
    const auto target = pattern(8, 0x10);
    const auto source = pattern(10, 0xA0);
    Files f(target, source);
    const RunResult r = f.patch("4");
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(r.errors.empty());
    EXPECT_EQ(lines(r.output),
              (std::vector<std::string>{kBanner,
                                        "replacer '" + f.source + "' to '" + f.target + "'.Address=4(0x00000004)",
                                        "Complete : 10(0xA) bytes",
                                        // a disk image that changes size may no longer fit its drive
                                        "Warning: the target grew by 6 bytes, from 8 to 14"}));
    std::vector<uint8_t> expected(target.begin(), target.begin() + 4);
    expected.insert(expected.end(), source.begin(), source.end());
    EXPECT_EQ(readFile(f.target), expected);
}

TEST(Patchwell, KeepsBytesAfterTheCopiedRegion) {
    const auto target = pattern(20, 0x10);
    const auto source = pattern(5, 0xA0);
    Files f(target, source);
    const RunResult r = f.patch("3");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.output.find("grew"), std::string::npos);
    auto expected = target;
    std::copy(source.begin(), source.end(), expected.begin() + 3);
    EXPECT_EQ(readFile(f.target), expected);
}

TEST(Patchwell, EmptySourceChangesNothingAndSucceeds) {
    const auto target = pattern(16, 1);
    Files f(target, {});
    const RunResult r = f.patch("2");
    EXPECT_EQ(r.status, 0);
    const auto out = lines(r.output);
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[1], "replacer '" + f.source + "' to '" + f.target + "'.Address=2(0x00000002)");
    EXPECT_EQ(readFile(f.target), target);
}

TEST(Patchwell, PositionBasesAndTrailingText) {
    // Hexadecimal, decimal and octal spellings of the same position.
    for (const char* position : {"0x100", "256", "0400", "0X100"}) {
        Files f(std::vector<uint8_t>(0x200, 0), {0x5A});
        const RunResult r = f.patch(position);
        EXPECT_EQ(r.status, 0) << position;
        EXPECT_NE(r.output.find(".Address=256(0x00000100)"), std::string::npos) << position;
        const auto bytes = readFile(f.target);
        ASSERT_EQ(bytes.size(), 0x200u) << position;
        for (size_t i = 0; i < bytes.size(); ++i) ASSERT_EQ(bytes[i], i == 0x100 ? 0x5A : 0) << position << " at " << i;
    }
    Files f(std::vector<uint8_t>(16, 0), {0x77});
    EXPECT_EQ(f.patch("  +7").status, 0);
    std::vector<uint8_t> expected(16, 0);
    expected[7] = 0x77;
    EXPECT_EQ(readFile(f.target), expected);
}

// Anything but a whole number would put the copy where the user did not say,
// over a disk image's header as often as not.
TEST(Patchwell, PositionThatIsNotAWholeNumberWritesNothing) {
    for (const char* position : {"8k", "12abc", "abc", "", "0x", "1e3", "08", "7 "}) {
        const auto target = pattern(16, 0x30);
        Files f(target, {0x77});
        const RunResult r = f.patch(position);
        EXPECT_EQ(r.status, 1) << position;
        EXPECT_EQ(lines(r.output),
                  (std::vector<std::string>{kBanner, std::string("Position is not a whole number: ") + position}));
        EXPECT_EQ(readFile(f.target), target) << position;
    }
}

// One file as both source and target grew without end, or read back bytes it
// had already overwritten; also when the names differ.
TEST(Patchwell, SourceThatIsTheTargetIsRefused) {
    // A replacer that copied anyway would fill the disk: the runs may write
    // no file beyond 16 MiB.
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    rlimit capped = saved;
    capped.rlim_cur = std::min<rlim_t>(saved.rlim_cur, rlim_t{16} << 20);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &capped), 0);
    for (const char* position : {"0", "100", "65536"}) {
        const auto bytes = pattern(70000, 9);
        Files f(bytes, {});
        const std::string link = f.dir.file("link.bin");
        ASSERT_EQ(::link(f.target.c_str(), link.c_str()), 0);
        for (const auto& source : {f.target, link, f.dir.path() + "/./target.bin"}) {
            const RunResult r = run(PATCHWELL_BIN, {f.target, source, position});
            EXPECT_EQ(r.status, 1) << source << " at " << position;
            EXPECT_NE(r.output.find("\nSource and target are the same file\n"), std::string::npos) << source;
            EXPECT_TRUE(readFile(f.target) == bytes) << source << " at " << position;
        }
    }
    setrlimit(RLIMIT_FSIZE, &saved);
}

TEST(Patchwell, LargeSourceCopiedInPieces) {
    const auto source = pattern(70000, 3);
    Files f(std::vector<uint8_t>(100, 0xEE), source);
    const RunResult r = f.patch("0");
    EXPECT_EQ(r.status, 0);
    const auto out = lines(r.output);
    ASSERT_EQ(out.size(), 4u);
    EXPECT_EQ(out[2], "Complete : 70000(0x11170) bytes");
    EXPECT_EQ(out[3], "Warning: the target grew by 69900 bytes, from 100 to 70000");
    EXPECT_EQ(readFile(f.target), source);
}

TEST(Patchwell, PositionBeyondEndLeavesZeroGap) {
    const std::vector<uint8_t> target{1, 2, 3};
    Files f(target, {9, 8});
    EXPECT_EQ(f.patch("7").status, 0);
    EXPECT_EQ(readFile(f.target), (std::vector<uint8_t>{1, 2, 3, 0, 0, 0, 0, 9, 8}));
}

TEST(Patchwell, NegativePositionIsASeekError) {
    const auto target = pattern(8, 0x40);
    Files f(target, {1, 2, 3});
    const RunResult r = f.patch("-1");
    EXPECT_NE(r.status, 0);
    const auto out = lines(r.output);
    ASSERT_EQ(out.size(), 3u);
    EXPECT_EQ(out[1], "replacer '" + f.source + "' to '" + f.target + "'.Address=-1(0xFFFFFFFF)");
    EXPECT_EQ(out[2], "Seek error");
    EXPECT_EQ(readFile(f.target), target);
}

TEST(Patchwell, MissingFilesAreReported) {
    TempDir dir;
    const std::string present = dir.file("present.bin");
    const std::string absent = dir.file("absent.bin");
    writeFile(present, {1, 2, 3, 4});

    RunResult r = run(PATCHWELL_BIN, {present, absent, "0"});
    EXPECT_NE(r.status, 0);
    EXPECT_EQ(lines(r.output).back(), "Can't open src file");
    EXPECT_EQ(readFile(present), (std::vector<uint8_t>{1, 2, 3, 4}));

    r = run(PATCHWELL_BIN, {absent, present, "0"});
    EXPECT_NE(r.status, 0);
    EXPECT_EQ(lines(r.output).back(), "Can't open dst file");
    EXPECT_FALSE(testsupport::fileExists(absent));  // the target is never created
}

TEST(Patchwell, WrongArgumentCountPrintsUsage) {
    TempDir dir;
    const std::string a = dir.file("a.bin");
    writeFile(a, {1, 2});
    for (const auto& args : {std::vector<std::string>{a, a}, std::vector<std::string>{a, a, "0", "1"},
                             std::vector<std::string>{}}) {
        const RunResult r = run(PATCHWELL_BIN, args);
        EXPECT_NE(r.status, 0) << args.size();
        EXPECT_EQ(lines(r.output), (std::vector<std::string>{kBanner, kUsage})) << args.size();
    }
    EXPECT_EQ(readFile(a), (std::vector<uint8_t>{1, 2}));
}

TEST(Patchwell, PositionOutOfRangeOpensNothing) {
    for (const char* position : {"0x100000000", "2147483648", "-2147483649", "99999999999999999999999"}) {
        TempDir dir;
        const std::string target = dir.file("t.bin");
        // A missing source would be reported if the program got as far as opening it.
        const RunResult r = run(PATCHWELL_BIN, {target, dir.file("missing.bin"), position});
        EXPECT_NE(r.status, 0) << position;
        EXPECT_EQ(lines(r.output), (std::vector<std::string>{kBanner, std::string("Position out of range: ") + position}));
        EXPECT_FALSE(testsupport::fileExists(target));
    }
    // The largest position still fits and is tried.
    Files f({1}, {});
    EXPECT_EQ(f.patch("0x7FFFFFFF").status, 0);
}

TEST(Patchwell, FailedWritesAndReadsAreNotSuccess) {
    // /dev/full accepts the open and the seek but refuses every byte.
    if (!testsupport::fileExists("/dev/full")) GTEST_SKIP() << "no /dev/full here";
    TempDir dir;
    const std::string src = dir.file("src.bin");
    for (size_t size : {size_t{10}, size_t{70000}}) {
        writeFile(src, pattern(size, 5));
        const RunResult r = run(PATCHWELL_BIN, {"/dev/full", src, "0"});
        EXPECT_NE(r.status, 0) << size;
        EXPECT_EQ(lines(r.output).back(), "Write Error") << size;
        EXPECT_EQ(r.output.find("Complete"), std::string::npos) << size;
    }
    // A folder opens for reading but cannot be read.
    const std::string target = dir.file("t.bin");
    writeFile(target, {4, 5, 6});
    const RunResult r = run(PATCHWELL_BIN, {target, dir.path(), "0"});
    EXPECT_NE(r.status, 0);
    EXPECT_EQ(lines(r.output).back(), "Read Error");
    EXPECT_EQ(readFile(target), (std::vector<uint8_t>{4, 5, 6}));
}

}  // namespace
