// Copying the short pieces every found port is made of (a port family, a
// name, a separator, a lock directory), as most copies here are: two
// overlapping words, or bytes, rather than a call into the C library.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

// memmove for any length: every byte of a short piece is read before any is
// written, so source and destination may overlap; longer ones go to memmove.
inline void MoveShort(char* place, const char* text, std::size_t length)
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
        std::memmove(place, text, length);
    }
}
