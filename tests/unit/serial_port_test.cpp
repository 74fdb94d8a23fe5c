#include <algorithm>
#include <atomic>
#include <cmath>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "fake_win32.h"
#include "platform/heaps.h"
#include "serial/serial_port.h"

namespace {

using Trace = std::vector<std::string>;

class SerialPort : public ::testing::Test {
protected:
    void SetUp() override
    {
        fake::Reset();
        MainHeap = HeapCreate(0, 4096, 0);
        SerialPortsInit();
    }
    static ObjectId Open(ObjectId id, const char* name, LONG handshake = HandshakeNone, LONG inQueue = 1024,
                         LONG outQueue = 1024)
    {
        return SerialPortOpen(id, name, 38400, EVENPARITY, 8, 1.0f, handshake, inQueue, outQueue);
    }
    static DCB LastWritten()
    {
        std::vector<fake::CommCall> calls = fake::CommCalls();
        auto it = std::find_if(calls.rbegin(), calls.rend(),
                               [](const fake::CommCall& c) { return c.fn == fake::CommFn::SetCommState; });
        EXPECT_NE(calls.rend(), it);
        return it == calls.rend() ? DCB{} : it->dcb;
    }
    static HANDLE CreatedHandle(std::size_t call) { return fake::CommCalls().at(call).handle; }
    static long Count(const std::string& line)
    {
        Trace trace = fake::CommTrace();
        return std::count(trace.begin(), trace.end(), line);
    }
    static Trace TraceFrom(std::size_t first)
    {
        Trace trace = fake::CommTrace();
        return Trace(trace.begin() + (long)std::min(first, trace.size()), trace.end());
    }
};

TEST_F(SerialPort, OpenConfiguresTheDeviceThenCloseReleasesIt)
{
    fake::AddDevice("Com3");
    ObjectId id = Open(DynamicId, "Com3");
    ASSERT_NE(0, id);
    SerialPortClose(id);
    SerialPortClose(id);
    EXPECT_EQ((Trace{"CreateFileA \\\\.\\Com3", "SetupComm Com3 1024 1024", "GetCommState Com3",
                     "SetCommState Com3", "SetCommTimeouts Com3 100 10 100 100 10", "CloseHandle Com3"}),
              fake::CommTrace());
    fake::CommCall create = fake::CommCalls().at(0);
    EXPECT_EQ(GENERIC_READ | GENERIC_WRITE, create.access);
    EXPECT_EQ(0u, create.shareMode);
    EXPECT_EQ(DWORD(OPEN_EXISTING), create.disposition);
    EXPECT_EQ(0u, create.flags);
    EXPECT_EQ(0, fake::BadCloses());
}

// Each mode against a port with XON/XOFF half on either way round, so that
// clearing what must be kept shows as well as failing to set.
TEST_F(SerialPort, DcbChangesOnlyWhatTheSettingsName)
{
    const struct {
        LONG handshake;
        std::function<void(DCB&)> change;
    } modes[] = {
        {0, [](DCB& d) { d.fOutxCtsFlow = 0, d.fRtsControl = RTS_CONTROL_DISABLE; }},
        {1, [](DCB& d) { d.fOutxCtsFlow = 0, d.fRtsControl = RTS_CONTROL_ENABLE; }},
        {2, [](DCB& d) { d.fOutxCtsFlow = 1, d.fRtsControl = RTS_CONTROL_HANDSHAKE; }},
        {3,
         [](DCB& d) {
             d.fOutX = 1, d.fInX = 1, d.XonChar = 0x11, d.XoffChar = 0x13;
             d.XonLim = 102, d.XoffLim = 714;
         }},
        {7, [](DCB&) {}},
    };
    int port = 0;
    for (const auto& mode : modes) {
        for (unsigned outX : {0u, 1u}) {
            SCOPED_TRACE("handshake " + std::to_string(mode.handshake) + ", port fOutX " + std::to_string(outX));
            fake::Device device;
            device.state.fOutX = outX;
            device.state.fInX = !outX;
            std::string name = "Com" + std::to_string(++port);
            fake::AddDevice(name, device);
            ObjectId id = Open(DynamicId, name.c_str(), mode.handshake);
            ASSERT_NE(0, id);
            DCB expected = device.state;
            expected.BaudRate = 38400;
            expected.Parity = EVENPARITY;
            expected.ByteSize = 8;
            expected.fParity = 1;
            expected.StopBits = ONESTOPBIT;
            mode.change(expected);
            EXPECT_EQ(fake::Describe(expected), fake::Describe(LastWritten()));
            SerialPortClose(id);
        }
    }
}

TEST_F(SerialPort, ParityAndDataBitsTakeTheirLowByteAndStopBitsOneOfThreeCodes)
{
    fake::AddDevice("Com1");
    // Each case changes what the previous one left on the port.
    const struct {
        float stopBits;
        BYTE stopCode;
        LONG parity;
    } cases[] = {{1.5f, ONE5STOPBITS, 0x102}, {1.0f, ONESTOPBIT, 0x100}, {3.0f, ONE5STOPBITS, 0x203},
                 {2.0f, TWOSTOPBITS, 0x101},  {NAN, ONE5STOPBITS, 0x104}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.stopBits);
        ObjectId id = SerialPortOpen(DynamicId, "Com1", 38400, c.parity, 0x105, c.stopBits, HandshakeNone, 1024, 1024);
        ASSERT_NE(0, id);
        DCB written = LastWritten();
        EXPECT_EQ(c.stopCode, written.StopBits);
        EXPECT_EQ(c.parity & 0xFF, written.Parity);
        EXPECT_EQ(1u, written.fParity);
        EXPECT_EQ(5, written.ByteSize);
        SerialPortClose(id);
    }
}

