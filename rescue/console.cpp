#include "rescue/console.h"

#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/platform.h"

namespace {

constexpr int KEY_GONE = -1; // end of file or a read error: no key will ever come
constexpr uint64_t GONE_PAUSE_US = 1000000;

constexpr unsigned char BELL = 0x07;
constexpr unsigned char BACKSPACE = 0x08;
constexpr unsigned char ESC = 0x1B;
constexpr unsigned char DEL = 0x7F;

// Keys are awaited without canonical input and echo; the operator's settings are
// back in place as soon as the read returns, whichever way it returns.
class KeyWaitMode {
  public:
    explicit KeyWaitMode(unsigned tenths)
    {
        if (tcgetattr(STDIN_FILENO, &saved_) != 0)
            return; // not a terminal: read as it is
        active_ = true;
        termios t = saved_;
        t.c_lflag &= ~(ICANON | ECHO); // ISIG stays so Ctrl-C still raises SIGINT
        // but Ctrl-\ and Ctrl-Z must not kill or stop the loader: they arrive as keys.
        t.c_cc[VQUIT] = _POSIX_VDISABLE;
        t.c_cc[VSUSP] = _POSIX_VDISABLE;
        t.c_cc[VTIME] = tenths ? plat_vtime(tenths) : 0;
        t.c_cc[VMIN] = tenths ? 0 : 1;
        tcsetattr(STDIN_FILENO, TCSANOW, &t);
    }
    ~KeyWaitMode()
    {
        if (active_)
            tcsetattr(STDIN_FILENO, TCSANOW, &saved_);
    }
    KeyWaitMode(const KeyWaitMode &) = delete;
    KeyWaitMode &operator=(const KeyWaitMode &) = delete;

  private:
    termios saved_{};
    bool active_ = false;
};

bool input_at_end()
{
    pollfd p{STDIN_FILENO, POLLIN, 0};
    return plat_poll(&p, 1, 0) > 0 && (p.revents & (POLLIN | POLLHUP | POLLERR)) != 0;
}

// Like console_read_key, but tells a console that has gone (hang-up, closed
// input) apart from a wait that ran out or a signal.
int await_key(unsigned tenths)
{
    KeyWaitMode mode(tenths);
    unsigned char key = 0;
    const ssize_t n = plat_read(STDIN_FILENO, &key, 1);
    if (n == 1)
        return key;
    if (n < 0 && errno == EINTR)
        return 0;
    // With a time-out an empty read is normally the time-out itself; a console
    // at end of input also reads empty, but at once and with input still "ready".
    if (n == 0 && tenths && !input_at_end())
        return 0;
    // A gone console answers at once: without this pause every prompt loop would
    // spin on it.
    plat_sleep_us(GONE_PAUSE_US);
    return KEY_GONE;
}

struct LineEditor {
    char *buf;
    size_t len;
    size_t cursor;
    size_t freeCount; // positions still free, the terminator included
};

void put_bytes(const char *s, size_t n)
{
    for (size_t i = 0; i < n; ++i)
        putchar(static_cast<unsigned char>(s[i]));
}

void put_repeated(int c, size_t n)
{
    for (size_t i = 0; i < n; ++i)
        putchar(c);
}

void cursor_left(LineEditor &e)
{
    if (e.cursor == 0)
        return;
    putchar(BACKSPACE);
    --e.cursor;
}

void cursor_right(LineEditor &e)
{
    if (e.cursor >= e.len)
        return;
    putchar(static_cast<unsigned char>(e.buf[e.cursor]));
    ++e.cursor;
}

// Drops the character under the cursor and repaints the rest of the line over it,
// blanking the old last position; the cursor stays where the character stood.
void remove_at_cursor(LineEditor &e)
{
    const size_t tail = e.len - e.cursor - 1;
    memmove(e.buf + e.cursor, e.buf + e.cursor + 1, tail + 1); // with the terminator
    --e.len;
    ++e.freeCount;
    put_bytes(e.buf + e.cursor, tail);
    putchar(' ');
    put_repeated(BACKSPACE, tail + 1);
}

void delete_at_cursor(LineEditor &e)
{
    if (e.cursor < e.len)
        remove_at_cursor(e);
}

void backspace(LineEditor &e)
{
    if (e.cursor == 0)
        return;
    --e.cursor;
    putchar(BACKSPACE);
    remove_at_cursor(e);
}

void insert_key(LineEditor &e, unsigned char key)
{
    if (e.freeCount <= 1) {
        putchar(BELL);
        return;
    }
    const size_t tail = e.len - e.cursor;
    putchar(key);
    put_bytes(e.buf + e.cursor, tail);
    memmove(e.buf + e.cursor + 1, e.buf + e.cursor, tail + 1); // with the terminator
    put_repeated(BACKSPACE, tail);
    e.buf[e.cursor] = static_cast<char>(key);
    ++e.cursor;
    ++e.len;
    --e.freeCount;
}

// Handles one key outside an escape sequence; answers true when the line is done.
bool plain_key(LineEditor &e, unsigned char key, int &escState)
{
    switch (key) {
    case 0x01: // Ctrl-A
        put_repeated(BACKSPACE, e.cursor);
        e.cursor = 0;
        return false;
    case 0x02: // Ctrl-B
        cursor_left(e);
        return false;
    case 0x03: // Ctrl-C as a character: the text so far is the answer
        fputs(" <break>\n", stdout);
        e.cursor = 0;
        return true;
    case 0x04: // Ctrl-D
        delete_at_cursor(e);
        return false;
    case 0x06: // Ctrl-F
        cursor_right(e);
        return false;
    case BACKSPACE:
    case DEL:
        backspace(e);
        return false;
    case '\n':
    case '\r':
        putchar('\n');
        return true;
    case ESC:
        escState = 1;
        return false;
    default:
        if (key > 0x1F)
            insert_key(e, key);
        else
            putchar(BELL);
        return false;
    }
}

} // namespace

int console_read_key(unsigned tenths)
{
    const int key = await_key(tenths);
    return key == KEY_GONE ? 0 : key;
}

int console_get_key() { return console_read_key(0); }

void console_echo(int c)
{
    putchar(c);
    fflush(stdout);
}

char *console_read_line(char *buf, size_t size)
{
    if (buf == nullptr || size == 0)
        return buf; // no room even for the terminator
    memset(buf, 0, size);
    LineEditor e{buf, 0, 0, size};
    int escState = 0;
    bool done = false;
    while (!done) {
        const int got = await_key(0);
        if (got == KEY_GONE) {
            // Nobody left to press Enter: half a line must not pass for an answer.
            memset(buf, 0, size);
            break;
        }
        const auto key = static_cast<unsigned char>(got);
        if (escState == 2) {
            if ((key >= '0' && key <= '9') || key == ';')
                continue;
            escState = 0;
            if (key == 'C')
                cursor_right(e);
            else if (key == 'D')
                cursor_left(e);
        } else if (escState == 1 && key == '[') {
            escState = 2;
        } else {
            escState = 0;
            done = plain_key(e, key, escState);
        }
        fflush(stdout);
    }
    fflush(stdout);
    return buf;
}

int console_confirm(const char *question, unsigned tenths)
{
    printf("%s y/N? ", question ? question : "");
    fflush(stdout);
    const int key = console_read_key(tenths);
    printf("%c\n", key);
    fflush(stdout);
    return key == 'y' || key == 'Y';
}
