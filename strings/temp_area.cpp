#include <cstring>

#include "strings/string_heap.h"
#include "strings/string_runtime.h"

// Headroom added on every growth, so that a long run of expressions costs no
// allocation once the area is large enough.
static const LONG growthHeadroom = 16384;

void growArea(std::int64_t need)
{
    if (need > 0x7FFFFFFF - growthHeadroom) ExitOutOfMemory();
    tempArea.capacity = (LONG)need + growthHeadroom;
    tempArea.buffer = StringHeapResize(tempArea.buffer, (SIZE_T)tempArea.capacity + 5);
}

// Grows the area for an append of text that needs need bytes; text may
// point into the area itself, so it is returned as it reads after the
// growth. Apart from append, which then needs fewer registers kept.
[[gnu::noinline]] static const char* GrowForAppend(const char* text, std::int64_t need)
{
    AreaPosition inArea = -1;
    if (text >= tempArea.buffer && text < tempArea.buffer + tempArea.capacity)
        inArea = (AreaPosition)(text - tempArea.buffer);
    growArea(need);
    return inArea >= 0 ? tempArea.buffer + inArea : text;
}

void appendCounted(const char* text, LONG length)
{
    AreaPosition start = tempArea.end;
    // reserve(length, end), with the growth taken apart: only a growth can
    // move the buffer.
    std::int64_t need = (std::int64_t)start + length;
    if (need >= tempArea.capacity - 4) text = GrowForAppend(text, need);
    tempArea.end = start + length;
    char* place = tempArea.buffer + start;
    std::memmove(place, text, (size_t)length);
    place[length] = 0;
}

void append(const char* text)
{
    if (!text) {
        tempArea.buffer[tempArea.end] = 0;
        return;
    }
    appendCounted(text, (LONG)std::strlen(text));
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
