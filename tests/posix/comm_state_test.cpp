// GetCommState, SetCommState and the time-outs on real pseudo-terminals, read
// back from the slave. A pty keeps speed, stop bits, flow control and the raw
// flags, but forces 8 data bits and no parity: those are checked on the
// request itself, in comm_request_test.cpp.
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <cstring>

#include "platform/posix/handles.h"
#include "tests/posix/program_open.h"
#include "tests/posix/pty_fixture.h"

namespace {

using CommState = PtyTest;

void ExpectRaw(const struct termios2& t)
{
    EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
    EXPECT_EQ(t.c_oflag & OPOST, 0u);
    EXPECT_EQ(t.c_iflag & (ICRNL | INLCR | IGNCR | ISTRIP | BRKINT | PARMRK | IXANY), 0u);
    EXPECT_EQ(t.c_cflag & (CLOCAL | CREAD), (tcflag_t)(CLOCAL | CREAD));
}

TEST_F(CommState, TheProgramsSequenceLeavesARawLineAt38400)
{
    HANDLE h = OpenLikeTheProgram(path(), scanLine);
    ASSERT_NE(h, INVALID_HANDLE_VALUE) << GetLastError();
    struct termios2 t = ReadTermios2(pty->slave());
    EXPECT_EQ(t.c_cflag & (CBAUD | CIBAUD), (tcflag_t)(B38400 | (B38400 << IBSHIFT)));
    EXPECT_EQ(t.c_ospeed, 38400u);
    EXPECT_EQ(t.c_ispeed, 38400u);
    EXPECT_EQ(t.c_cflag & CSIZE, (tcflag_t)CS8);
    EXPECT_EQ(t.c_cflag & CSTOPB, 0u);
    EXPECT_EQ(t.c_cflag & CRTSCTS, 0u);
    ExpectRaw(t);
    // The time-outs wait for the first read, as on Windows.
    EXPECT_EQ(t.c_cc[VMIN], before.c_cc[VMIN]);
    EXPECT_EQ(t.c_cc[VTIME], before.c_cc[VTIME]);
    COMMTIMEOUTS timeouts;
    ASSERT_TRUE(GetCommTimeouts(h, &timeouts));
    EXPECT_EQ(timeouts.ReadIntervalTimeout, 100u);
    EXPECT_EQ(timeouts.ReadTotalTimeoutMultiplier, 10u);
    EXPECT_EQ(timeouts.ReadTotalTimeoutConstant, 100u);
    EXPECT_EQ(timeouts.WriteTotalTimeoutMultiplier, 100u);
    EXPECT_EQ(timeouts.WriteTotalTimeoutConstant, 10u);
    EXPECT_TRUE(CloseLikeTheProgram(h));
}

TEST_F(CommState, GetCommStateFillsTheWholeDcbFromTheLine)
{
    HANDLE h = CreateFileA(path(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    DCB got;
    std::memset(&got, 0xA5, sizeof got);
    ASSERT_TRUE(GetCommState(h, &got));
    // The fixture's line: 9600, 8 data bits, two stop bits, RTS/CTS, no
    // parity check; a pty has no modem lines to read.
    DCB want;
    std::memset(&want, 0, sizeof want);
    want.DCBlength = sizeof want;
    want.BaudRate = 9600;
    want.fBinary = 1;
    want.fOutxCtsFlow = 1;
    want.fRtsControl = RTS_CONTROL_HANDSHAKE;
    want.fDtrControl = DTR_CONTROL_ENABLE;
    want.ByteSize = 8;
    want.Parity = NOPARITY;
    want.StopBits = TWOSTOPBITS;
    want.XonChar = (char)before.c_cc[VSTART];
    want.XoffChar = (char)before.c_cc[VSTOP];
    want.EofChar = (char)before.c_cc[VEOF];
    EXPECT_EQ(std::memcmp(&got, &want, sizeof got), 0) << "BaudRate " << got.BaudRate << " StopBits "
                                                       << (int)got.StopBits << " fRtsControl " << got.fRtsControl;
    EXPECT_TRUE(CloseHandle(h));
}

struct HeldSetting {
    const char* name;
    ScanLineSettings line;
    BYTE stopBits;  // what GetCommState reads back
    tcflag_t cflagMask, cflag;  // what the slave's c_cflag must show
    tcflag_t iflagMask, iflag;
    speed_t speed;
};

TEST_F(CommState, EverySettingAPtyKeepsReachesTheLineAndReadsBack)
{
    const HeldSetting cases[] = {
        {"two stop bits", {50, NOPARITY, 8, 2.0f, HandshakeNone, 0, 0}, TWOSTOPBITS, CSTOPB | CBAUD | CIBAUD,
         CSTOPB | B50 | (B50 << IBSHIFT), 0, 0, 50},
        {"RTS/CTS", {4000000, NOPARITY, 8, 1.0f, HandshakeRtsCts, 0, 0}, ONESTOPBIT, CRTSCTS | CBAUD | CIBAUD,
         CRTSCTS | B4000000 | (B4000000 << IBSHIFT), 0, 0, 4000000},
        // Software flow control leaves the port's hardware flow control on.
        {"XON/XOFF", {19200, NOPARITY, 8, 1.0f, HandshakeXonXoff, 2000, 2000}, ONESTOPBIT, CRTSCTS, CRTSCTS, IXON | IXOFF, IXON | IXOFF,
         19200},
        {"rate off the table", {250000, NOPARITY, 8, 1.0f, HandshakeNone, 0, 0}, ONESTOPBIT, CBAUD | CIBAUD, BOTHER | (BOTHER << IBSHIFT),
         0, 0, 250000},
    };
    for (const HeldSetting& c : cases) {
        WriteTermios2(pty->slave(), before);
        HANDLE h = OpenLikeTheProgram(path(), c.line);
        ASSERT_NE(h, INVALID_HANDLE_VALUE) << c.name << ": " << GetLastError();
        struct termios2 t = ReadTermios2(pty->slave());
        EXPECT_EQ(t.c_cflag & c.cflagMask, c.cflag) << c.name;
        EXPECT_EQ(t.c_iflag & c.iflagMask, c.iflag) << c.name;
        EXPECT_EQ(t.c_ospeed, c.speed) << c.name;
        EXPECT_EQ(t.c_ispeed, c.speed) << c.name;
        ExpectRaw(t);

        DCB dcb;
        ASSERT_TRUE(GetCommState(h, &dcb));
        EXPECT_EQ(dcb.BaudRate, (DWORD)c.line.baud) << c.name;
        EXPECT_EQ(dcb.StopBits, c.stopBits) << c.name;
        EXPECT_EQ(dcb.fOutxCtsFlow, c.line.handshake >= 2 ? 1u : 0u) << c.name;
        if (c.line.handshake == HandshakeXonXoff) {
            EXPECT_EQ(dcb.fOutX + dcb.fInX, 2u);
            EXPECT_EQ(dcb.XonChar, 0x11);
            EXPECT_EQ(dcb.XoffChar, 0x13);
            EXPECT_EQ(dcb.XonLim, 200);
            EXPECT_EQ(dcb.XoffLim, 1400);
        }
        EXPECT_TRUE(CloseLikeTheProgram(h));
    }
}

TEST_F(CommState, RefusedSettingsLeaveTheLineAlone)
{
    HANDLE h = CreateFileA(path(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    DCB good;
    ASSERT_TRUE(GetCommState(h, &good));
    good.BaudRate = 38400;
    good.ByteSize = 8;
    good.Parity = EVENPARITY;
    good.StopBits = ONESTOPBIT;
    struct BadField {
        DWORD baud;
        BYTE size, parity, stop;
    };
    const BadField refused[] = {
        {0, 8, NOPARITY, ONESTOPBIT},     {38400, 4, NOPARITY, ONESTOPBIT}, {38400, 9, NOPARITY, ONESTOPBIT},
        {38400, 8, 5, ONESTOPBIT},        {38400, 8, NOPARITY, 3},          {38400, 6, NOPARITY, ONE5STOPBITS},
        {38400, 8, NOPARITY, ONE5STOPBITS}, {38400, 5, NOPARITY, TWOSTOPBITS},
    };
    for (const BadField& bad : refused) {
        DCB dcb = good;
        dcb.BaudRate = bad.baud;
        dcb.ByteSize = bad.size;
        dcb.Parity = bad.parity;
        dcb.StopBits = bad.stop;
        SetLastError(ERROR_SUCCESS);
        EXPECT_FALSE(SetCommState(h, &dcb)) << bad.baud << " " << (int)bad.size << " " << (int)bad.stop;
        EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
        EXPECT_TRUE(SameTermios2(ReadTermios2(pty->slave()), before));
    }
    // The edges of what a driver takes.
    DCB dcb = good;
    dcb.ByteSize = 5;
    dcb.StopBits = ONE5STOPBITS;
    EXPECT_TRUE(SetCommState(h, &dcb));
    dcb.ByteSize = 6;
    dcb.StopBits = TWOSTOPBITS;
    EXPECT_TRUE(SetCommState(h, &dcb));
    EXPECT_TRUE(CloseHandle(h));
}

// Time-outs are kept with the handle and reach the line, with blocking
// mode, at the first read after they were set; a line setting keeps them.
TEST_F(CommState, ReadsWaitAsTheTimeoutsSay)
{
    HANDLE h = CreateFileA(path(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    struct Case {
        COMMTIMEOUTS timeouts;
        int vmin, vtime;
    };
    // Until time-outs are set they are all zero, and the line keeps its own.
    COMMTIMEOUTS initial;
    ASSERT_TRUE(GetCommTimeouts(h, &initial));
    EXPECT_EQ(initial.ReadIntervalTimeout | initial.ReadTotalTimeoutConstant | initial.ReadTotalTimeoutMultiplier, 0u);
    DCB dcb;
    ASSERT_TRUE(GetCommState(h, &dcb));
    ASSERT_TRUE(SetCommState(h, &dcb));
    EXPECT_EQ(ReadTermios2(pty->slave()).c_cc[VTIME], before.c_cc[VTIME]);

    // Blocking: with nothing to read, a read waits out its total time-out.
    COMMTIMEOUTS wait = {0, 0, 300, 0, 0};
    ASSERT_TRUE(SetCommTimeouts(h, &wait));
    EXPECT_EQ(ReadTermios2(pty->slave()).c_cc[VTIME], before.c_cc[VTIME]) << "time-outs sent before a read";
    char byte = 0;
    DWORD got = 1;
    auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(ReadFile(h, &byte, 1, &got, nullptr)) << GetLastError();
    auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(got, 0u);
    EXPECT_GE(waited, std::chrono::milliseconds(250)) << "the read did not wait";
    EXPECT_LT(waited, std::chrono::seconds(5)) << "the read waited past its time-out";

    const Case cases[] = {
        {{0xFFFFFFFFu, 0, 0, 0, 0}, 0, 0},  // return at once with what is there
        {{0, 0, 0, 0, 0}, 1, 0},            // wait for data
        {{500, 0, 0, 0, 0}, 1, 5},          // first byte, then gaps of 0.5 s
        {{0, 0, 1, 0, 0}, 0, 1},            // a short wait still waits
        {{0, 0, 60000, 0, 0}, 0, 255},      // longer than VTIME holds
        {{100, 10, 100, 100, 10}, 0, 2},
    };
    for (const Case& c : cases) {
        COMMTIMEOUTS given = c.timeouts;
        ASSERT_TRUE(SetCommTimeouts(h, &given));
        ASSERT_EQ(write(pty->master(), "x", 1), 1);
        pollfd arrived = {pty->slave(), POLLIN, 0};
        ASSERT_EQ(poll(&arrived, 1, 5000), 1);
        ASSERT_TRUE(ReadFile(h, &byte, 1, &got, nullptr));
        EXPECT_EQ(got, 1u);
        // SetCommState keeps what the time-outs asked for.
        ASSERT_TRUE(GetCommState(h, &dcb));
        ASSERT_TRUE(SetCommState(h, &dcb));
        struct termios2 t = ReadTermios2(pty->slave());
        EXPECT_EQ(t.c_cc[VMIN], c.vmin) << c.timeouts.ReadTotalTimeoutConstant;
        EXPECT_EQ(t.c_cc[VTIME], c.vtime) << c.timeouts.ReadTotalTimeoutConstant;
        COMMTIMEOUTS recorded;
        ASSERT_TRUE(GetCommTimeouts(h, &recorded));
        EXPECT_EQ(std::memcmp(&recorded, &given, sizeof given), 0);
    }
    // Only all three read time-outs maximal are refused, and not recorded.
    COMMTIMEOUTS impossible = {0xFFFFFFFFu, 0xFFFFFFFFu, 0xFFFFFFFFu, 0, 0};
    EXPECT_FALSE(SetCommTimeouts(h, &impossible));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
    EXPECT_TRUE(CloseHandle(h));
}

}  // namespace
