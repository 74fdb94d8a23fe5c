// Which port families the scan tries, fixed when the program is built:
// 1 Windows, 2 Linux.
#pragma once

extern const int PlatformCode;
