#include "strings/string_heap.h"

#include <cstring>

#include "strings/string_runtime.h"

HANDLE StringHeap = nullptr;
TempStringArea tempArea = {nullptr, 0, 0};

static const LONG initialAreaCapacity = 16;

void ExitOutOfMemory(void)
{
    static const char message[] = "comscan: out of memory\r\n";
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_ERROR_HANDLE), message, (DWORD)(sizeof message - 1), &written, nullptr);
    ExitProcess(3);
}

char* StringHeapAlloc(SIZE_T bytes)
{
    void* block = HeapAlloc(StringHeap, 0, bytes);
    if (!block) ExitOutOfMemory();
    return (char*)block;
}

char* StringHeapResize(char* block, SIZE_T bytes)
{
    void* moved = HeapReAlloc(StringHeap, 0, block, bytes);
    if (!moved) ExitOutOfMemory();
    return (char*)moved;
}

void StringRuntimeInit(void)
{
    StringHeap = HeapCreate(0, 4096, 0);
    if (!StringHeap) ExitOutOfMemory();
    tempArea.end = 0;
    tempArea.capacity = initialAreaCapacity;
    tempArea.buffer = StringHeapAlloc((SIZE_T)initialAreaCapacity);
}
