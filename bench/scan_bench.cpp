// How long a scan takes when no port is present, the common case on a
// machine without adapters: every name should cost one failed open and no
// allocation. Prints a small report; run it on a machine without
// /dev/ttyUSB* and /dev/ttyACM* (or with them, to see their cost).
#include <chrono>
#include <cstdio>

#include "app/port_scan.h"
#include "console/console.h"
#include "platform/heaps.h"
#include "serial/serial_port.h"
#include "strings/string_runtime.h"

int main()
{
    MainHeap = HeapCreate(0, 4096, 0);
    StringRuntimeInit();
    SerialPortsInit();
    ConsoleOpen();

    const int warmUp = 100;
    const int rounds = 20000;
    for (int i = 0; i < warmUp; i++) {
        AreaPosition P = tempArea.end;
        PortScan(P);
        tempArea.end = P;
    }
    LONG capacityBefore = tempArea.capacity;
    auto started = std::chrono::steady_clock::now();
    for (int i = 0; i < rounds; i++) {
        AreaPosition P = tempArea.end;
        PortScan(P);
        tempArea.end = P;
    }
    auto elapsed = std::chrono::steady_clock::now() - started;
    double perScan = std::chrono::duration<double, std::micro>(elapsed).count() / rounds;

    std::printf("scans: %d\n", rounds);
    std::printf("per scan of 42 names: %.2f us (%.3f us per name)\n", perScan, perScan / 42);
    std::printf("temporary area capacity: %d before, %d after (no growth expected)\n", (int)capacityBefore,
                (int)tempArea.capacity);
    return 0;
}
