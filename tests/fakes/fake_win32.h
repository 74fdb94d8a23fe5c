// A recording fake of the Win32 subset in platform/posix/win32_subset.h.
// Unit tests link it instead of comscan_platform: every call the program
// makes lands here, is recorded, and can be made to fail on demand. The
// functions below are how a test sets the scene and reads the record.
//
// Everything is process-wide state. Reset() forgets it all (heaps included:
// every block the program held is freed), so a test calls it first and then
// brings the program's layers up again.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include "platform/win32.h"

namespace fake {

void Reset();

// ---- Heaps ----------------------------------------------------------------

enum class HeapOpKind { Alloc, ReAlloc, Free };

struct HeapOp {
    HeapOpKind kind;
    DWORD flags;
    SIZE_T size;  // requested size; 0 for Free
    bool ok;
};

// Every call counts, failed ones included.
struct HeapCounts {
    int allocs = 0;
    int reallocs = 0;
    int frees = 0;
    int failed = 0;
    bool operator==(const HeapCounts& o) const
    {
        return allocs == o.allocs && reallocs == o.reallocs && frees == o.frees && failed == o.failed;
    }
};

HeapCounts Counts(HANDLE heap);
std::vector<HeapOp> Ops(HANDLE heap);
// Size of a live block of the heap, or -1 when block is not one.
long BlockSize(HANDLE heap, const void* block);
std::size_t LiveBlocks(HANDLE heap);
int HeapsCreated();
int HeapsDestroyed();
// Misuse: unknown heap handle, free or resize of a block the heap does not own.
int HeapMisuses();

// The nth allocation or resize on heap from now on fails (1: the next one).
void FailAllocation(HANDLE heap, int nth);
// Every allocation and resize on heap fails until Reset.
void FailAllAllocations(HANDLE heap);

// ---- Standard handles and console -----------------------------------------

HANDLE StdInput();
HANDLE StdOutput();
HANDLE StdError();

// Whether the standard handles are consoles; both start as redirected files.
void SetInputIsConsole(bool console);
void SetOutputIsConsole(bool console);
void SetConsoleOutputCodePage(UINT codePage);  // starts as 1252
// A real descriptor that also receives every byte written to standard output
// (the record does not outlive a child process; the descriptor does). -1: none.
void SetOutputPassthrough(int fd);

enum class WriteKind { File, ConsoleA, ConsoleW };

struct Write {
    HANDLE handle;
    WriteKind kind;
    bool ok;
    std::string bytes;   // File and ConsoleA
    std::u16string wide; // ConsoleW
};

std::vector<Write> Writes();
// The successful writes to standard output, in order.
std::vector<Write> Output();

// Scripted input. ReadConsoleA takes console lines, ReadFile takes stream
// results; each result is consumed once. A stream read asking for fewer bytes
// than a scripted chunk holds gets the front and leaves the rest. An empty
// stream script reads as end of file.
void QueueConsoleLine(const std::string& bytes);
void QueueRead(const std::string& bytes);
void QueueEndOfFile();
void QueueReadError(DWORD error);
// The read that meets this waits, as on a pipe whose writer stays open, until
// ReleaseBlockedRead; then it goes on with the next scripted result.
void QueueBlock();
// True once a reader waits in a blocked read; false after timeout.
bool WaitForBlockedRead(std::chrono::milliseconds timeout);
void ReleaseBlockedRead();

std::vector<DWORD> ReadSizes();         // requested by each ReadFile
std::vector<DWORD> ConsoleReadSizes();  // requested by each ReadConsoleA
// Runs inside every ReadFile with the buffer and size asked for, before
// anything is delivered.
void OnRead(std::function<void(const void* buffer, DWORD size)> hook);

struct ConsoleModeCall {
    HANDLE handle;
    DWORD mode;
};
std::vector<ConsoleModeCall> ConsoleModes();

// The handler last installed with SetConsoleCtrlHandler(handler, TRUE), or
// null; tests call it to raise a control event.
PHANDLER_ROUTINE CtrlHandler();
int AllocConsoleCalls();
int FreeConsoleCalls();

// ---- Serial devices --------------------------------------------------------

struct Device {
    bool heldElsewhere = false;  // another process has it open: CreateFileA is refused
    bool failCreate = false;     // CreateFileA fails with ERROR_GEN_FAILURE
    bool failGetState = false;
    bool failSetState = false;
    DCB state;                   // what GetCommState reports
    Device();
};

// A DCB with every field set, and distinctive non-zero values wherever the
// program must keep the port's own value.
DCB DistinctiveDcb();
// One line naming every DCB field and its value, for comparing whole DCBs.
std::string Describe(const DCB& dcb);

// Devices are named as the program names ports ("Com3", "/dev/ttyUSB0").
// CreateFileA strips the device-namespace prefix \\.\ from the path it is
// given, as the POSIX layer does, before looking the name up.
void AddDevice(const std::string& name, const Device& device = Device());

enum class CommFn { CreateFile, SetupComm, GetCommState, SetCommState, GetCommTimeouts, SetCommTimeouts, CloseHandle };

struct CommCall {
    CommFn fn;
    std::string path;   // CreateFileA: as passed; others: the device's name
    HANDLE handle;      // CreateFileA: the result
    bool ok;
    DWORD access = 0, shareMode = 0, disposition = 0, flags = 0;  // CreateFileA
    DWORD inQueue = 0, outQueue = 0;                              // SetupComm
    DCB dcb{};                                                    // SetCommState: as passed
    COMMTIMEOUTS timeouts{};                                      // SetCommTimeouts: as passed
};

std::vector<CommCall> CommCalls();
// The calls in a short readable form, e.g. "CreateFileA \\.\Com3",
// "SetupComm 1024 1024", "CloseHandle Com3", with " failed" appended on failure.
std::vector<std::string> CommTrace();
// Names of the devices open now, in the order they were opened.
std::vector<std::string> OpenDevices();
// CloseHandle calls on a handle that is not open (never was, or closed already).
int BadCloses();
// Runs inside every CreateFileA with the path, before the device is looked up.
void OnCreateFile(std::function<void(const char* path)> hook);

}  // namespace fake
