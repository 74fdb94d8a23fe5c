// Serial ports: opened exclusively by name with full line settings, recorded
// in a registry, closed by identifier, and all closed at shut-down.
// Safe to call from the close event's thread while the main thread works.
#pragma once

#include "platform/win32.h"
#include "serial/object_registry.h"

// Flow control for SerialPortOpen. Any other value leaves the port's own.
enum HandshakeMode {
    HandshakeNone = 0,      // RTS held off, no CTS flow control
    HandshakeRtsOn = 1,     // RTS raised, no CTS flow control
    HandshakeRtsCts = 2,    // RTS/CTS hardware handshake
    HandshakeXonXoff = 3,   // XON/XOFF software handshake
};

// Creates the serial port registry. Once, at start-up.
void SerialPortsInit(void);

// Opens name exclusively and configures it. Parity and dataBits use their low
// byte; stopBits 1.0 is one stop bit, 2.0 two, anything else one and a half.
// Queues are set only when both are positive.
// Returns 0 on failure, with nothing left open or recorded; otherwise, for
// DynamicId the new object's identifier, for a slot number the port's handle
// (a port already open in that slot is closed once the new one is ready).
ObjectId SerialPortOpen(ObjectId id, const char* name, LONG baud, LONG parity, LONG dataBits, float stopBits,
                        LONG handshake, LONG inQueue, LONG outQueue);
// Closes the port named by id; nothing when it is not open.
void SerialPortClose(ObjectId id);
// Closes every port still open: numbered ones in slot order, then dynamic
// ones from the oldest to the newest.
void SerialPortCloseAll(void);
