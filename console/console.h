// The program's console: standard handles, the close hook, whole-line output
// and one-line input. Works on a real console and on redirected handles alike.
#pragma once

#include "platform/win32.h"
#include "strings/string_runtime.h"

// 1: the executable is a console program and owns a console from the start;
// 0: ConsoleOpen allocates one and ConsoleClose frees it.
extern DWORD ConsoleProgramFlag;

// Fetches the standard handles, installs the close hook and the input lock.
// Once, before any other operation here. Returns 1.
int ConsoleOpen(void);
// Releases what ConsoleOpen took; the close hook stays installed.
void ConsoleClose(void);
// Run by the system on its own thread for console control events. On the
// close event it closes every serial port still open. Returns 0 (not
// handled), so the system's default handling follows.
BOOL WINAPI ConsoleCloseHook(DWORD event);

// Entry slots through which the application prints and reads; they hold the
// implementations below from load time on.
//
// PrintLine writes text (null: nothing) and CR LF in one write; when its
// scratch block cannot be had the run ends as out of memory (exit 3).
extern void (*PrintLine)(const char* text);
// InputLine reads one line, without its line end, into the temporary area at
// [P, end) and returns buffer + P; end of input with nothing read gives the
// one-byte line 0x04. May move the area's buffer.
extern char* (*InputLine)(AreaPosition P);

void ConsolePrintLine(const char* text);
char* ConsoleInputLine(AreaPosition P);
