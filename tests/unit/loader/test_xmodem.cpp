#include "board_fixture.h"
#include "rescue/xmodem.h"

// After a failed switch there is no port to wait on: a wait for Enter there
// would hang the rescue menu for good, so the alarm turns that into a failure.
TEST(SerialDownloadRate, LeavingAfterAFailedEnterReturnsAtOnceAndSilently)
{
    Console console;
    alarm(5);
    serial_leave_download_rate(-1);
    alarm(0);
    EXPECT_EQ(console.text(), "");
}
