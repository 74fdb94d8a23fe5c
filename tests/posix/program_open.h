// The program's own open and close of a port (SerialPortOpen and
// SerialPortClose), so the tests run exactly what the program runs.
#pragma once

#include "app/port_scan.h"
#include "platform/win32.h"

// The handle SerialPortOpen left open on path with these settings (the
// scan's are scanLine), or INVALID_HANDLE_VALUE with the last error of the
// call that failed.
HANDLE OpenLikeTheProgram(const char* path, const ScanLineSettings& line);
// Closes it through SerialPortClose; true when the handle was open until
// then and is no longer.
bool CloseLikeTheProgram(HANDLE handle);
