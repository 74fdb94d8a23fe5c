#include <cstring>

#include "strings/string_heap.h"
#include "strings/string_runtime.h"

void assign(StringValue* var, const char* text)
{
    if (!text) {
        freeString(*var);
        *var = nullptr;
        return;
    }
    size_t length = std::strlen(text);
    SIZE_T size = length + 5;
    // text may be var's own text or a tail of it, which the resize may move
    // or cut: bring it to the front first, where the resize keeps it.
    if (*var && text >= *var && text <= *var + std::strlen(*var)) {
        std::memmove(*var, text, length + 1);
        *var = StringHeapResize(*var, size);
        return;
    }
    *var = *var ? StringHeapResize(*var, size) : StringHeapAlloc(size);
    std::memcpy(*var, text, length + 1);
}

void freeString(char* block)
{
    if (block) HeapFree(StringHeap, 0, block);
}
