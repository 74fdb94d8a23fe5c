#include "app/entry.h"

#include "app/end_action.h"
#include "app/globals.h"
#include "app/port_scan.h"
#include "console/console.h"
#include "platform/heaps.h"
#include "serial/serial_port.h"

StringValue lastPort = nullptr;
StringValue portFamily = nullptr;
StringValue portList = nullptr;

// label followed by value, assembled in the area and printed as one line.
static void PrintReportLine(const char* label, StringValue value)
{
    AreaPosition start = tempArea.end;
    append(label);
    append(value);
    PrintLine(tempArea.buffer + start);
    tempArea.end = start;
}

void ProgramEntry(void)
{
    MainHeap = HeapCreate(0, 4096, 0);
    StringRuntimeInit();
    SerialPortsInit();
    EndActionInit();
    assign(&lastPort, "");
    assign(&portFamily, "");
    ConsoleOpen();

    AreaPosition P = tempArea.end;
    PortScan(P);
    assignFromArea(&portList, P);

    PrintReportLine("total : ", portList);
    PrintReportLine("dernier port : ", lastPort);
    PrintLine("Appuyez sur Entr\xe9" "e");

    P = tempArea.end;
    InputLine(P);
    tempArea.end = P;

    ConsoleClose();
    EndActionShutdownBegins();
    EndAction();
    HeapDestroy(MainHeap);
    ExitProcess(0);
}
