// Looking at a terminal from outside the layer under test, with the raw
// requests, so that nothing a test reads goes through the seam it checks.
#pragma once

#include <asm/termios.h>

struct termios2 ReadTermios2(int fd);
void WriteTermios2(int fd, const struct termios2& settings);
bool IsExclusive(int fd);
// Entries in /proc/self/fd: equal before and after means nothing leaked.
int OpenDescriptorCount();
// Fields that matter for a serial line, compared for "left untouched".
bool SameTermios2(const struct termios2& a, const struct termios2& b);
