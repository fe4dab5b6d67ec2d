#include <gtest/gtest.h>

#include <sstream>

#include "FakePlatform.h"
#include "UTypes/Progress.h"
#include "UTypes/Report.h"

namespace {

TEST(Progress, FormatsPercentAndRate)
{
    EXPECT_EQ(ProgressText("conv2img", 0, 200, 0), "conv2img:   0% 0.0 B/s");
    EXPECT_EQ(ProgressText("conv2img", 100, 200, 1536), "conv2img:  50% 1.5 KiB/s");
    EXPECT_EQ(ProgressText("resize", 5ll << 40, 5ll << 40, 3.0 * (1 << 30)), "resize: 100% 3.0 GiB/s");
    EXPECT_EQ(ProgressText("x", 0, 0, 0), "x: 100% 0.0 B/s");  // an empty job is done
}

TEST(Progress, DrawsOnlyOnATerminalAndClearsItsLine)
{
    FakeReset();
    std::ostringstream out;
    std::ostringstream err;
    ReportBegin(out, err, false);
    ProgressBegin("job", 1000);
    ProgressUpdate(500);
    ProgressEnd();
    EXPECT_EQ(err.str(), "");

    ReportBegin(out, err, true);
    ProgressBegin("job", 1000);
    for (int i = 1; i <= 10; ++i) {
        ProgressUpdate(i * 100);  // the fake clock moves 100 ms per look: a redraw every third call
    }
    ProgressEnd();
    const std::string shown = err.str();
    EXPECT_EQ(shown.rfind("\rjob:   0%", 0), 0u);
    EXPECT_NE(shown.find("\rjob:  30%"), std::string::npos);
    EXPECT_EQ(shown.find("\rjob:  10%"), std::string::npos);  // too soon after the last redraw
    EXPECT_EQ(shown.back(), '\r');                            // cleared, cursor at the line start
    EXPECT_EQ(out.str(), "");
}

}  // namespace
