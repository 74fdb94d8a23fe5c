// Standard handles and the console: recorded writes, scripted reads.
#include <unistd.h>

#include <condition_variable>
#include <deque>
#include <mutex>

#include "fake_internal.h"
#include "fake_win32.h"

namespace {

HANDLE const input = (HANDLE)(std::uintptr_t)0x10;
HANDLE const output = (HANDLE)(std::uintptr_t)0x14;
HANDLE const error = (HANDLE)(std::uintptr_t)0x18;

enum class ItemKind { Bytes, EndOfFile, Error, Block };

struct Item {
    ItemKind kind;
    std::string bytes;
    DWORD error;
};

// One lock for all of it: a blocked read waits on it while a test thread
// releases it.
std::mutex lock;
std::condition_variable changed;

bool inputIsConsole = false;
bool outputIsConsole = false;
UINT outputCodePage = 1252;
int passthrough = -1;
std::vector<fake::Write> writes;
std::deque<std::string> consoleLines;
std::deque<Item> stream;
int blockedReaders = 0;
bool released = false;
std::vector<DWORD> readSizes;
std::vector<DWORD> consoleReadSizes;
std::function<void(const void*, DWORD)> readHook;
std::vector<fake::ConsoleModeCall> modes;
PHANDLER_ROUTINE ctrlHandler = nullptr;
int allocConsoleCalls = 0;
int freeConsoleCalls = 0;

void WriteAll(int fd, const void* bytes, DWORD n)
{
    const char* p = (const char*)bytes;
    while (n > 0) {
        ssize_t done = ::write(fd, p, n);
        if (done <= 0) return;
        p += done;
        n -= (DWORD)done;
    }
}

BOOL NotAConsole()
{
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
}

}  // namespace

HANDLE GetStdHandle(DWORD nStdHandle)
{
    switch (nStdHandle) {
    case STD_INPUT_HANDLE:
        return input;
    case STD_OUTPUT_HANDLE:
        return output;
    case STD_ERROR_HANDLE:
        return error;
    default:
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
}

BOOL WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD n, LPDWORD written, LPOVERLAPPED)
{
    std::lock_guard<std::mutex> guard(lock);
    bool ok = hFile == output || hFile == error;
    writes.push_back({hFile, fake::WriteKind::File, ok, std::string((const char*)lpBuffer, n), {}});
    if (!ok) return NotAConsole();
    // Standard error also reaches the real one, where death tests look.
    if (hFile == error) WriteAll(2, lpBuffer, n);
    if (hFile == output && passthrough >= 0) WriteAll(passthrough, lpBuffer, n);
    if (written) *written = n;
    return TRUE;
}

BOOL WriteConsoleA(HANDLE hConsoleOutput, const VOID* lpBuffer, DWORD n, LPDWORD written, LPVOID)
{
    std::lock_guard<std::mutex> guard(lock);
    bool ok = hConsoleOutput == output && outputIsConsole;
    writes.push_back({hConsoleOutput, fake::WriteKind::ConsoleA, ok, std::string((const char*)lpBuffer, n), {}});
    if (!ok) return NotAConsole();
    if (passthrough >= 0) WriteAll(passthrough, lpBuffer, n);
    if (written) *written = n;
    return TRUE;
}

BOOL WriteConsoleW(HANDLE hConsoleOutput, const VOID* lpBuffer, DWORD n, LPDWORD written, LPVOID)
{
    std::lock_guard<std::mutex> guard(lock);
    bool ok = hConsoleOutput == output && outputIsConsole;
    writes.push_back({hConsoleOutput, fake::WriteKind::ConsoleW, ok, {}, std::u16string((const char16_t*)lpBuffer, n)});
    if (!ok) return NotAConsole();
    if (written) *written = n;
    return TRUE;
}

BOOL ReadConsoleA(HANDLE hConsoleInput, LPVOID lpBuffer, DWORD n, LPDWORD read, PCONSOLE_READCONSOLE_CONTROL)
{
    std::lock_guard<std::mutex> guard(lock);
    consoleReadSizes.push_back(n);
    if (hConsoleInput != input || !inputIsConsole) return NotAConsole();
    std::string line;
    if (!consoleLines.empty()) {
        line = consoleLines.front().substr(0, n);
        consoleLines.front().erase(0, line.size());
        if (consoleLines.front().empty()) consoleLines.pop_front();
    }
    line.copy((char*)lpBuffer, line.size());
    *read = (DWORD)line.size();
    return TRUE;
}

BOOL ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD n, LPDWORD read, LPOVERLAPPED)
{
    std::function<void(const void*, DWORD)> hook;
    {
        std::lock_guard<std::mutex> guard(lock);
        readSizes.push_back(n);
        hook = readHook;
    }
    if (hook) hook(lpBuffer, n);
    std::unique_lock<std::mutex> guard(lock);
    *read = 0;
    if (hFile != input) return NotAConsole();
    for (;;) {
        if (stream.empty()) return TRUE;
        Item& item = stream.front();
        switch (item.kind) {
        case ItemKind::Block:
            blockedReaders++;
            changed.notify_all();
            changed.wait(guard, [] { return released; });
            blockedReaders--;
            released = false;
            stream.pop_front();
            continue;
        case ItemKind::EndOfFile:
            stream.pop_front();
            return TRUE;
        case ItemKind::Error: {
            DWORD code = item.error;
            stream.pop_front();
            SetLastError(code);
            return FALSE;
        }
        case ItemKind::Bytes: {
            DWORD count = item.bytes.size() < n ? (DWORD)item.bytes.size() : n;
            item.bytes.copy((char*)lpBuffer, count);
            item.bytes.erase(0, count);
            if (item.bytes.empty()) stream.pop_front();
            *read = count;
            return TRUE;
        }
        }
    }
}

