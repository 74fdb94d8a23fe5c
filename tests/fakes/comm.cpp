// Serial devices by name: exclusive opens, the port's DCB, failure on demand,
// and a record of every call in order. Its own lock: the program may open and
// close ports on two threads at once.
#include <cstdio>
#include <map>
#include <mutex>

#include "fake_internal.h"
#include "fake_win32.h"

namespace {

struct DeviceState {
    fake::Device device;
    COMMTIMEOUTS timeouts{};
    HANDLE handle = nullptr;  // non-null while open
    long openedAt = 0;
};

std::mutex lock;
std::map<std::string, DeviceState> devices;
std::map<HANDLE, std::string> openHandles;
std::vector<fake::CommCall> calls;
std::uintptr_t nextHandle = 0x1000;  // never reused: a stale handle stays stale
long openCount = 0;
int badCloses = 0;
std::function<void(const char*)> createHook;

// The open device behind handle, or null after failing the call with
// ERROR_INVALID_HANDLE and recording it.
DeviceState* Open(HANDLE handle, fake::CommFn fn)
{
    auto it = openHandles.find(handle);
    if (it == openHandles.end()) {
        fake::CommCall call{fn, "", handle, false};
        calls.push_back(call);
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    return &devices[it->second];
}

fake::CommCall& Record(fake::CommFn fn, HANDLE handle, bool ok)
{
    calls.push_back(fake::CommCall{fn, openHandles[handle], handle, ok});
    if (!ok) SetLastError(ERROR_GEN_FAILURE);
    return calls.back();
}

}  // namespace

HANDLE CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode, LPSECURITY_ATTRIBUTES,
                   DWORD dwCreationDisposition, DWORD dwFlagsAndAttributes, HANDLE)
{
    std::function<void(const char*)> hook;
    {
        std::lock_guard<std::mutex> guard(lock);
        hook = createHook;
    }
    if (hook) hook(lpFileName);

    std::lock_guard<std::mutex> guard(lock);
    std::string path = lpFileName ? lpFileName : "";
    std::string name = path.compare(0, 4, "\\\\.\\") == 0 ? path.substr(4) : path;
    fake::CommCall call{fake::CommFn::CreateFile, path, INVALID_HANDLE_VALUE, false};
    call.access = dwDesiredAccess;
    call.shareMode = dwShareMode;
    call.disposition = dwCreationDisposition;
    call.flags = dwFlagsAndAttributes;

    auto it = devices.find(name);
    DWORD error = ERROR_SUCCESS;
    if (it == devices.end())
        error = ERROR_FILE_NOT_FOUND;
    else if (it->second.handle || it->second.device.heldElsewhere)
        error = ERROR_ACCESS_DENIED;
    else if (it->second.device.failCreate)
        error = ERROR_GEN_FAILURE;
    if (error != ERROR_SUCCESS) {
        calls.push_back(call);
        SetLastError(error);
        return INVALID_HANDLE_VALUE;
    }
    HANDLE handle = (HANDLE)(nextHandle += 4);
    it->second.handle = handle;
    it->second.openedAt = ++openCount;
    openHandles[handle] = name;
    call.handle = handle;
    call.ok = true;
    calls.push_back(call);
    return handle;
}

BOOL CloseHandle(HANDLE hObject)
{
    std::lock_guard<std::mutex> guard(lock);
    DeviceState* state = Open(hObject, fake::CommFn::CloseHandle);
    if (!state) {
        badCloses++;
        return FALSE;
    }
    Record(fake::CommFn::CloseHandle, hObject, true);
    state->handle = nullptr;
    openHandles.erase(hObject);
    return TRUE;
}

BOOL SetupComm(HANDLE hFile, DWORD dwInQueue, DWORD dwOutQueue)
{
    std::lock_guard<std::mutex> guard(lock);
    if (!Open(hFile, fake::CommFn::SetupComm)) return FALSE;
    fake::CommCall& call = Record(fake::CommFn::SetupComm, hFile, true);
    call.inQueue = dwInQueue;
    call.outQueue = dwOutQueue;
    return TRUE;
}

