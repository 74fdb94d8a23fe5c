// The exact termios2 request SetCommState sends, seen through the recording
// seam: a pty forces 8 data bits and no parity, so only the request shows
// whether those were asked for. Canned answers check GetCommState's reading
// of settings a pty cannot hold.
#include <cerrno>
#include <cstring>
#include <vector>

#include "platform/posix/last_error.h"
#include "platform/posix/tty_ioctl.h"
#include "tests/posix/program_open.h"
#include "tests/posix/pty_fixture.h"
#include "tests/posix/recording_tty_ioctl.h"
#include "tests/posix/tty_probe.h"

namespace {

class CommRequest : public PtyTest {
protected:
    void SetUp() override
    {
        PtyTest::SetUp();
        TtyRecordingReset();
    }
    // Runs the program's sequence and returns SetCommState's request.
    struct termios2 RequestFor(const ScanLineSettings& line)
    {
        TtyRecordingReset();
        HANDLE h = OpenLikeTheProgram(path(), line);
        EXPECT_NE(h, INVALID_HANDLE_VALUE);
        if (h != INVALID_HANDLE_VALUE) {
            EXPECT_TRUE(CloseLikeTheProgram(h));
        }
        EXPECT_GE(ttyRecording.setCount, 1);
        return ttyRecording.sets[0];
    }
};

const tcflag_t frameBits = CSIZE | PARENB | PARODD | CMSPAR | CSTOPB;

TEST_F(CommRequest, EvenParityEightDataBitsOneStopAt38400)
{
    struct termios2 t = RequestFor(scanLine);
    EXPECT_EQ(t.c_cflag & frameBits, (tcflag_t)(CS8 | PARENB));
    EXPECT_EQ(t.c_cflag & (CBAUD | CIBAUD), (tcflag_t)(B38400 | (B38400 << IBSHIFT)));
    EXPECT_EQ(t.c_ospeed, 38400u);
    EXPECT_EQ(t.c_ispeed, 38400u);
    EXPECT_EQ(t.c_cflag & CRTSCTS, 0u);
    EXPECT_EQ(t.c_cflag & (CLOCAL | CREAD), (tcflag_t)(CLOCAL | CREAD));
    EXPECT_NE(t.c_iflag & INPCK, 0u) << "fParity with parity checks input";
    EXPECT_EQ(t.c_iflag & (ICRNL | INLCR | IGNCR | ISTRIP | BRKINT | PARMRK | IXANY), 0u);
    EXPECT_EQ(t.c_oflag & OPOST, 0u);
    EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
    // Handshake none drops RTS (which the pty refuses, and that is no failure).
    EXPECT_EQ(ttyRecording.modemChanges, 1);
    EXPECT_EQ(ttyRecording.modemBits, TIOCM_RTS);
    EXPECT_FALSE(ttyRecording.modemRaise);
}

TEST_F(CommRequest, EveryFrameFormatIsAskedForExactly)
{
    struct Case {
        BYTE parity, size;
        float stop;
        tcflag_t frame;
        bool inputCheck;
    };
    const Case cases[] = {
        {NOPARITY, 8, 1.0f, CS8, false},
        {ODDPARITY, 7, 1.0f, CS7 | PARENB | PARODD, true},
        {MARKPARITY, 6, 2.0f, CS6 | PARENB | PARODD | CMSPAR | CSTOPB, true},
        {SPACEPARITY, 5, 1.5f, CS5 | PARENB | CMSPAR | CSTOPB, true},
        {EVENPARITY, 7, 2.0f, CS7 | PARENB | CSTOPB, true},
    };
    for (const Case& c : cases) {
        ScanLineSettings line = scanLine;
        line.parity = c.parity;
        line.dataBits = c.size;
        line.stopBits = c.stop;
        struct termios2 t = RequestFor(line);
        EXPECT_EQ(t.c_cflag & frameBits, c.frame) << (int)c.parity << (int)c.size << c.stop;
        EXPECT_EQ((t.c_iflag & INPCK) != 0, c.inputCheck) << (int)c.parity;
    }
}

TEST_F(CommRequest, HandshakeModesDriveCrtsctsAndRts)
{
    ScanLineSettings line = scanLine;
    line.handshake = HandshakeRtsOn;
    EXPECT_EQ(RequestFor(line).c_cflag & CRTSCTS, 0u);
    EXPECT_EQ(ttyRecording.modemChanges, 1);
    EXPECT_TRUE(ttyRecording.modemRaise);

    line.handshake = HandshakeRtsCts;
    EXPECT_NE(RequestFor(line).c_cflag & CRTSCTS, 0u);
    EXPECT_EQ(ttyRecording.modemChanges, 0) << "under handshake the kernel drives RTS";

    line.handshake = HandshakeXonXoff;
    struct termios2 t = RequestFor(line);
    EXPECT_EQ(t.c_iflag & (IXON | IXOFF), (tcflag_t)(IXON | IXOFF));
    EXPECT_EQ(t.c_cc[VSTART], 0x11);
    EXPECT_EQ(t.c_cc[VSTOP], 0x13);
}

TEST_F(CommRequest, GetCommStateReadsWhatAPtyCannotHold)
{
    HANDLE h = CreateFileA(path(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    // RTS and DTR as configured, not as the lines are: raised at the open,
    // RTS kept by every DCB sent back below.
    struct Case {
        tcflag_t cflag, iflag;
        BYTE size, parity, stop;
        unsigned rts, parityCheck;
        cc_t xon = 0x11, xoff = 0x13;  // as the kernel holds them
        unsigned outX = 0, inX = 0;    // the flow control the DCB reports
    };
    const Case cases[] = {
        {CS7 | PARENB, INPCK, 7, EVENPARITY, ONESTOPBIT, RTS_CONTROL_ENABLE, 1},
        {CS8 | PARENB | PARODD | CSTOPB, 0, 8, ODDPARITY, TWOSTOPBITS, RTS_CONTROL_ENABLE, 0},
        {CS6 | PARENB | PARODD | CMSPAR, 0, 6, MARKPARITY, ONESTOPBIT, RTS_CONTROL_ENABLE, 0},
        {CS5 | PARENB | CMSPAR | CSTOPB, 0, 5, SPACEPARITY, ONE5STOPBITS, RTS_CONTROL_ENABLE, 0},
        {CS8 | CMSPAR | CRTSCTS, 0, 8, NOPARITY, ONESTOPBIT, RTS_CONTROL_HANDSHAKE, 0},
        {CS8, IXON | IXOFF, 8, NOPARITY, ONESTOPBIT, RTS_CONTROL_ENABLE, 0, 0x11, 0x13, 1, 1},
        // Pairs no Windows driver holds (stty start undef stop undef): no
        // flow control, so that the DCB goes back and the port is found.
        {CS8, IXON | IXOFF, 8, NOPARITY, ONESTOPBIT, RTS_CONTROL_ENABLE, 0, 0, 0},
        {CS8, IXON, 8, NOPARITY, ONESTOPBIT, RTS_CONTROL_ENABLE, 0, 0x11, 0},
        {CS8, IXOFF, 8, NOPARITY, ONESTOPBIT, RTS_CONTROL_ENABLE, 0, 0x13, 0x13},
    };
    for (const Case& c : cases) {
        ttyRecording.canned = true;
        ttyRecording.cannedSettings = before;
        ttyRecording.cannedSettings.c_cflag = c.cflag | BOTHER | CREAD;
        ttyRecording.cannedSettings.c_iflag = c.iflag;
        ttyRecording.cannedSettings.c_ospeed = 250000;
        ttyRecording.cannedSettings.c_cc[VSTART] = c.xon;
        ttyRecording.cannedSettings.c_cc[VSTOP] = c.xoff;
        DCB dcb;
        ASSERT_TRUE(GetCommState(h, &dcb));
        EXPECT_EQ(dcb.BaudRate, 250000u);
        EXPECT_EQ(dcb.ByteSize, c.size) << c.cflag;
        EXPECT_EQ(dcb.Parity, c.parity) << c.cflag;
        EXPECT_EQ(dcb.StopBits, c.stop) << c.cflag;
        EXPECT_EQ(dcb.fRtsControl, c.rts) << c.cflag;
        EXPECT_EQ(dcb.fOutxCtsFlow, c.rts == RTS_CONTROL_HANDSHAKE ? 1u : 0u);
        EXPECT_EQ(dcb.fDtrControl, (unsigned)DTR_CONTROL_ENABLE) << c.cflag;
        EXPECT_EQ(dcb.fParity, c.parityCheck) << c.cflag;
        EXPECT_EQ(dcb.fOutX, c.outX) << c.iflag;
        EXPECT_EQ(dcb.fInX, c.inX) << c.iflag;

        // Sent back unchanged, the DCB asks for the same frame.
        ttyRecording.setCount = 0;
        ASSERT_TRUE(SetCommState(h, &dcb));
        ASSERT_EQ(ttyRecording.setCount, 1);
        tcflag_t frame = c.cflag & (frameBits | CRTSCTS);
        if (!(c.cflag & PARENB)) frame &= ~(tcflag_t)CMSPAR;  // stick parity means nothing without parity
        EXPECT_EQ(ttyRecording.sets[0].c_cflag & (frameBits | CRTSCTS), frame) << c.cflag;
    }
    ttyRecording.canned = false;
    // A DCB that drops RTS is what the next GetCommState reports.
    DCB dcb;
    ASSERT_TRUE(GetCommState(h, &dcb));
    dcb.fOutxCtsFlow = 0;
    dcb.fRtsControl = RTS_CONTROL_DISABLE;
    ASSERT_TRUE(SetCommState(h, &dcb));
    ASSERT_TRUE(GetCommState(h, &dcb));
    EXPECT_EQ(dcb.fRtsControl, (unsigned)RTS_CONTROL_DISABLE);
    EXPECT_TRUE(CloseHandle(h));
}

TEST_F(CommRequest, ChangesStartFromTheSettingsLastReadOrAccepted)
{
    HANDLE h = OpenLikeTheProgram(path(), scanLine);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(ttyRecording.getCount, 1) << "only GetCommState reads the line";
    ASSERT_EQ(ttyRecording.setCount, 1) << "only SetCommState changes it";
    // The time-outs reach the line at the first read, changing VMIN and VTIME alone.
    COMMTIMEOUTS timeouts = {0xFFFFFFFFu, 0, 0, 0, 0};
    ASSERT_TRUE(SetCommTimeouts(h, &timeouts));
    char byte;
    DWORD got;
    ASSERT_TRUE(ReadFile(h, &byte, 1, &got, nullptr));
    ASSERT_EQ(ttyRecording.setCount, 2);
    struct termios2 state = ttyRecording.sets[0];
    state.c_cc[VMIN] = ttyRecording.sets[1].c_cc[VMIN];
    state.c_cc[VTIME] = ttyRecording.sets[1].c_cc[VTIME];
    EXPECT_TRUE(SameTermios2(state, ttyRecording.sets[1]));

    // A refused state is not what the next change starts from.
    DCB dcb;
    ASSERT_TRUE(GetCommState(h, &dcb));
    dcb.BaudRate = 9600;
    ttyRecording.failSets = EINVAL;
    EXPECT_FALSE(SetCommState(h, &dcb));
    ttyRecording.failSets = 0;
    timeouts.WriteTotalTimeoutConstant = 1;
    ASSERT_TRUE(SetCommTimeouts(h, &timeouts));
    ttyRecording.setCount = 0;
    ASSERT_TRUE(ReadFile(h, &byte, 1, &got, nullptr));
    EXPECT_EQ(ttyRecording.sets[0].c_ospeed, 38400u);
    EXPECT_TRUE(CloseLikeTheProgram(h));

    // A new open, which may reuse the descriptor, starts from the kernel's,
    // the line as the close put it back: canonical, so the read waits for a line.
    h = CreateFileA(path(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    TtyRecordingReset();
    ASSERT_EQ(write(pty->master(), "x\n", 2), 2);
    ASSERT_TRUE(SetCommTimeouts(h, &timeouts));
    ASSERT_TRUE(ReadFile(h, &byte, 1, &got, nullptr));
    EXPECT_EQ(ttyRecording.getCount, 1);
    EXPECT_TRUE(CloseHandle(h));
}

TEST_F(CommRequest, TheKernelsRefusalIsTheAnswer)
{
    HANDLE h = CreateFileA(path(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    DCB dcb;
    ASSERT_TRUE(GetCommState(h, &dcb));
    const int refusals[] = {EINVAL, EIO};
    for (int err : refusals) {
        ttyRecording.failSets = err;
        dcb.XonLim = 77;
        EXPECT_FALSE(SetCommState(h, &dcb));
        EXPECT_EQ(GetLastError(), Win32ErrorFromErrno(err));
        // Time-outs the line refuses fail the read they were for.
        COMMTIMEOUTS timeouts = {0xFFFFFFFFu, 0, 0, 0, 0};
        EXPECT_TRUE(SetCommTimeouts(h, &timeouts));
        char byte;
        DWORD got;
        EXPECT_FALSE(ReadFile(h, &byte, 1, &got, nullptr));
        EXPECT_EQ(GetLastError(), Win32ErrorFromErrno(err));
        ttyRecording.failSets = 0;
        DCB after;
        ASSERT_TRUE(GetCommState(h, &after));
        EXPECT_EQ(after.XonLim, 0) << "a refused state was recorded";
    }
    EXPECT_TRUE(SameTermios2(ReadTermios2(pty->slave()), before));
    EXPECT_TRUE(CloseHandle(h));
}

// Linux keeps a terminal's settings after the last close: the close puts
// back what the handle changed, the line as found and then RTS as the open
// left it (raised, but at B0), before it lets the mark go.
TEST_F(CommRequest, TheClosePutsBackWhatTheHandleChanged)
{
    const struct {
        const char* what;
        bool configure;  // the program's sequence, or an open and a close
        bool hangUp;     // the line found at B0, where the open raises nothing
        std::vector<unsigned long> atClose;  // after the program's, the helper's look first
    } cases[] = {
        {"configured", true, false, {TCGETS2, TCSETS2, TIOCMBIS, TIOCNXCL}},
        {"configured, found at B0", true, true, {TCGETS2, TCSETS2, TIOCNXCL}},
        {"only opened", false, false, {TIOCNXCL}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        struct termios2 found = before;
        if (c.hangUp) found.c_cflag &= ~(tcflag_t)CBAUD;
        WriteTermios2(pty->master(), found);
        found = ReadTermios2(pty->master());
        TtyRecordingReset();
        ttyRecording.modemLines = true;
        HANDLE h = c.configure ? OpenLikeTheProgram(path(), scanLine)
                               : CreateFileA(path(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(h, INVALID_HANDLE_VALUE);
        int opened = ttyRecording.requests;
        ASSERT_TRUE(c.configure ? CloseLikeTheProgram(h) : CloseHandle(h));
        std::vector<unsigned long> atClose(ttyRecording.order + opened, ttyRecording.order + ttyRecording.requests);
        EXPECT_EQ(atClose, c.atClose);
        if (c.configure) {
            EXPECT_TRUE(SameTermios2(ttyRecording.sets[ttyRecording.setCount - 1], found));
        }
        if (c.atClose.size() > 2) {
            EXPECT_EQ(ttyRecording.modemBits, TIOCM_RTS);
        }
        EXPECT_TRUE(SameTermios2(ReadTermios2(pty->master()), found));
    }
}

// Root included, the kernel refuses a port another open marked exclusive at
// the open itself: no request reaches it, and its mark and line stay.
TEST_F(CommRequest, APortMarkedExclusiveIsRefusedAtTheOpen)
{
    ASSERT_EQ(ioctl(pty->slave(), TIOCEXCL), 0);
    EXPECT_EQ(CreateFileA(path(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_ACCESS_DENIED);
    EXPECT_EQ(ttyRecording.requests, 0);
    EXPECT_TRUE(IsExclusive(pty->slave()));
    EXPECT_TRUE(SameTermios2(ReadTermios2(pty->slave()), before));
    ioctl(pty->slave(), TIOCNXCL);
}

}  // namespace
