// Whether a program's streams are a terminal, and the terminal's echo.
#pragma once

namespace os {

// Whether file descriptor `fd` (2: standard error) is a terminal.
bool IsTerminal(int fd);

// Turns the echo of terminal input on file descriptor `fd` (0: standard
// input) on or off, so that a secret typed there is not shown. Does
// nothing where `fd` is not a terminal. While the echo is off, an
// interrupt, termination, hang-up or stop signal (on Windows: Ctrl+C,
// Ctrl+Break, closing the console) first puts the terminal's settings
// back, then takes its usual effect (after a stop, the echo goes off
// again); turning the echo on puts them back for good.
void SetEcho(int fd, bool on);

// Makes standard input deliver its bytes unchanged (Windows translates
// line ends and stops at Ctrl+Z in text mode); nothing elsewhere.
void UseBinaryStdin();

}  // namespace os