BOOL SetConsoleMode(HANDLE hConsoleHandle, DWORD dwMode)
{
    std::lock_guard<std::mutex> guard(lock);
    modes.push_back({hConsoleHandle, dwMode});
    if (hConsoleHandle != input || !inputIsConsole) return NotAConsole();
    return TRUE;
}

UINT GetConsoleOutputCP(void)
{
    std::lock_guard<std::mutex> guard(lock);
    return outputCodePage;
}

BOOL SetConsoleCtrlHandler(PHANDLER_ROUTINE HandlerRoutine, BOOL Add)
{
    std::lock_guard<std::mutex> guard(lock);
    if (Add)
        ctrlHandler = HandlerRoutine;
    else if (ctrlHandler == HandlerRoutine)
        ctrlHandler = nullptr;
    return TRUE;
}

BOOL AllocConsole(void)
{
    std::lock_guard<std::mutex> guard(lock);
    allocConsoleCalls++;
    return TRUE;
}

BOOL FreeConsole(void)
{
    std::lock_guard<std::mutex> guard(lock);
    freeConsoleCalls++;
    return TRUE;
}

namespace fake {

void ResetStdHandles()
{
    std::lock_guard<std::mutex> guard(lock);
    inputIsConsole = outputIsConsole = false;
    outputCodePage = 1252;
    passthrough = -1;
    writes.clear();
    consoleLines.clear();
    stream.clear();
    released = false;
    readSizes.clear();
    consoleReadSizes.clear();
    readHook = nullptr;
    modes.clear();
    ctrlHandler = nullptr;
    allocConsoleCalls = freeConsoleCalls = 0;
}

HANDLE StdInput() { return input; }
HANDLE StdOutput() { return output; }
HANDLE StdError() { return error; }

void SetInputIsConsole(bool console)
{
    std::lock_guard<std::mutex> guard(lock);
    inputIsConsole = console;
}

void SetOutputIsConsole(bool console)
{
    std::lock_guard<std::mutex> guard(lock);
    outputIsConsole = console;
}

void SetConsoleOutputCodePage(UINT codePage)
{
    std::lock_guard<std::mutex> guard(lock);
    outputCodePage = codePage;
}

void SetOutputPassthrough(int fd)
{
    std::lock_guard<std::mutex> guard(lock);
    passthrough = fd;
}

std::vector<Write> Writes()
{
    std::lock_guard<std::mutex> guard(lock);
    return writes;
}

std::vector<Write> Output()
{
    std::lock_guard<std::mutex> guard(lock);
    std::vector<Write> result;
    for (const Write& w : writes)
        if (w.handle == output && w.ok) result.push_back(w);
    return result;
}

void QueueConsoleLine(const std::string& bytes)
{
    std::lock_guard<std::mutex> guard(lock);
    consoleLines.push_back(bytes);
}

void QueueRead(const std::string& bytes)
{
    std::lock_guard<std::mutex> guard(lock);
    stream.push_back({ItemKind::Bytes, bytes, 0});
}

void QueueEndOfFile()
{
    std::lock_guard<std::mutex> guard(lock);
    stream.push_back({ItemKind::EndOfFile, {}, 0});
}

void QueueReadError(DWORD code)
{
    std::lock_guard<std::mutex> guard(lock);
    stream.push_back({ItemKind::Error, {}, code});
}

void QueueBlock()
{
    std::lock_guard<std::mutex> guard(lock);
    stream.push_back({ItemKind::Block, {}, 0});
}

bool WaitForBlockedRead(std::chrono::milliseconds timeout)
{
    std::unique_lock<std::mutex> guard(lock);
    return changed.wait_for(guard, timeout, [] { return blockedReaders > 0; });
}

void ReleaseBlockedRead()
{
    std::lock_guard<std::mutex> guard(lock);
    released = true;
    changed.notify_all();
}

std::vector<DWORD> ReadSizes()
{
    std::lock_guard<std::mutex> guard(lock);
    return readSizes;
}

std::vector<DWORD> ConsoleReadSizes()
{
    std::lock_guard<std::mutex> guard(lock);
    return consoleReadSizes;
}

void OnRead(std::function<void(const void*, DWORD)> hook)
{
    std::lock_guard<std::mutex> guard(lock);
    readHook = std::move(hook);
}

std::vector<ConsoleModeCall> ConsoleModes()
{
    std::lock_guard<std::mutex> guard(lock);
    return modes;
}

PHANDLER_ROUTINE CtrlHandler()
{
    std::lock_guard<std::mutex> guard(lock);
    return ctrlHandler;
}

int AllocConsoleCalls()
{
    std::lock_guard<std::mutex> guard(lock);
    return allocConsoleCalls;
}

int FreeConsoleCalls()
{
    std::lock_guard<std::mutex> guard(lock);
    return freeConsoleCalls;
}

}  // namespace fake
