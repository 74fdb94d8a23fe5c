// Windows-1252 to UTF-16 for the Latin-1 range, which covers the program's
// text. Bytes 0x80..0x9F, where 1252 departs from Latin-1, are refused rather
// than guessed, so a test that needs them fails loudly.
#include <cstring>

#include "fake_win32.h"

int MultiByteToWideChar(UINT CodePage, DWORD, LPCCH lpMultiByteStr, int cbMultiByte, LPWSTR lpWideCharStr,
                        int cchWideChar)
{
    if (CodePage != 1252 || !lpMultiByteStr || cbMultiByte == 0 || cchWideChar < 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    int count = cbMultiByte < 0 ? (int)std::strlen(lpMultiByteStr) + 1 : cbMultiByte;
    for (int i = 0; i < count; i++) {
        unsigned char byte = (unsigned char)lpMultiByteStr[i];
        if (byte >= 0x80 && byte < 0xA0) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return 0;
        }
    }
    if (cchWideChar == 0) return count;
    if (cchWideChar < count || !lpWideCharStr) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    for (int i = 0; i < count; i++) lpWideCharStr[i] = (WCHAR)(unsigned char)lpMultiByteStr[i];
    return count;
}