TEST_F(SerialPort, QueuesAreSetOnlyWhenBothArePositive)
{
    fake::AddDevice("Com1");
    const LONG queues[][2] = {{0, 1024}, {1024, 0}, {-1, 1024}, {1024, -5}};
    for (const auto& q : queues) {
        ObjectId id = Open(DynamicId, "Com1", HandshakeNone, q[0], q[1]);
        EXPECT_NE(0, id);
        SerialPortClose(id);
    }
    Trace trace = fake::CommTrace();
    EXPECT_EQ(0, std::count_if(trace.begin(), trace.end(),
                               [](const std::string& line) { return line.rfind("SetupComm", 0) == 0; }));
    EXPECT_EQ(4, Count("SetCommTimeouts Com1 100 10 100 100 10"));
}

TEST_F(SerialPort, FailedOpenLeavesNothingOpenOrRecorded)
{
    fake::Device held, broken, noState, refuses;
    held.heldElsewhere = true;
    broken.failCreate = true;
    noState.failGetState = true;
    refuses.failSetState = true;
    fake::AddDevice("Held", held);
    fake::AddDevice("Broken", broken);
    fake::AddDevice("NoState", noState);
    fake::AddDevice("Refuses", refuses);
    std::size_t blocks = fake::LiveBlocks(MainHeap);
    for (const char* name : {"Absent", "Held", "Broken", "NoState", "Refuses"}) {
        EXPECT_EQ(0, Open(DynamicId, name)) << name;
        EXPECT_EQ(0, Open(3, name)) << name;
    }
    EXPECT_TRUE(fake::OpenDevices().empty());
    EXPECT_EQ(blocks, fake::LiveBlocks(MainHeap));
    std::size_t calls = fake::CommCalls().size();
    SerialPortCloseAll();
    EXPECT_EQ(calls, fake::CommCalls().size());
    EXPECT_EQ(0, fake::BadCloses());
}

TEST_F(SerialPort, NameOfFiftyNineBytesOpensAndALongerOrNullNameNothing)
{
    std::string name59(59, 'n'), name60(60, 'n');
    fake::AddDevice(name59);
    fake::AddDevice(name60);
    ObjectId id = Open(DynamicId, name59.c_str());
    EXPECT_NE(0, id);
    EXPECT_EQ("\\\\.\\" + name59, fake::CommCalls().at(0).path);
    SerialPortClose(id);
    std::size_t calls = fake::CommCalls().size();
    EXPECT_EQ(0, Open(DynamicId, name60.c_str()));
    EXPECT_EQ(0, Open(DynamicId, nullptr));
    EXPECT_EQ(calls, fake::CommCalls().size());
}