BOOL GetCommState(HANDLE hFile, LPDCB lpDCB)
{
    std::lock_guard<std::mutex> guard(lock);
    DeviceState* state = Open(hFile, fake::CommFn::GetCommState);
    if (!state) return FALSE;
    bool ok = !state->device.failGetState;
    Record(fake::CommFn::GetCommState, hFile, ok);
    if (ok) *lpDCB = state->device.state;
    return ok;
}

BOOL SetCommState(HANDLE hFile, LPDCB lpDCB)
{
    std::lock_guard<std::mutex> guard(lock);
    DeviceState* state = Open(hFile, fake::CommFn::SetCommState);
    if (!state) return FALSE;
    bool ok = !state->device.failSetState;
    Record(fake::CommFn::SetCommState, hFile, ok).dcb = *lpDCB;
    if (ok) state->device.state = *lpDCB;
    return ok;
}

BOOL GetCommTimeouts(HANDLE hFile, LPCOMMTIMEOUTS lpCommTimeouts)
{
    std::lock_guard<std::mutex> guard(lock);
    DeviceState* state = Open(hFile, fake::CommFn::GetCommTimeouts);
    if (!state) return FALSE;
    Record(fake::CommFn::GetCommTimeouts, hFile, true);
    *lpCommTimeouts = state->timeouts;
    return TRUE;
}

BOOL SetCommTimeouts(HANDLE hFile, LPCOMMTIMEOUTS lpCommTimeouts)
{
    std::lock_guard<std::mutex> guard(lock);
    DeviceState* state = Open(hFile, fake::CommFn::SetCommTimeouts);
    if (!state) return FALSE;
    Record(fake::CommFn::SetCommTimeouts, hFile, true).timeouts = *lpCommTimeouts;
    state->timeouts = *lpCommTimeouts;
    return TRUE;
}

