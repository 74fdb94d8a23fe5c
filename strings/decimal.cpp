#include "strings/string_runtime.h"

void appendDecimal(std::int64_t value, AreaPosition at)
{
    // Digits counted first, so they go straight to their place: a port name
    // is built this way for every name the scan tries.
    std::uint64_t rest = (std::uint64_t)value;
    LONG count = 1;
    for (std::uint64_t left = rest / 10; left != 0; left /= 10) count++;
    char* place = reserve(count, at);
    place[count] = 0;
    for (LONG i = count - 1; i >= 0; i--) {
        place[i] = (char)('0' + rest % 10);
        rest /= 10;
    }
}
