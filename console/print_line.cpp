#include <cstring>

#include "console/console.h"
#include "console/console_state.h"
#include "platform/heaps.h"

// The program's text is Windows-1252. A console showing another code page
// would turn its accented letters into other ones, so such text goes to the
// console as UTF-16 instead; files and pipes always receive the bytes as
// they are.
static const UINT programCodePage = 1252;

static bool HasNonAscii(const char* bytes, DWORD n)
{
    for (DWORD i = 0; i < n; i++)
        if ((unsigned char)bytes[i] >= 0x80) return true;
    return false;
}

// Returns FALSE when output is not a console.
static BOOL WriteToConsole(HANDLE output, const char* bytes, DWORD n)
{
    DWORD written = 0;
    if (!HasNonAscii(bytes, n) || GetConsoleOutputCP() == programCodePage)
        return WriteConsoleA(output, bytes, n, &written, nullptr);
    WCHAR* wide = (WCHAR*)HeapAlloc(MainHeap, 0, (SIZE_T)n * sizeof(WCHAR));
    if (!wide) ExitOutOfMemory();
    int count = MultiByteToWideChar(programCodePage, 0, bytes, (int)n, wide, (int)n);
    BOOL ok = count > 0 && WriteConsoleW(output, wide, (DWORD)count, &written, nullptr);
    HeapFree(MainHeap, 0, wide);
    return ok;
}

void ConsolePrintLine(const char* text)
{
    size_t length = text ? std::strlen(text) : 0;
    DWORD n = (DWORD)length + 2;
    // A line left out would make the report disagree with the lines above
    // it, so a block that cannot be had ends the run instead.
    char* block = (char*)HeapAlloc(MainHeap, 0, (SIZE_T)n + 1);
    if (!block) ExitOutOfMemory();
    if (length) std::memcpy(block, text, length);
    block[length] = '\r';
    block[length + 1] = '\n';
    block[n] = 0;
    if (!WriteToConsole(StandardOutput, block, n)) {
        DWORD written = 0;
        WriteFile(StandardOutput, block, n, &written, nullptr);
    }
    HeapFree(MainHeap, 0, block);
}
