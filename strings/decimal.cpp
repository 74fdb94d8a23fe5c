#include "strings/string_runtime.h"

void appendDecimal(std::int64_t value, AreaPosition at)
{
    // The same 64-byte reservation whatever the value, so the area grows as
    // it always has; digits least significant first into scratch, then
    // copied most significant first.
    char* place = reserve(64, at);
    std::uint64_t rest = (std::uint64_t)value;
    char digits[32];
    LONG count = 0;
    do {
        digits[count++] = (char)('0' + rest % 10);
        rest /= 10;
    } while (rest != 0);
    for (LONG i = 0; i < count; i++) place[i] = digits[count - 1 - i];
    place[count] = 0;
    release(64 - count);
}
