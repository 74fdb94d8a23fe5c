#include "app/platform_code.h"

// Neither family: the scan tries no name.
const int PlatformCode = 3;
