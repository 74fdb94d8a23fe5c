// The scan: tries every port name of the platform's families in order,
// prints each port that opens, records it in lastPort and closes it again.
#pragma once

#include "serial/serial_port.h"
#include "strings/string_runtime.h"

// The line settings of every attempt, as SerialPortOpen takes them.
struct ScanLineSettings {
    LONG baud;
    LONG parity;
    LONG dataBits;
    float stopBits;
    LONG handshake;
    LONG inQueue;
    LONG outQueue;
};

// 38400 baud, even parity, 8 data bits, one stop bit, RTS held off without
// CTS flow control, 1024-byte queues.
static const ScanLineSettings scanLine = {38400, EVENPARITY, 8, 1.0f, HandshakeNone, 1024, 1024};

// Places the list of ports that opened ("|a|b", empty when none) in the
// temporary area at [P, end) and returns buffer + P. May move the buffer.
char* PortScan(AreaPosition P);
