#include <cstring>

#include "strings/string_heap.h"
#include "strings/string_runtime.h"

// Headroom added on every growth, so that a long run of expressions costs no
// allocation once the area is large enough.
static const LONG growthHeadroom = 16384;

char* reserve(LONG n, AreaPosition at)
{
    // The test uses the current end, not at: callers pass at <= end, so this
    // never under-reserves.
    LONG need = tempArea.end + n;
    if (need >= tempArea.capacity - 4) {
        tempArea.capacity = need + growthHeadroom;
        tempArea.buffer = StringHeapResize(tempArea.buffer, (SIZE_T)tempArea.capacity + 5);
    }
    tempArea.end = at + n;
    return tempArea.buffer + at;
}

void release(LONG n)
{
    tempArea.end -= n;
}

void append(const char* text)
{
    if (!text) {
        tempArea.buffer[tempArea.end] = 0;
        return;
    }
    LONG length = (LONG)std::strlen(text);
    // text may point into the area itself, which reserve may move.
    AreaPosition inArea = -1;
    if (text >= tempArea.buffer && text < tempArea.buffer + tempArea.capacity)
        inArea = (AreaPosition)(text - tempArea.buffer);
    char* place = reserve(length, tempArea.end);
    if (inArea >= 0) text = tempArea.buffer + inArea;
    std::memmove(place, text, (size_t)length);
    place[length] = 0;
}

void assignFromArea(StringValue* var, AreaPosition start)
{
    LONG n = tempArea.end - start;
    SIZE_T size = (SIZE_T)n + 5;
    *var = *var ? StringHeapResize(*var, size) : StringHeapAlloc(size);
    std::memcpy(*var, tempArea.buffer + start, (size_t)n);
    (*var)[n] = 0;
    tempArea.end = start;
}
