#include "serial/serial_port.h"

#include <cstring>


// The registry of open ports: each object's payload is the port's handle as a
// 32-bit word, non-zero while the port is open.
static ObjectRegistry* serialPorts = nullptr;
// Serialises every use of the registry: the close event runs SerialPortCloseAll
// on a thread of its own while the main thread may be opening or closing a
// port. Critical sections are re-entrant, which the free callback relies on.
static CRITICAL_SECTION serialLock;

// The device path: the four bytes \\.\ and the name. A longer name would have
// to be cut, and a cut name opens a different device than the one asked for.
static const size_t devicePrefixLength = 4;
static const size_t maxNameLength = 59;

static const LONG objectSize = 4;
static const LONG growStep = 16;

void SerialPortsInit(void)
{
    InitializeCriticalSection(&serialLock);
    serialPorts = create(objectSize, growStep, SerialPortClose);
}

static BYTE StopBitsFor(float stopBits)
{
    if (stopBits == 1.0f) return ONESTOPBIT;
    if (stopBits == 2.0f) return TWOSTOPBITS;
    return ONE5STOPBITS;  // 1.5 and every other value, NaN included
}

static void ApplyHandshake(DCB* dcb, LONG handshake, LONG inQueue)
{
    switch (handshake) {
    case HandshakeNone:
        dcb->fOutxCtsFlow = 0;
        dcb->fRtsControl = RTS_CONTROL_DISABLE;
        break;
    case HandshakeRtsOn:
        dcb->fOutxCtsFlow = 0;
        dcb->fRtsControl = RTS_CONTROL_ENABLE;
        break;
    case HandshakeRtsCts:
        dcb->fOutxCtsFlow = 1;
        dcb->fRtsControl = RTS_CONTROL_HANDSHAKE;
        break;
    case HandshakeXonXoff:
        // Software flow control is only ever switched on here; the hardware
        // lines keep what the port had.
        dcb->fOutX = 1;
        dcb->fInX = 1;
        dcb->XonChar = 0x11;
        dcb->XoffChar = 0x13;
        dcb->XonLim = (WORD)(inQueue / 10);
        dcb->XoffLim = (WORD)((inQueue / 10) * 7);
        break;
    default:
        break;
    }
}

// Opens and configures the device; INVALID_HANDLE_VALUE when any step fails,
// with nothing left open.
static HANDLE OpenConfigured(const char* path, LONG baud, LONG parity, LONG dataBits, float stopBits,
                             LONG handshake, LONG inQueue, LONG outQueue)
{
    HANDLE handle = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return INVALID_HANDLE_VALUE;
    if (inQueue > 0 && outQueue > 0) SetupComm(handle, (DWORD)inQueue, (DWORD)outQueue);

    // Filled entirely by the port, so every field not changed below keeps the
    // port's own value.
    DCB dcb;
    if (!GetCommState(handle, &dcb)) {
        CloseHandle(handle);
        return INVALID_HANDLE_VALUE;
    }
    dcb.BaudRate = (DWORD)baud;
    dcb.Parity = (BYTE)(parity & 0xFF);
    dcb.ByteSize = (BYTE)(dataBits & 0xFF);
    dcb.fParity = 1;
    dcb.StopBits = StopBitsFor(stopBits);
    ApplyHandshake(&dcb, handshake, inQueue);
    if (!SetCommState(handle, &dcb)) {
        CloseHandle(handle);
        return INVALID_HANDLE_VALUE;
    }

    COMMTIMEOUTS timeouts;
    timeouts.ReadIntervalTimeout = 100;
    timeouts.ReadTotalTimeoutMultiplier = 10;
    timeouts.ReadTotalTimeoutConstant = 100;
    timeouts.WriteTotalTimeoutMultiplier = 100;
    timeouts.WriteTotalTimeoutConstant = 10;
    SetCommTimeouts(handle, &timeouts);
    return handle;
}

ObjectId SerialPortOpen(ObjectId id, const char* name, LONG baud, LONG parity, LONG dataBits, float stopBits,
                        LONG handshake, LONG inQueue, LONG outQueue)
{
    if (!name) return 0;
    size_t nameLength = std::strlen(name);
    if (nameLength > maxNameLength) return 0;
    char path[64];
    std::memcpy(path, "\\\\.\\", devicePrefixLength);
    std::memcpy(path + devicePrefixLength, name, nameLength + 1);

    EnterCriticalSection(&serialLock);
    ObjectId result = 0;
    if (serialPorts && (id == DynamicId || id >= 0)) {
        HANDLE handle = OpenConfigured(path, baud, parity, dataBits, stopBits, handshake, inQueue, outQueue);
        if (handle != INVALID_HANDLE_VALUE) {
            // A port already open in this slot is closed here, once the new
            // one is ready.
            LONG* object = (LONG*)obtain(serialPorts, id);
            if (object) {
                *object = HandleToLong(handle);
                result = id == DynamicId ? (ObjectId)object : (ObjectId)HandleToLong(handle);
            } else {
                CloseHandle(handle);
            }
        }
    }
    LeaveCriticalSection(&serialLock);
    return result;
}

void SerialPortClose(ObjectId id)
{
    EnterCriticalSection(&serialLock);
    LONG* object = serialPorts ? (LONG*)lookup(serialPorts, id) : nullptr;
    if (object) {
        CloseHandle(LongToHandle(*object));
        dispose(serialPorts, id);
    }
    LeaveCriticalSection(&serialLock);
}

void SerialPortCloseAll(void)
{
    EnterCriticalSection(&serialLock);
    if (serialPorts) disposeAll(serialPorts);
    LeaveCriticalSection(&serialLock);
}
