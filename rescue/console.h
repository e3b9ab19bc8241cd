// Operator input on the serial console: single keys, a one-line editor and y/N questions.
#pragma once

#include <cstddef>

// One key from standard input with the terminal's echo off. tenths is the wait in
// tenths of a second, 0 to wait for ever. Answers the key (1-255), or 0 when the
// wait ran out, the read was interrupted by a signal or the console went away.
int console_read_key(unsigned tenths);
int console_get_key();
void console_echo(int c);
// Edits one line into buf (at most size - 1 characters, always terminated) until
// Enter or Ctrl-C; answers buf.
char *console_read_line(char *buf, size_t size);
// Prints "<question> y/N? " and answers 1 only for y or Y within the wait.
int console_confirm(const char *question, unsigned tenths);
