#include "app/port_scan.h"

#include <cstring>

#include "app/globals.h"
#include "app/platform_code.h"
#include "console/console.h"
#include "serial/serial_port.h"

static const LONG lastPortNumber = 20;

static ObjectId TryPort(const char* name)
{
    return SerialPortOpen(DynamicId, name, scanLine.baud, scanLine.parity, scanLine.dataBits, scanLine.stopBits,
                          scanLine.handshake, scanLine.inQueue, scanLine.outQueue);
}

// The current port name, portFamily (familyLength bytes) followed by
// number, appended to the area.
static void AppendPortName(LONG number, LONG familyLength)
{
    appendCounted(portFamily, familyLength);
    appendDecimal(number, tempArea.end);
}

static void ScanFamily(StringValue* result, LONG first)
{
    // Both lengths are counted once here and then followed, rather than
    // counted again for each of the four times a found port's name is built.
    LONG familyLength = portFamily ? (LONG)std::strlen(portFamily) : 0;
    LONG resultLength = *result ? (LONG)std::strlen(*result) : 0;
    for (LONG i = first; i <= lastPortNumber; i++) {
        AreaPosition S = tempArea.end;
        AppendPortName(i, familyLength);
        // The name's zero byte stays inside the used area while the open runs.
        tempArea.end += 1;
        ObjectId id = TryPort(tempArea.buffer + S);
        tempArea.end = S;
        if (id <= 0) continue;

        AreaPosition start = tempArea.end;
        appendCounted(*result, resultLength);
        appendCounted("|", 1);
        AppendPortName(i, familyLength);
        resultLength = tempArea.end - start;
        assignFromArea(result, start);

        start = tempArea.end;
        AppendPortName(i, familyLength);
        PrintLine(tempArea.buffer + start);
        tempArea.end = start;

        start = tempArea.end;
        AppendPortName(i, familyLength);
        assignFromArea(&lastPort, start);

        SerialPortClose(id);
    }
}

char* PortScan(AreaPosition P)
{
    tempArea.end = P;
    StringValue result = nullptr;
    assign(&result, "");
    switch (PlatformCode) {
    case 1:
        assign(&portFamily, "Com");
        ScanFamily(&result, 1);
        break;
    case 2:
        assign(&portFamily, "/dev/ttyUSB");
        ScanFamily(&result, 0);
        assign(&portFamily, "/dev/ttyACM");
        ScanFamily(&result, 0);
        break;
    default:
        break;
    }
    append(result);
    freeString(result);
    return tempArea.buffer + P;
}
