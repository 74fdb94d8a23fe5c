#include "platform/posix/comm_dcb.h"

#include <cstring>

namespace {

struct RateCode {
    DWORD rate;
    tcflag_t code;
};

// The rates with a Bxxx code of their own; any other goes through BOTHER.
const RateCode standardRates[] = {
    {50, B50},           {75, B75},           {110, B110},         {134, B134},         {150, B150},
    {200, B200},         {300, B300},         {600, B600},         {1200, B1200},       {1800, B1800},
    {2400, B2400},       {4800, B4800},       {9600, B9600},       {19200, B19200},     {38400, B38400},
    {57600, B57600},     {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
    {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000}, {1500000, B1500000},
    {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000}, {3500000, B3500000}, {4000000, B4000000},
};

tcflag_t RateCodeFor(DWORD rate)
{
    for (const auto& entry : standardRates)
        if (entry.rate == rate) return entry.code;
    return BOTHER;
}

// By ByteSize - 5, and by Parity (NOPARITY to SPACEPARITY).
const tcflag_t sizeCodes[] = {CS5, CS6, CS7, CS8};
const tcflag_t parityCodes[] = {0, PARENB | PARODD, PARENB, PARENB | PARODD | CMSPAR, PARENB | CMSPAR};

// The place of code in codes, which holds it.
BYTE PlaceOf(const tcflag_t* codes, tcflag_t code)
{
    BYTE place = 0;
    while (codes[place] != code) place++;
    return place;
}

const DWORD maxDword = 0xFFFFFFFFu;

// Tenths of a second, rounded up so that a short time-out never becomes no
// wait at all, and capped at what VTIME holds.
cc_t Tenths(DWORD milliseconds)
{
    DWORD tenths = milliseconds / 100 + (milliseconds % 100 != 0);
    return (cc_t)(tenths > 255 ? 255 : tenths);
}

}  // namespace

DWORD DcbCheck(const DCB* dcb)
{
    if (dcb->BaudRate == 0) return ERROR_INVALID_PARAMETER;
    if (dcb->ByteSize < 5 || dcb->ByteSize > 8) return ERROR_INVALID_PARAMETER;
    if (dcb->Parity > SPACEPARITY || dcb->StopBits > TWOSTOPBITS) return ERROR_INVALID_PARAMETER;
    // One and a half stop bits exist only with 5 data bits, two only with more.
    if (dcb->StopBits == ONE5STOPBITS && dcb->ByteSize != 5) return ERROR_INVALID_PARAMETER;
    if (dcb->StopBits == TWOSTOPBITS && dcb->ByteSize == 5) return ERROR_INVALID_PARAMETER;
    if (dcb->fDtrControl > DTR_CONTROL_HANDSHAKE) return ERROR_INVALID_PARAMETER;
    if ((dcb->fOutX || dcb->fInX) && dcb->XonChar == dcb->XoffChar) return ERROR_INVALID_PARAMETER;
    // No way here to toggle RTS around sending, nor to pace on DSR or by DTR.
    if (dcb->fRtsControl == RTS_CONTROL_TOGGLE || dcb->fDtrControl == DTR_CONTROL_HANDSHAKE || dcb->fOutxDsrFlow)
        return ERROR_NOT_SUPPORTED;
    return ERROR_SUCCESS;
}

void DcbFromTermios2(const struct termios2* settings, const DcbExtra* extra, DCB* dcb)
{
    std::memset(dcb, 0, sizeof *dcb);
    tcflag_t c = settings->c_cflag;
    dcb->DCBlength = sizeof *dcb;
    dcb->BaudRate = settings->c_ospeed;
    dcb->ByteSize = (BYTE)(5 + PlaceOf(sizeCodes, c & CSIZE));
    dcb->Parity = PlaceOf(parityCodes, (c & PARENB) ? c & (PARENB | PARODD | CMSPAR) : 0);
    dcb->StopBits = !(c & CSTOPB) ? ONESTOPBIT : dcb->ByteSize == 5 ? ONE5STOPBITS : TWOSTOPBITS;
    dcb->fBinary = 1;
    dcb->fParity = (settings->c_iflag & INPCK) ? 1 : 0;
    dcb->fOutxCtsFlow = (c & CRTSCTS) ? 1 : 0;
    if (c & CRTSCTS)
        dcb->fRtsControl = RTS_CONTROL_HANDSHAKE;
    else
        dcb->fRtsControl = extra->rtsControl == RTS_CONTROL_DISABLE ? RTS_CONTROL_DISABLE : RTS_CONTROL_ENABLE;
    dcb->fDtrControl = DTR_CONTROL_ENABLE;
    // Windows paces by two distinct characters: a pair undefined (0, as after
    // stty start undef) or equal, which SetCommState would refuse, is no
    // software flow control.
    cc_t xon = settings->c_cc[VSTART], xoff = settings->c_cc[VSTOP];
    bool pair = xon != 0 && xoff != 0 && xon != xoff;
    dcb->fOutX = pair && (settings->c_iflag & IXON) ? 1 : 0;
    dcb->fInX = pair && (settings->c_iflag & IXOFF) ? 1 : 0;
    dcb->XonLim = extra->xonLim;
    dcb->XoffLim = extra->xoffLim;
    dcb->XonChar = (char)settings->c_cc[VSTART];
    dcb->XoffChar = (char)settings->c_cc[VSTOP];
    dcb->EofChar = (char)settings->c_cc[VEOF];
}

void Termios2FromDcb(const DCB* dcb, struct termios2* settings)
{
    // Raw: bytes pass unchanged both ways, and no character is special
    // except the XON/XOFF pair when software flow control is on.
    settings->c_iflag &= ~(tcflag_t)(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF |
                                     IXANY | INPCK | IUCLC | IMAXBEL);
    settings->c_oflag &= ~(tcflag_t)OPOST;
    settings->c_lflag &= ~(tcflag_t)(ICANON | ECHO | ECHOE | ECHOK | ECHONL | ISIG | IEXTEN);

    tcflag_t c = settings->c_cflag;
    c &= ~(tcflag_t)(CBAUD | CIBAUD | CSIZE | CSTOPB | PARENB | PARODD | CMSPAR | CRTSCTS);
    // Modem status lines do not gate the open or reads: a probe must not wait
    // for carrier.
    c |= CLOCAL | CREAD;
    tcflag_t rateCode = RateCodeFor(dcb->BaudRate);
    c |= rateCode | (rateCode << IBSHIFT);
    settings->c_ospeed = dcb->BaudRate;
    settings->c_ispeed = dcb->BaudRate;
    c |= sizeCodes[dcb->ByteSize - 5];
    if (dcb->StopBits != ONESTOPBIT) c |= CSTOPB;
    c |= parityCodes[dcb->Parity];
    if (dcb->fOutxCtsFlow || dcb->fRtsControl == RTS_CONTROL_HANDSHAKE) c |= CRTSCTS;
    settings->c_cflag = c;

    if (dcb->fParity && dcb->Parity != NOPARITY) settings->c_iflag |= INPCK;
    if (dcb->fOutX) settings->c_iflag |= IXON;
    if (dcb->fInX) settings->c_iflag |= IXOFF;
    settings->c_cc[VSTART] = (cc_t)dcb->XonChar;
    settings->c_cc[VSTOP] = (cc_t)dcb->XoffChar;
}

void Termios2ReadTimeouts(const COMMTIMEOUTS* timeouts, struct termios2* settings)
{
    DWORD interval = timeouts->ReadIntervalTimeout;
    DWORD multiplier = timeouts->ReadTotalTimeoutMultiplier;
    DWORD constant = timeouts->ReadTotalTimeoutConstant;
    cc_t vmin = 1, vtime = 0;  // no time-outs: a read waits for data
    if (interval == maxDword && multiplier == 0 && constant == 0) {
        vmin = 0;  // return at once with whatever has arrived
    } else if (multiplier != 0 || constant != 0) {
        // A total time-out: wait that long for the first byte (a maximal
        // multiplier only means "return as soon as anything is there").
        DWORD perByte = multiplier == maxDword ? 0 : multiplier;
        DWORD total = constant > maxDword - perByte ? maxDword : constant + perByte;
        vmin = 0;
        vtime = Tenths(total ? total : 1);  // VTIME 0 would not wait at all
    } else if (interval != 0) {
        vtime = Tenths(interval);  // wait for the first byte, then time the gaps
    }
    settings->c_cc[VMIN] = vmin;
    settings->c_cc[VTIME] = vtime;
}