namespace fake {

Device::Device() : state(DistinctiveDcb()) {}

DCB DistinctiveDcb()
{
    DCB dcb;
    dcb.DCBlength = sizeof(DCB);
    dcb.BaudRate = 9600;
    dcb.fBinary = 1;
    dcb.fParity = 0;
    dcb.fOutxCtsFlow = 1;
    dcb.fOutxDsrFlow = 1;
    dcb.fDtrControl = DTR_CONTROL_HANDSHAKE;
    dcb.fDsrSensitivity = 1;
    dcb.fTXContinueOnXoff = 1;
    dcb.fOutX = 1;
    dcb.fInX = 0;
    dcb.fErrorChar = 1;
    dcb.fNull = 1;
    dcb.fRtsControl = RTS_CONTROL_TOGGLE;
    dcb.fAbortOnError = 1;
    dcb.fDummy2 = 0x1ABCD;
    dcb.wReserved = 0x1234;
    dcb.XonLim = 0x2345;
    dcb.XoffLim = 0x3456;
    dcb.ByteSize = 7;
    dcb.Parity = ODDPARITY;
    dcb.StopBits = TWOSTOPBITS;
    dcb.XonChar = 0x21;
    dcb.XoffChar = 0x22;
    dcb.ErrorChar = 0x23;
    dcb.EofChar = 0x24;
    dcb.EvtChar = 0x25;
    dcb.wReserved1 = 0x4567;
    return dcb;
}

std::string Describe(const DCB& d)
{
    char text[512];
    std::snprintf(text, sizeof text,
                  "DCBlength=%u BaudRate=%u fBinary=%u fParity=%u fOutxCtsFlow=%u fOutxDsrFlow=%u fDtrControl=%u "
                  "fDsrSensitivity=%u fTXContinueOnXoff=%u fOutX=%u fInX=%u fErrorChar=%u fNull=%u fRtsControl=%u "
                  "fAbortOnError=%u fDummy2=%#x wReserved=%#x XonLim=%u XoffLim=%u ByteSize=%u Parity=%u StopBits=%u "
                  "XonChar=%#x XoffChar=%#x ErrorChar=%#x EofChar=%#x EvtChar=%#x wReserved1=%#x",
                  d.DCBlength, d.BaudRate, (unsigned)d.fBinary, (unsigned)d.fParity, (unsigned)d.fOutxCtsFlow,
                  (unsigned)d.fOutxDsrFlow, (unsigned)d.fDtrControl, (unsigned)d.fDsrSensitivity,
                  (unsigned)d.fTXContinueOnXoff, (unsigned)d.fOutX, (unsigned)d.fInX, (unsigned)d.fErrorChar,
                  (unsigned)d.fNull, (unsigned)d.fRtsControl, (unsigned)d.fAbortOnError, (unsigned)d.fDummy2,
                  d.wReserved, d.XonLim, d.XoffLim, d.ByteSize, d.Parity, d.StopBits, (unsigned char)d.XonChar,
                  (unsigned char)d.XoffChar, (unsigned char)d.ErrorChar, (unsigned char)d.EofChar,
                  (unsigned char)d.EvtChar, d.wReserved1);
    return text;
}

void ResetComm()
{
    std::lock_guard<std::mutex> guard(lock);
    devices.clear();
    openHandles.clear();
    calls.clear();
    openCount = 0;
    badCloses = 0;
    createHook = nullptr;
}

void AddDevice(const std::string& name, const Device& device)
{
    std::lock_guard<std::mutex> guard(lock);
    devices[name].device = device;
}

std::vector<CommCall> CommCalls()
{
    std::lock_guard<std::mutex> guard(lock);
    return calls;
}

std::vector<std::string> CommTrace()
{
    std::lock_guard<std::mutex> guard(lock);
    std::vector<std::string> trace;
    for (const CommCall& c : calls) {
        std::string line;
        switch (c.fn) {
        case CommFn::CreateFile:
            line = "CreateFileA " + c.path;
            break;
        case CommFn::SetupComm:
            line = "SetupComm " + c.path + " " + std::to_string(c.inQueue) + " " + std::to_string(c.outQueue);
            break;
        case CommFn::GetCommState:
            line = "GetCommState " + c.path;
            break;
        case CommFn::SetCommState:
            line = "SetCommState " + c.path;
            break;
        case CommFn::GetCommTimeouts:
            line = "GetCommTimeouts " + c.path;
            break;
        case CommFn::SetCommTimeouts: {
            const COMMTIMEOUTS& t = c.timeouts;
            line = "SetCommTimeouts " + c.path + " " + std::to_string(t.ReadIntervalTimeout) + " " +
                   std::to_string(t.ReadTotalTimeoutMultiplier) + " " + std::to_string(t.ReadTotalTimeoutConstant) +
                   " " + std::to_string(t.WriteTotalTimeoutMultiplier) + " " +
                   std::to_string(t.WriteTotalTimeoutConstant);
            break;
        }
        case CommFn::CloseHandle:
            line = "CloseHandle " + c.path;
            break;
        }
        if (!c.ok) line += " failed";
        trace.push_back(line);
    }
    return trace;
}

std::vector<std::string> OpenDevices()
{
    std::lock_guard<std::mutex> guard(lock);
    std::map<long, std::string> byOpening;
    for (const auto& d : devices)
        if (d.second.handle) byOpening[d.second.openedAt] = d.first;
    std::vector<std::string> names;
    for (const auto& entry : byOpening) names.push_back(entry.second);
    return names;
}

int BadCloses()
{
    std::lock_guard<std::mutex> guard(lock);
    return badCloses;
}

void OnCreateFile(std::function<void(const char*)> hook)
{
    std::lock_guard<std::mutex> guard(lock);
    createHook = std::move(hook);
}

}  // namespace fake
