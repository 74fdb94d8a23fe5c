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
    *var = *var ? StringHeapResize(*var, size) : StringHeapAlloc(size);
    std::memcpy(*var, text, length + 1);
}

void freeString(char* block)
{
    if (block) HeapFree(StringHeap, 0, block);
}
