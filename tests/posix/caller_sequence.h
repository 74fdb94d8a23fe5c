// The calls the serial port code makes to open and configure a port, in the
// same order and with the same fields, so the tests run what the program runs.
#pragma once

#include "platform/win32.h"

struct LineSettings {
    DWORD baud;
    BYTE parity;
    BYTE dataBits;
    BYTE stopBits;   // ONESTOPBIT, ONE5STOPBITS or TWOSTOPBITS
    int handshake;   // 0 none, 1 RTS on, 2 RTS/CTS, 3 XON/XOFF
    DWORD inQueue;
    DWORD outQueue;
};

// 38400 baud, even parity, 8 data bits, one stop bit, no handshake.
LineSettings DefaultLine();

// The handle, or INVALID_HANDLE_VALUE with the last error of the failing
// call and the handle closed. lockDirectories null: CreateFileA itself.
HANDLE OpenLikeTheCaller(const char* path, const LineSettings& line, const char* const* lockDirectories = nullptr);
