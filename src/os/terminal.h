// Whether a program's output goes to a terminal.
#pragma once

namespace os {

// Whether file descriptor `fd` (2: standard error) is a terminal.
bool IsTerminal(int fd);

}  // namespace os
