#include "app/platform_code.h"

#ifndef PLATFORM_CODE
#error "PLATFORM_CODE must be set by the build"
#endif

const int PlatformCode = PLATFORM_CODE;
