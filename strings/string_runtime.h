// Text storage: string variables, each owning an exactly sized block of the
// string heap, and the one temporary area in which every string expression is
// assembled.
//
// Positions survive growth of the area, pointers do not: keep an
// AreaPosition across anything that may append, and turn it into a pointer
// (tempArea.buffer + position) only right before handing it on. Operations
// marked "may move the buffer" invalidate every pointer into the area.
#pragma once

#include <cstdint>

#include "platform/win32.h"

// A string variable: null (the empty string) or a NUL-terminated block of
// exactly length + 5 bytes in the string heap, owned by the variable.
typedef char* StringValue;

// A byte offset into the temporary area's buffer.
typedef LONG AreaPosition;

struct TempStringArea {
    char* buffer;      // one string-heap block of capacity + 5 bytes (16 bytes at first)
    AreaPosition end;  // just past the last byte in use; 0 when no expression is under way
    LONG capacity;     // the size the growth rule reasons with
};

extern HANDLE StringHeap;
extern TempStringArea tempArea;

// Creates the string heap and the 16-byte area. Called once, before any other
// string operation.
void StringRuntimeInit(void);

// The growth rule's second step, for a reservation that needs need bytes:
// capacity := need + 16384 and the buffer resized to capacity + 5 bytes.
// A capacity beyond what a position can hold is memory exhausted
// (ExitOutOfMemory). May move the buffer.
void growArea(std::int64_t need);

// Growth test for n bytes, then end := at + n. Returns buffer + at.
// May move the buffer. Inline: every piece of every expression passes here.
inline char* reserve(LONG n, AreaPosition at)
{
    // The test uses the current end, not at: callers pass at <= end, so this
    // never under-reserves. Wider than a position, so that it cannot wrap.
    std::int64_t need = (std::int64_t)tempArea.end + n;
    if (need >= tempArea.capacity - 4) growArea(need);
    tempArea.end = at + n;
    return tempArea.buffer + at;
}

// end := end - n.
inline void release(LONG n)
{
    tempArea.end -= n;
}
// Appends text (null appends nothing) and writes a zero byte after it.
// May move the buffer.
void append(const char* text);
// The same for the first length bytes of text, none of them zero, where the
// caller already knows the length. May move the buffer.
void appendCounted(const char* text, LONG length);
// Appends the decimal digits of value taken as unsigned at position at;
// afterwards end = at + digit count. May move the buffer.
void appendDecimal(std::int64_t value, AreaPosition at);
// Copies [start, end) into var (exactly sized) and sets end := start.
void assignFromArea(StringValue* var, AreaPosition start);

// Ends the run when memory the program cannot do without is refused, by a
// heap of any layer: says so on standard error ("comscan: out of memory")
// and exits with code 3. ExitProcess closes every port still open first.
[[noreturn]] void ExitOutOfMemory(void);

// Copies text into var, exactly sized; null text frees var and makes it null.
void assign(StringValue* var, const char* text);
// Frees a variable's block; null is ignored.
void freeString(char* block);
