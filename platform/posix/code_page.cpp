// Windows-1252 to UTF-16, the one conversion the program asks for.
#include <cstring>

#include "platform/posix/win32_subset.h"

// 0x80..0x9F differ from Latin-1; 0 marks the five bytes 1252 leaves
// undefined, which Windows maps to the same code point.
static const WCHAR windows1252High[32] = {
    0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0,      0x017D, 0,      0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178,
};

static WCHAR FromWindows1252(unsigned char byte)
{
    if (byte >= 0x80 && byte < 0xA0 && windows1252High[byte - 0x80]) return windows1252High[byte - 0x80];
    return (WCHAR)byte;
}

int MultiByteToWideChar(UINT CodePage, DWORD, LPCCH lpMultiByteStr, int cbMultiByte, LPWSTR lpWideCharStr,
                        int cchWideChar)
{
    if (CodePage != 1252 || !lpMultiByteStr || cbMultiByte == 0 || cchWideChar < 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    // -1: the text is zero-terminated and the zero is converted too.
    int count = cbMultiByte < 0 ? (int)std::strlen(lpMultiByteStr) + 1 : cbMultiByte;
    if (cchWideChar == 0) return count;
    if (cchWideChar < count || !lpWideCharStr) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    for (int i = 0; i < count; i++) lpWideCharStr[i] = FromWindows1252((unsigned char)lpMultiByteStr[i]);
    return count;
}
