#include "platform/heaps.h"

HANDLE MainHeap = nullptr;
