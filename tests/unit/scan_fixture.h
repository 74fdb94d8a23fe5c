// The scene for PortScan: every layer up as the entry sequence leaves it, and
// a check, at every open the scan makes, of what the area holds meanwhile.
#pragma once

#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "app/globals.h"
#include "app/port_scan.h"
#include "console/console.h"
#include "console/console_state.h"
#include "fake_win32.h"
#include "platform/heaps.h"
#include "serial/serial_port.h"

class Scan : public ::testing::Test {
protected:
    using Names = std::vector<std::string>;

    void SetUp() override
    {
        fake::Reset();
        MainHeap = HeapCreate(0, 4096, 0);
        StringRuntimeInit();
        SerialPortsInit();
        lastPort = portFamily = portList = nullptr;
        PendingInput = nullptr;
        assign(&lastPort, "");
        assign(&portFamily, "");
        ConsoleOpen();
        fake::OnCreateFile([this](const char* path) { CheckOpening(path); });
    }

    void TearDown() override { EXPECT_EQ(Names(), problems); }

    // The scan's result as the caller finds it at [P, end).
    std::string Run(AreaPosition P)
    {
        std::string before(tempArea.buffer, P);
        scanStart = P;
        char* result = PortScan(P);
        EXPECT_EQ(tempArea.buffer + P, result);
        std::string text(tempArea.buffer + P, tempArea.end - P);
        EXPECT_EQ(text, std::string(result));
        EXPECT_EQ(before, std::string(tempArea.buffer, P));
        EXPECT_TRUE(fake::OpenDevices().empty());
        return text;
    }

    static Names Tried()
    {
        Names names;
        for (const fake::CommCall& c : fake::CommCalls())
            if (c.fn == fake::CommFn::CreateFile) names.push_back(c.path.substr(4));
        return names;
    }

    static Names Printed()
    {
        Names lines;
        for (const fake::Write& w : fake::Output()) lines.push_back(w.bytes);
        return lines;
    }

    static Names Numbered(const std::string& prefix, int first, int last)
    {
        Names names;
        for (int i = first; i <= last; i++) names.push_back(prefix + std::to_string(i));
        return names;
    }

    static fake::HeapCounts Delta(const fake::HeapCounts& before, const fake::HeapCounts& after)
    {
        fake::HeapCounts d;
        d.allocs = after.allocs - before.allocs;
        d.reallocs = after.reallocs - before.reallocs;
        d.frees = after.frees - before.frees;
        d.failed = after.failed - before.failed;
        return d;
    }

    // What a scan costs the heaps, once the area is large enough.
    struct Cost {
        fake::HeapCounts strings, main;
    };
    Cost ScanCost()
    {
        fake::HeapCounts strings = fake::Counts(StringHeap), main = fake::Counts(MainHeap);
        Run(0);
        return {Delta(strings, fake::Counts(StringHeap)), Delta(main, fake::Counts(MainHeap))};
    }

private:
    // While an open runs, the name and its zero byte are the used area's last
    // bytes, and the port of the previous pass is closed already.
    void CheckOpening(const char* path)
    {
        std::string name = std::string(path).substr(4);
        AreaPosition expectedEnd = scanStart + (AreaPosition)name.size() + 1;
        if (tempArea.end != expectedEnd || std::memcmp(tempArea.buffer + scanStart, name.c_str(), name.size() + 1))
            problems.push_back(name + ": area end " + std::to_string(tempArea.end) + ", expected " +
                               std::to_string(expectedEnd) + " holding the name");
        if (!fake::OpenDevices().empty()) problems.push_back(name + ": opened while another port is open");
    }

    AreaPosition scanStart = 0;
    Names problems;
};
