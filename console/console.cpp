#include "console/console.h"

#include "app/end_action.h"
#include "console/console_state.h"

DWORD ConsoleProgramFlag = 1;

HANDLE StandardInput = nullptr;
HANDLE StandardOutput = nullptr;
CRITICAL_SECTION InputLock;
char* PendingInput = nullptr;

void (*PrintLine)(const char* text) = ConsolePrintLine;
char* (*InputLine)(AreaPosition P) = ConsoleInputLine;

int ConsoleOpen(void)
{
    if (ConsoleProgramFlag == 0) AllocConsole();
    StandardInput = GetStdHandle(STD_INPUT_HANDLE);
    StandardOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    SetConsoleCtrlHandler(ConsoleCloseHook, TRUE);
    InitializeCriticalSection(&InputLock);
    return 1;
}

void ConsoleClose(void)
{
    if (ConsoleProgramFlag == 0) FreeConsole();
    DeleteCriticalSection(&InputLock);
}

BOOL WINAPI ConsoleCloseHook(DWORD event)
{
    if (event == CTRL_CLOSE_EVENT) EndActionOnCloseEvent();
    return 0;
}
