#include <gtest/gtest.h>
#include <unistd.h>

#include "rescue/xmodem.h"

// After a failed switch there is no port to wait on: a wait for Enter there
// would hang the rescue menu for good, so the alarm turns that into a failure.
TEST(SerialDownloadRate, LeavingAfterAFailedEnterReturnsAtOnceAndSilently)
{
    testing::internal::CaptureStdout();
    alarm(5);
    serial_leave_download_rate(-1);
    alarm(0);
    fflush(stdout);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}
