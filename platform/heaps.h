// The program's private heap for runtime records: registry records and
// objects, output scratch blocks and carried-over input. The entry sequence
// creates it first and destroys it last; every layer allocates from it.
#pragma once

#include "platform/win32.h"

extern HANDLE MainHeap;
