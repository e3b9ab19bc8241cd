#include <fcntl.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <thread>

#include "platform/platform.h"
#include "rescue/console.h"

namespace {

using namespace std::chrono_literals;

// Runs fn with keys from a pipe that ends after them as standard input (a
// write-only descriptor for "(read error)"); answers what fn printed.
std::string piped(const std::string &keys, const std::function<void()> &fn, int fd = -1)
{
    int p[2] = {-1, -1};
    if (fd < 0 && (pipe(p) || write(p[1], keys.data(), keys.size()) < 0 || close(p[1])))
        return "pipe";
    const int in = fd >= 0 ? fd : keys == "(read error)" ? open("/dev/null", O_WRONLY) : p[0], saved = dup(0);
    dup2(in, STDIN_FILENO);
    testing::internal::CaptureStdout();
    fn();
    fflush(stdout);
    std::string out = testing::internal::GetCapturedStdout();
    dup2(saved, STDIN_FILENO);
    for (const int f : {saved, in == fd ? -1 : in, in == p[0] ? -1 : p[0]})
        close(f);
    return out;
}

TEST(ConsoleReadLine, KeySequences)
{
    const struct {
        const char *name;
        size_t size;
        std::string keys, text, echo;
    } cases[] = {
        {"DEL at end, LF", 16, "abc\x7f\n", "ab", "abc\b \b\n"},
        {"BS at start", 16, "\ba\r", "a", "a\n"},
        {"home, insert", 16, "abc\x01x\r", "xabc", "abc\b\b\bxabc\b\b\b\n"},
        {"left arrow, BS", 16, "abc\x1b[D\x7f\r", "ac", "abc\b\bc \b\b\n"},
        {"Ctrl-D at end, home, Ctrl-D", 16, "abc\x04\x01\x04\r", "bc", "abc\b\b\bbc \b\b\b\n"},
        {"Ctrl-B past start, Ctrl-F", 16, "ab\x02\x02\x02\x06x\r", "axb", "ab\b\baxb\b\n"},
        {"ESC [1;5C", 16, "ab\x01\x1b[1;5Cx\r", "axb", "ab\b\baxb\b\n"},
        {"right arrow stops at end, up/down", 16, "ab\x1b[C\x1b[A\x1b[Bx\r", "abx", "abx\n"},
        {"ESC then plain key", 16, "a\033b\r", "ab", "ab\n"},
        {"full: no insert, BS frees", 4, "abc\1z\6\177z\r", "zbc", "abc\b\b\b\aa\bbc \b\b\bzbc\b\b\n"},
        {"size 1", 1, "a\r", "", "\a\n"},
        {"control keys ring", 16, std::string("a\t\x00\x05\x1f", 5) + "b\r", "ab", "a\a\a\a\ab\n"},
        {"high bytes are text", 16, "\x80\xe9\xff\r", "\x80\xe9\xff", "\x80\xe9\xff\n"},
        {"Ctrl-C as a key", 16, "12\x02\x03zz\r", "12", "12\b <break>\n"},
        // Half an answer must not pass for one: "1" of "12" would pick another file.
        {"input ends mid-line", 16, "12", "", "12"},
        {"input cannot be read", 16, "(read error)", "", ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        std::string mem(c.size + 8, '\xAA');
        EXPECT_EQ(piped(c.keys, [&] { console_read_line(mem.data(), c.size); }), c.echo);
        EXPECT_EQ(mem, c.text + std::string(c.size - c.text.size(), '\0') + std::string(8, '\xAA'));
    }
}

// On a terminal: no echo, no line buffering, Ctrl-C still a signal but Ctrl-\ and
// Ctrl-Z plain keys, and the operator's settings back afterwards.
TEST(ConsoleReadKey, TerminalSettingsWhileWaiting)
{
    for (const unsigned tenths : {0u, 10u}) { // a key; a time-out long enough to watch
        SCOPED_TRACE(tenths);
        int key = -1;
        EXPECT_EQ((piped("", [&] { key = console_read_key(tenths); }), key), 0) << "input at its end: no key";
        int master = -1, slave = -1;
        ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
        termios before{}, waiting{}, after{};
        waiting.c_lflag = ICANON;
        tcgetattr(slave, &before); // canonical input with echo, as a shell leaves it
        std::thread op([&] {       // types once the reader has switched the terminal over
            for (int i = 0; i < 500 && (waiting.c_lflag & ICANON); ++i, tcgetattr(slave, &waiting))
                std::this_thread::sleep_for(10ms);
            EXPECT_EQ(write(master, "\x1c", !tenths), !tenths);
        });
        const auto start = std::chrono::steady_clock::now();
        piped(
            "", [&] { key = console_read_key(tenths); }, slave);
        const auto elapsed = std::chrono::steady_clock::now() - start;
        op.join();
        tcgetattr(slave, &after);
        EXPECT_EQ(key, tenths ? 0 : 0x1c);
        EXPECT_EQ(waiting.c_lflag & (ICANON | ECHO | ISIG), unsigned(ISIG));
        EXPECT_EQ((std::vector<int>{waiting.c_cc[VQUIT], waiting.c_cc[VSUSP], waiting.c_cc[VMIN],
                                    waiting.c_cc[VTIME]}),
                  (std::vector<int>{_POSIX_VDISABLE, _POSIX_VDISABLE, !tenths, plat_vtime(tenths)}));
        // Field by field: under qemu-ppc the whole struct does not come back byte for byte.
        EXPECT_TRUE(after.c_iflag == before.c_iflag && after.c_oflag == before.c_oflag &&
                    after.c_cflag == before.c_cflag && after.c_lflag == before.c_lflag &&
                    memcmp(after.c_cc, before.c_cc, NCCS) == 0)
            << "settings not restored";
        EXPECT_TRUE(!tenths || (elapsed > 900ms && elapsed < 1900ms)) << "no time-out, or a gone console";
        close(master);
        close(slave);
    }
}

} // namespace
