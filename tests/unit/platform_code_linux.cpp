#include "app/platform_code.h"

const int PlatformCode = 2;
