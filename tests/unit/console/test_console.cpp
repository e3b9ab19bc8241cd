#include <chrono>
#include <cstring>
#include <vector>

#include "platform/platform.h"
#include "pty_session.h"
#include "rescue/console.h"

namespace {

// The whole buffer and a guard area behind it, as the child saw them afterwards.
std::string read_line_child(size_t size)
{
    std::string mem(size + 8, '\xAA');
    console_read_line(mem.data(), size);
    return mem;
}

std::string expected_memory(const std::string &text, size_t size)
{
    return text + std::string(size - text.size(), '\0') + std::string(8, '\xAA');
}

TEST(ConsoleReadLine, KeySequences)
{
    struct Case {
        const char *name;
        size_t size;
        std::string keys, text, echo;
        bool isig = true;
    };
    const Case cases[] = {
        {"typing, CR", 16, "abc\r", "abc", "abc\n"},
        {"typing, LF", 16, "abc\n", "abc", "abc\n"},
        {"DEL at end", 16, "abc\x7f\r", "ab", "abc\b \b\n"},
        {"BS at end", 16, "abc\b\r", "ab", "abc\b \b\n"},
        {"BS at start", 16, "\177a\r", "a", "a\n"},
        {"ESC then BS", 16, "abc\x1b\x7f\r", "ab", "abc\b \b\n"},
        {"home, insert", 16, "abc\x01x\r", "xabc", "abc\b\b\bxabc\b\b\b\n"},
        {"left arrow, BS", 16, "abc\x1b[D\x7f\r", "ac", "abc\b\bc \b\b\n"},
        {"home, Ctrl-D", 16, "abc\x01\x04\r", "bc", "abc\b\b\bbc \b\b\b\n"},
        {"Ctrl-D at end", 16, "ab\x04\r", "ab", "ab\n"},
        {"Ctrl-B, Ctrl-F", 16, "ab\x02\x02\x02\x06x\r", "axb", "ab\b\baxb\b\n"},
        {"ESC [1;5C", 16, "ab\x01\x1b[1;5Cx\r", "axb", "ab\b\baxb\b\n"},
        {"right arrow stops at end", 16, "ab\x1b[C\x1b[Cx\r", "abx", "abx\n"},
        {"up/down arrows", 16, "ab\x1b[A\x1b[B\r", "ab", "ab\n"},
        {"ESC then plain key", 16, "a\033b\r", "ab", "ab\n"},
        {"insert in the middle", 16, "abcd\x02\x02X\r", "abXcd", "abcd\b\bXcd\b\b\n"},
        {"size 8, nine digits", 8, "123456789\r", "1234567", "1234567\a\a\n"},
        {"full: no insert, BS frees", 4, "abc\1z\6\177z\r", "zbc", "abc\b\b\b\aa\bbc \b\b\bzbc\b\b\n"},
        {"size 1", 1, "a\r", "", "\a\n"},
        {"control keys ring", 16, std::string("a\t\x00\x05\x1f", 5) + "b\r", "ab", "a\a\a\a\ab\n"},
        {"high bytes are text", 16, "\x80\xe9\xff\r", "\x80\xe9\xff", "\x80\xe9\xff\n"},
        {"Ctrl-C as a key", 16, "12\x02\x03zz\r", "12", "12\b <break>\n", false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        PtySession pty(ECHO | ICANON | (c.isig ? 0 : ISIG), [&] { return read_line_child(c.size); });
        pty.send(c.keys);
        EXPECT_EQ(pty.finish(), expected_memory(c.text, c.size));
        EXPECT_EQ(pty.echo, c.echo);
    }
}

// Keys sent one group at a time, each after the child has taken the previous ones
// and waits again, so signal keys meet the key-wait settings.
TEST(ConsoleReadLine, SignalKeys)
{
    struct Case {
        const char *name;
        std::vector<std::string> groups;
        std::string text, echo;
        int flag;
    };
    const Case cases[] = {
        {"SIGINT rings, input goes on", {"12", "\x03", "3\r"}, "123", "12\a3\n", 1},
        {"Ctrl-\\ and Ctrl-Z are plain keys", {"a", "\x1c", "\x1a", "b\r"}, "ab", "a\a\ab\n", 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        PtySession pty(ECHO | ICANON, [] {
            std::string r = read_line_child(16);
            return r + char('0' + interruptRequested);
        });
        for (const std::string &g : c.groups) {
            pty.wait_idle();
            pty.send(g);
        }
        EXPECT_EQ(pty.finish(), expected_memory(c.text, 16) + char('0' + c.flag));
        EXPECT_EQ(pty.echo, c.echo);
    }
}

// Half an answer must not pass for one: "1" of "12" would pick another file.
TEST(ConsoleReadLine, HangUpGivesAnEmptyLine)
{
    PtySession pty(ECHO | ICANON, [] { return read_line_child(16); });
    pty.send("12");
    pty.wait_idle();
    pty.hang_up();
    EXPECT_EQ(pty.finish(), expected_memory("", 16));
}

// Key, interrupt flag and whether the operator's settings were back afterwards.
std::string read_key_child(unsigned tenths)
{
    termios before{}, after{};
    tcgetattr(STDIN_FILENO, &before);
    const auto start = std::chrono::steady_clock::now();
    const int key = console_read_key(tenths);
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
    tcgetattr(STDIN_FILENO, &after);
    const bool restored = before.c_lflag == after.c_lflag && memcmp(before.c_cc, after.c_cc, NCCS) == 0;
    char out[64];
    snprintf(out, sizeof out, "%d %d %d %lld", key, interruptRequested, restored, (long long)ms.count());
    return out;
}

int report_field(const std::string &r, int index)
{
    int v[4] = {-1, -1, -1, -1};
    sscanf(r.c_str(), "%d %d %d %d", &v[0], &v[1], &v[2], &v[3]);
    return v[index];
}

bool awaiting_key(const termios &t) { return (t.c_lflag & (ICANON | ECHO)) == 0; }

TEST(ConsoleReadKey, KeyWaitSettingsAndRestore)
{
    struct Case {
        unsigned tenths;
        std::string key;
        int want;
    };
    const Case cases[] = {{0, "x", 'x'}, {0, "\xff", 255}, {5, "Y", 'Y'}, {300, "\x1c", 0x1c}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.tenths);
        PtySession pty(0 /* canonical input with echo, as left by the shell */,
                       [&] { return read_key_child(c.tenths); });
        pty.wait_until(awaiting_key);
        const termios waiting = pty.settings();
        pty.send(c.key);
        const std::string r = pty.finish();
        EXPECT_EQ(waiting.c_lflag & (ICANON | ECHO), 0u);
        EXPECT_NE(waiting.c_lflag & ISIG, 0u);
        EXPECT_EQ(waiting.c_cc[VMIN], c.tenths ? 0 : 1);
        EXPECT_EQ(waiting.c_cc[VTIME], c.tenths ? plat_vtime(c.tenths) : 0);
        EXPECT_EQ(report_field(r, 0), c.want) << r;
        EXPECT_EQ(report_field(r, 2), 1) << "settings not restored: " << r;
        EXPECT_EQ(pty.echo, "");
    }
}

TEST(ConsoleReadKey, TimeOutAndInterrupt)
{
    {
        PtySession pty(0, [] { return read_key_child(3); });
        const std::string r = pty.finish();
        EXPECT_EQ(report_field(r, 0), 0) << r;
        EXPECT_EQ(report_field(r, 2), 1) << r;
        EXPECT_GE(report_field(r, 3), 250) << "returned before the time-out";
        EXPECT_LT(report_field(r, 3), 3000);
    }
    {
        PtySession pty(0, [] { return read_key_child(0); });
        pty.wait_until(awaiting_key);
        pty.wait_idle();
        pty.send("\x03");
        const std::string r = pty.finish();
        EXPECT_EQ(report_field(r, 0), 0) << r;
        EXPECT_EQ(report_field(r, 1), 1) << r;
        EXPECT_EQ(report_field(r, 2), 1) << r;
    }
}

} // namespace
