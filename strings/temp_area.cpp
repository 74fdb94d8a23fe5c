#include <cstdint>
#include <cstring>

#include "strings/string_heap.h"
#include "strings/string_runtime.h"

// Headroom added on every growth, so that a long run of expressions costs no
// allocation once the area is large enough.
static const LONG growthHeadroom = 16384;

void growArea(LONG need)
{
    tempArea.capacity = need + growthHeadroom;
    tempArea.buffer = StringHeapResize(tempArea.buffer, (SIZE_T)tempArea.capacity + 5);
}

// Grows the area for an append of text that needs need bytes; text may
// point into the area itself, so it is returned as it reads after the
// growth. Apart from append, which then needs fewer registers kept.
[[gnu::noinline]] static const char* GrowForAppend(const char* text, LONG need)
{
    AreaPosition inArea = -1;
    if (text >= tempArea.buffer && text < tempArea.buffer + tempArea.capacity)
        inArea = (AreaPosition)(text - tempArea.buffer);
    growArea(need);
    return inArea >= 0 ? tempArea.buffer + inArea : text;
}

// memmove for the area. A short piece (a port family, a separator), as most
// are, is moved as two overlapping words, or bytes, read before any is
// written, rather than through a call into the C library.
static inline void MoveBytes(char* place, const char* text, LONG length)
{
    if (length >= 8 && length <= 16) {
        std::uint64_t head, tail;
        std::memcpy(&head, text, 8);
        std::memcpy(&tail, text + length - 8, 8);
        std::memcpy(place, &head, 8);
        std::memcpy(place + length - 8, &tail, 8);
    } else if (length >= 4 && length < 8) {
        std::uint32_t head, tail;
        std::memcpy(&head, text, 4);
        std::memcpy(&tail, text + length - 4, 4);
        std::memcpy(place, &head, 4);
        std::memcpy(place + length - 4, &tail, 4);
    } else if (length > 0 && length < 4) {
        char first = text[0], middle = text[length / 2], last = text[length - 1];
        place[0] = first;
        place[length / 2] = middle;
        place[length - 1] = last;
    } else if (length > 16) {
        std::memmove(place, text, (size_t)length);
    }
}

void appendCounted(const char* text, LONG length)
{
    AreaPosition start = tempArea.end;
    // reserve(length, end), with the growth taken apart: only a growth can
    // move the buffer.
    if (start + length >= tempArea.capacity - 4) text = GrowForAppend(text, start + length);
    tempArea.end = start + length;
    char* place = tempArea.buffer + start;
    MoveBytes(place, text, length);
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
