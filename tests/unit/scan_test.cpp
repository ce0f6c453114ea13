// The argument scan and the timeout conversion, as pure code.
#include <gtest/gtest.h>

#include <climits>
#include <vector>

#include "frontend/frontend.h"
#include "parameters/parameters.h"

namespace {

// ---- timeout conversion

struct Conversion {
    const char* text;
    bool ok;
    LONG value;
};

TEST(ParseTimeout, FollowsTheToolsOwnRules) {
    const Conversion cases[] = {
        {"300", true, 300},
        {"12abc", true, 12},
        {"-5", true, -5},
        {"+7", true, 7},
        {" \t\n42", true, 42},
        {"0", true, 0},
        {"4294967296", true, 0},
        {"4294967295", true, -1},
        {"2147483648", true, INT32_MIN},
        {"-4294967295", true, 1},
        {"99999999999", true, 1215752191},
        {"000000000000000000000123", true, 123},
        {"abc", false, 0},
        {"", false, 0},
        {"-", false, 0},
        {"+-3", false, 0},
        {" ", false, 0},
        {"x12", false, 0},
    };
    for (const auto& c : cases) {
        LONG value = 99;
        EXPECT_EQ(ParseTimeout(c.text, value), c.ok) << '"' << c.text << '"';
        if (c.ok) {
            EXPECT_EQ(value, c.value) << '"' << c.text << '"';
        }
    }
}

// ---- argument scan

ScanResult Scan(std::vector<const char*> args, RunRequest& request) {
    args.insert(args.begin(), "DURUVUDE.EXE");
    return ScanArguments(static_cast<int>(args.size()), args.data(), request);
}

TEST(ScanArguments, MatchesKeywordsWithoutRegardToCase) {
    RunRequest request;
    EXPECT_EQ(Scan({"Install", "UNINSTALL", "VideoTimeout", "5"}, request), ScanResult::Ok);
    EXPECT_TRUE(request.install);
    EXPECT_TRUE(request.uninstall);
    EXPECT_TRUE(request.setTimeout);
    EXPECT_EQ(CurrentVideoTimeout, 5);
}

TEST(ScanArguments, AnythingElseIsNoKeyword) {
    for (const char* argument : {"-install", "/install", "installx", "instal", "", "videotimeout300"}) {
        RunRequest request;
        EXPECT_EQ(Scan({argument}, request), ScanResult::Usage) << argument;
    }
}

TEST(ScanArguments, TheLastTimeoutWinsAndTheScanStopsAtTheFirstProblem) {
    RunRequest request;
    EXPECT_EQ(Scan({"videotimeout", "100", "videotimeout", "200"}, request), ScanResult::Ok);
    EXPECT_EQ(CurrentVideoTimeout, 200);

    RunRequest bogusFirst;
    EXPECT_EQ(Scan({"bogus", "videotimeout", "abc"}, bogusFirst), ScanResult::Usage);
    RunRequest badValueFirst;
    EXPECT_EQ(Scan({"videotimeout", "abc", "bogus"}, badValueFirst), ScanResult::InvalidTimeout);
    RunRequest lastWithoutValue;
    EXPECT_EQ(Scan({"install", "videotimeout"}, lastWithoutValue), ScanResult::InvalidTimeout);
}

}  // namespace