TEST_F(SerialPort, ReopenedSlotReadiesTheNewPortBeforeClosingTheOld)
{
    fake::AddDevice("Com3");
    fake::AddDevice("Com4");
    ObjectId first = Open(3, "Com3");
    EXPECT_EQ((ObjectId)HandleToLong(CreatedHandle(0)), first);
    ObjectId second = Open(3, "Com4");
    EXPECT_EQ((Trace{"CreateFileA \\\\.\\Com4", "SetupComm Com4 1024 1024", "GetCommState Com4",
                     "SetCommState Com4", "SetCommTimeouts Com4 100 10 100 100 10", "CloseHandle Com3"}),
              TraceFrom(5));
    EXPECT_EQ((ObjectId)HandleToLong(CreatedHandle(5)), second);
    EXPECT_EQ(Trace{"Com4"}, fake::OpenDevices());
    SerialPortClose(3);
    EXPECT_TRUE(fake::OpenDevices().empty());
    EXPECT_EQ(0, fake::BadCloses());
}

TEST_F(SerialPort, SameDeviceAgainInItsSlotFailsAndKeepsTheFirst)
{
    fake::AddDevice("Com3");
    ASSERT_NE(0, Open(3, "Com3"));
    EXPECT_EQ(0, Open(3, "Com3"));
    EXPECT_EQ(Trace{"Com3"}, fake::OpenDevices());
    SerialPortClose(3);
    EXPECT_TRUE(fake::OpenDevices().empty());
    EXPECT_EQ(1, Count("CloseHandle Com3"));
}

TEST_F(SerialPort, CloseAllTakesSlotsInOrderThenDynamicOldestFirstThenNothing)
{
    for (const char* name : {"Com2", "Com5", "Com7", "Com8"}) fake::AddDevice(name);
    Open(5, "Com5");
    Open(DynamicId, "Com7");
    Open(2, "Com2");
    Open(DynamicId, "Com8");
    std::size_t from = fake::CommTrace().size();
    SerialPortCloseAll();
    EXPECT_EQ((Trace{"CloseHandle Com2", "CloseHandle Com5", "CloseHandle Com7", "CloseHandle Com8"}), TraceFrom(from));
    from = fake::CommTrace().size();
    SerialPortCloseAll();
    EXPECT_EQ(from, fake::CommTrace().size());
    EXPECT_EQ(0, fake::BadCloses());
}

TEST_F(SerialPort, PortWithoutARegistryObjectIsClosedAgain)
{
    fake::AddDevice("Com1");
    fake::FailAllAllocations(MainHeap);
    EXPECT_EQ(0, Open(DynamicId, "Com1"));
    EXPECT_EQ(0, Open(20, "Com1"));
    EXPECT_TRUE(fake::OpenDevices().empty());
    EXPECT_EQ(2, Count("CloseHandle Com1"));
    EXPECT_EQ(0, fake::BadCloses());
}

// The close event's thread runs SerialPortCloseAll while the main thread
// opens and closes ports. Run under ThreadSanitizer too.
TEST_F(SerialPort, CloseAllOnAnotherThreadNeverClosesTwiceNorLeavesAPortOpen)
{
    for (const char* name : {"Com1", "Com2", "Com3", "Com4"}) fake::AddDevice(name);
    std::atomic<bool> done{false};
    std::thread closer([&] {
        while (!done) SerialPortCloseAll();
    });
    for (int i = 0; i < 300; i++) {
        ObjectId a = Open(DynamicId, "Com1");
        Open(3, i % 2 ? "Com2" : "Com3");
        ObjectId b = Open(DynamicId, "Com4");
        SerialPortClose(a);
        SerialPortClose(3);
        SerialPortClose(b);
    }
    done = true;
    closer.join();
    SerialPortCloseAll();
    EXPECT_TRUE(fake::OpenDevices().empty());
    EXPECT_EQ(0, fake::BadCloses());
    EXPECT_EQ(0, fake::HeapMisuses());
}

}  // namespace
