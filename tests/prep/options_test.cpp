// Command line of vendrel-prep: frame rates become whole display-frame
// intervals, bad values are refused with one line.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tools/prep/options.h"

namespace {

prep::Parsed parse(std::vector<const char*> args, prep::Options* o, std::string* message) {
    args.insert(args.begin(), "vendrel-prep");
    return prep::parseOptions(static_cast<int>(args.size()), args.data(), o, message);
}

TEST(PrepOptions, DefaultsAreTheEncodersOwn) {
    prep::Options o;
    std::string message;
    ASSERT_EQ(parse({"in.mp4", "out"}, &o, &message), prep::Parsed::Run);
    EXPECT_EQ(o.input, "in.mp4");
    EXPECT_EQ(o.outdir, "out");
    EXPECT_EQ(o.interval, 4);
    EXPECT_EQ(o.colours, 64);
    EXPECT_EQ(o.dither, prep::Dither::None);
    EXPECT_EQ(o.fit, prep::Fit::Border);
    EXPECT_TRUE(o.audio);
}

// --fps is the highest rate: the interval is the shortest whose rate does not exceed it.
TEST(PrepOptions, FrameRateBecomesAWholeIntervalNotAbove) {
    const struct {
        const char* fps;
        int interval;
    } cases[] = {{"15", 4}, {"10", 6}, {"20", 3}, {"30", 2}, {"60", 1}, {"12", 5}, {"7", 9}, {"24", 3}, {"1", 60},
                 {"0.96", 63}, {"0.95", 63}, {"25", 3}, {"29.97", 2}, {"59.94", 1}, {"50", 2}, {"59", 2}, {"14", 5}};
    for (const auto& c : cases) {
        prep::Options o;
        std::string message;
        ASSERT_EQ(parse({"--fps", c.fps, "in", "out"}, &o, &message), prep::Parsed::Run) << c.fps;
        EXPECT_EQ(o.interval, c.interval) << c.fps;
        EXPECT_DOUBLE_EQ(prep::decodedFps(o), 60.0 / c.interval) << c.fps;
    }
}

TEST(PrepOptions, ValuesTakeEitherFormAndAnyOrder) {
    prep::Options o;
    std::string message;
    ASSERT_EQ(parse({"in", "--colors=16", "--dither", "ordered", "out", "--fit=stretch", "--no-audio", "--start",
                     "2.5", "--duration=10", "--rate", "120.5"},
                    &o, &message),
              prep::Parsed::Run);
    EXPECT_EQ(o.colours, 16);
    EXPECT_EQ(o.dither, prep::Dither::Ordered);
    EXPECT_EQ(o.fit, prep::Fit::Stretch);
    EXPECT_FALSE(o.audio);
    EXPECT_DOUBLE_EQ(o.start, 2.5);
    EXPECT_DOUBLE_EQ(o.duration, 10);
    EXPECT_DOUBLE_EQ(o.rate, 120.5);
    EXPECT_EQ(o.outdir, "out");
}

TEST(PrepOptions, FpsIsTheHighestFrameRateOfRateControl) {
    struct Case {
        std::vector<const char*> args;
        int interval;
    };
    const Case cases[] = {
        {{"--rate", "120", "in", "out"}, 4},                // 15 fps at most
        {{"--rate", "120", "--fps", "10", "in", "out"}, 6},  // the user's choice
        {{"--fps", "20", "--rate", "120", "in", "out"}, 3},
        {{"in", "out"}, 4},                                  // no rate control
    };
    for (const Case& c : cases) {
        prep::Options o;
        std::string message;
        ASSERT_EQ(parse(c.args, &o, &message), prep::Parsed::Run);
        EXPECT_EQ(o.interval, c.interval) << c.args[0] << " " << c.args[1];
    }
}

TEST(PrepOptions, PartsTakeTheIndexCapacityUnlessGiven) {
    prep::Options o;
    std::string message;
    ASSERT_EQ(parse({"in", "out"}, &o, &message), prep::Parsed::Run);
    EXPECT_EQ(o.partBlocks, 0);  // one stream, not cut
    ASSERT_EQ(parse({"--parts", "in", "out"}, &o, &message), prep::Parsed::Run);
    EXPECT_EQ(o.partBlocks, 32512);
    ASSERT_EQ(parse({"--part-blocks=150", "in", "out"}, &o, &message), prep::Parsed::Run);
    EXPECT_EQ(o.partBlocks, 150);
}

TEST(PrepOptions, HelpAndVersionWinOverMissingArguments) {
    prep::Options o;
    std::string message;
    EXPECT_EQ(parse({"-h"}, &o, &message), prep::Parsed::Help);
    EXPECT_EQ(parse({"in", "--help"}, &o, &message), prep::Parsed::Help);
    EXPECT_EQ(parse({"--version"}, &o, &message), prep::Parsed::Version);
}

TEST(PrepOptions, BadValuesAreRefusedWithTheirReason) {
    const struct {
        std::vector<const char*> args;
        const char* says;
    } cases[] = {
        {{"--colors", "48", "in", "out"}, "--colors must be 64, 32, 16, 8, 4 or 2"},
        {{"--colors", "128", "in", "out"}, "--colors must be"},
        {{"--fps", "0", "in", "out"}, "--fps needs a number"},
        {{"--fps", "0.949", "in", "out"}, "--fps needs a number from 0.95 to 60"},
        {{"--duration", "0", "in", "out"}, "--duration needs a number of seconds above 0"},
        {{"--fps", "61", "in", "out"}, "--fps needs a number"},
        {{"--fps", "15x", "in", "out"}, "--fps needs a number"},
        {{"--fps", "nan", "in", "out"}, "--fps needs a number"},
        {{"--dither", "floyd", "in", "out"}, "--dither must be none or ordered"},
        {{"--fit", "crop", "in", "out"}, "--fit must be border or stretch"},
        {{"--part-blocks", "0", "in", "out"}, "--part-blocks needs a whole number from 1 to 32512"},
        {{"--part-blocks", "32513", "in", "out"}, "--part-blocks needs a whole number"},
        {{"--part-blocks", "1.5", "in", "out"}, "--part-blocks needs a whole number"},
        {{"--start", "-1", "in", "out"}, "--start needs a number of seconds"},
        {{"--rate", "8", "in", "out"}, "--rate needs KiB per second from 16 to 100000"},
        {{"--rate", "fast", "in", "out"}, "--rate needs KiB per second"},
        {{"--speed", "2", "in", "out"}, "unknown option --speed"},
        {{"in", "out", "--fps"}, "--fps needs a value"},
        {{"in"}, "no OUTDIR given"},
        {{}, "no INPUT and OUTDIR given"},
        {{"in", "out", "more"}, "too many arguments: more"},
    };
    for (const auto& c : cases) {
        prep::Options o;
        std::string message;
        EXPECT_EQ(parse(c.args, &o, &message), prep::Parsed::Error) << c.says;
        EXPECT_NE(message.find(c.says), std::string::npos) << message;
        EXPECT_EQ(message.rfind("vendrel-prep: ", 0), 0u) << message;
    }
}

TEST(PrepOptions, DoubleDashEndsTheOptions) {
    prep::Options o;
    std::string message;
    ASSERT_EQ(parse({"--", "-odd name.mp4", "out"}, &o, &message), prep::Parsed::Run);
    EXPECT_EQ(o.input, "-odd name.mp4");
}

}  // namespace
