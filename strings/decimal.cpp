#include "strings/string_runtime.h"

void appendDecimal(std::int64_t value, AreaPosition at)
{
    // The same 64-byte reservation whatever the value, so the area grows as
    // it always has; the digits are counted first and written straight to
    // their place, as a port name is built for every name the scan tries.
    char* place = reserve(64, at);
    std::uint64_t rest = (std::uint64_t)value;
    // Digits counted by comparison, not division: the scan formats small
    // numbers only, one to two digits. 20 digits hold any 64-bit value.
    LONG count = rest < 10 ? 1 : 2;
    if (rest >= 100)
        for (std::uint64_t bound = 100; count < 20 && rest >= bound; bound *= 10) count++;
    place[count] = 0;
    if (count <= 2) {
        // The port numbers: one or two digits, without a loop.
        if (count == 2) place[0] = (char)('0' + rest / 10);
        place[count - 1] = (char)('0' + rest % 10);
        release(64 - count);
        return;
    }
    for (LONG i = count - 1; i >= 0; i--) {
        place[i] = (char)('0' + rest % 10);
        rest /= 10;
    }
    release(64 - count);
}
