// The serial line layer over real pseudo-terminals: the test plays the device
// on the master side while the driver opens the slave through start_comm.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "descriptors.h"
#include "driver_support.h"
#include "tracelet.h"
#include "ttywire.h"

namespace {

class TtyWire : public ::testing::Test {
protected:
    std::vector<Pty> ptys;
    std::string dir;

    void SetUp() override
    {
        memset(PortControl, 0, sizeof(PortControl));
        dir = MakeTempDir();
        StartRecordingTraces();
    }

    void TearDown() override
    {
        StopRecordingTraces();
        for (PortEntry &entry : PortControl) {
            if (entry.in_use) {
                end_comm(&entry);
            }
        }
        for (Pty &pty : ptys) {
            ClosePty(pty);
        }
        RemoveTree(dir);
    }

    // Opens a fresh pseudo-terminal and start_comm's it; returns the slot.
    int OpenPort()
    {
        ptys.push_back(OpenPty());
        return start_comm(ptys.back().port_name.c_str());
    }

    Pty &LastPty() { return ptys.back(); }
};

using TtyWireDeathTest = TtyWire;

struct termios AttributesOf(int fd)
{
    struct termios line;
    memset(&line, 0, sizeof(line));
    EXPECT_EQ(tcgetattr(fd, &line), 0);
    return line;
}

TEST_F(TtyWire, SlotsAreTakenLowestFirstWithDevicePathAndLinkByte)
{
    memset(PortControl[0].layer_area, 0x5A, sizeof(PortControl[0].layer_area));
    for (int i = 0; i < TTYWIRE_PORTS; i++) {
        ASSERT_EQ(OpenPort(), i);
        EXPECT_EQ(PortControl[i].in_use, 1);
        EXPECT_EQ(PortControl[i].link_byte, 0x20);
        EXPECT_EQ(std::string(PortControl[i].device), "/dev/" + ptys[i].port_name);
        EXPECT_GE(fcntl(PortControl[i].fd, F_GETFD), 0) << "slot " << i << " holds an open fd";
    }
    // The packet layer's area is never touched.
    EXPECT_EQ(std::string(PortControl[0].layer_area, 1000), std::string(1000, '\x5A'));

    // Freed slots are taken again, lowest first.
    EXPECT_EQ(end_comm(&PortControl[6]), 0);
    EXPECT_EQ(end_comm(&PortControl[2]), 0);
    EXPECT_EQ(PortControl[2].in_use, 0);
    EXPECT_EQ(OpenPort(), 2);
    EXPECT_EQ(OpenPort(), 6);
}

TEST_F(TtyWire, EleventhPortIsRefusedAndTableUnchanged)
{
    for (int i = 0; i < TTYWIRE_PORTS; i++) {
        ASSERT_EQ(OpenPort(), i);
    }
    std::vector<char> before(sizeof(PortControl));
    memcpy(before.data(), PortControl, sizeof(PortControl));
    Pty extra = OpenPty();
    long open_before = descriptors::CountOpenDescriptors(getpid());
    EXPECT_EQ(start_comm(extra.port_name.c_str()), -1);
    EXPECT_EQ(memcmp(before.data(), PortControl, sizeof(PortControl)), 0);
    EXPECT_EQ(descriptors::CountOpenDescriptors(getpid()), open_before)
        << "the refused device was not opened";
    ClosePty(extra);
}

TEST_F(TtyWire, EndCommLeavesDeviceAndLinkByteAndDoesNotRestoreAttributes)
{
    int slot = OpenPort();
    int watcher = open(LastPty().slave_path.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(watcher, 0);
    std::string device = PortControl[slot].device;

    EXPECT_EQ(end_comm(&PortControl[slot]), 0);
    EXPECT_EQ(PortControl[slot].in_use, 0);
    EXPECT_EQ(PortControl[slot].link_byte, 0x20);
    EXPECT_EQ(std::string(PortControl[slot].device), device);
    struct termios line = AttributesOf(watcher);
    EXPECT_EQ(cfgetospeed(&line), (speed_t)B9600);
    EXPECT_EQ(line.c_lflag & ICANON, 0u);
    EXPECT_EQ(end_comm(&PortControl[slot]), -1) << "a second close of the same fd fails";
    close(watcher);
}

TEST_F(TtyWire, StartCommSetsRawNineSixHundredWithVminOneAndKeepsTheRest)
{
    Pty pty = OpenPty();
    ptys.push_back(pty);
    // Settings cfmakeraw does not touch must survive the set-up.
    int watcher = open(pty.slave_path.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(watcher, 0);
    struct termios before = AttributesOf(watcher);
    ASSERT_EQ(cfgetospeed(&before), (speed_t)B38400);
    ASSERT_NE(before.c_lflag & ICANON, 0u);
    before.c_cflag |= CSTOPB | CRTSCTS;
    ASSERT_EQ(tcsetattr(watcher, TCSANOW, &before), 0);

    int slot = start_comm(pty.port_name.c_str());
    ASSERT_EQ(slot, 0);
    struct termios line = AttributesOf(watcher);
    EXPECT_EQ(cfgetospeed(&line), (speed_t)B9600);
    EXPECT_EQ(cfgetispeed(&line), (speed_t)B9600);
    EXPECT_EQ(line.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
    EXPECT_EQ(line.c_iflag & (IXON | ICRNL | ISTRIP | BRKINT), 0u);
    EXPECT_EQ(line.c_oflag & OPOST, 0u);
    EXPECT_EQ(line.c_cflag & CSIZE, (tcflag_t)CS8);
    EXPECT_EQ(line.c_cflag & PARENB, 0u);
    EXPECT_EQ(line.c_cc[VMIN], 1);
    EXPECT_NE(line.c_cflag & CSTOPB, 0u) << "stop bits stay as read";
    EXPECT_NE(line.c_cflag & CRTSCTS, 0u) << "hardware flow control stays as read";
    // Opened non-blocking, and it stays so.
    EXPECT_NE(fcntl(PortControl[slot].fd, F_GETFL) & O_NONBLOCK, 0);
    EXPECT_EQ(fcntl(PortControl[slot].fd, F_GETFL) & O_ACCMODE, O_RDWR);
    close(watcher);
}

// A host with no controlling terminal, as every service is: opening the line
// must not make it the host's terminal, or pulling the cable would send the
// host SIGHUP and end it.
TEST_F(TtyWire, StartCommNeverMakesTheLineTheHostsControllingTerminal)
{
    ptys.push_back(OpenPty());
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        setsid();
        int slot = start_comm(ptys.back().port_name.c_str());
        int tty = open("/dev/tty", O_RDWR | O_NOCTTY);
        _exit(slot == 0 && tty < 0 && errno == ENXIO ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

TEST_F(TtyWire, SendByteWritesOnlyTheLowByte)
{
    int slot = OpenPort();
    EXPECT_EQ(SendByte(&PortControl[slot], 0x1ABC), 0);
    EXPECT_EQ(SendByte(&PortControl[slot], 0x0A), 0);
    unsigned char got[4] = {0};
    ASSERT_TRUE(WaitReadable(LastPty().master));
    usleep(20000);
    ASSERT_EQ(read(LastPty().master, got, sizeof(got)), 2);
    EXPECT_EQ(got[0], 0xBC);
    EXPECT_EQ(got[1], 0x0A) << "no output processing turns LF into CR LF";
}

TEST_F(TtyWire, SendCommandWritesTheWholeTextInOneWrite)
{
    int slot = OpenPort();
    const std::string command = "\x2A"
                                "B\x1C"
                                "C";
    EXPECT_EQ(SendCommand(&PortControl[slot], command.c_str()), 0);
    char got[16];
    ASSERT_TRUE(WaitReadable(LastPty().master));
    usleep(20000);
    ASSERT_EQ(read(LastPty().master, got, sizeof(got)), (ssize_t)command.size());
    EXPECT_EQ(std::string(got, command.size()), command);
    EXPECT_TRUE(RecordedTraces().empty());
}

TEST_F(TtyWire, WritesToAVanishedDeviceFailAndSendCommandTracesWhy)
{
    int slot = OpenPort();
    ClosePty(LastPty());
    EXPECT_EQ(SendCommand(&PortControl[slot], "STATUS"), -1);
    ASSERT_EQ(RecordedTraces().size(), 1u);
    EXPECT_EQ(RecordedTraces()[0], "Error mandando paquete, write ret. -1, errno 5");
    EXPECT_EQ(SendByte(&PortControl[slot], 'x'), -1);
    EXPECT_EQ(RecordedTraces().size(), 1u) << "SendByte does not trace";
}

TEST_F(TtyWire, ADeviceVanishingDuringATimedReadEndsItWithoutWaitingOut)
{
    int slot = OpenPort();
    int master = LastPty().master;
    // The device hangs up while the read waits: the wait ends with the
    // hang-up and the read fails, well before the two-second limit.
    std::thread unplug([master] {
        usleep(200000);
        close(master);
    });
    unsigned char byte = 0x55;
    auto start = std::chrono::steady_clock::now();
    int result = GetByteTimed(&PortControl[slot], &byte);
    auto waited = std::chrono::steady_clock::now() - start;
    unplug.join();
    LastPty().master = -1;
    EXPECT_EQ(result, -1);
    EXPECT_EQ(byte, 0x55);
    EXPECT_LT(waited, std::chrono::milliseconds(1900));
    // Later reads fail at once too.
    EXPECT_EQ(GetByteTimed(&PortControl[slot], &byte), -1);
    EXPECT_EQ(GetByte(&PortControl[slot], &byte), -1);
}

TEST_F(TtyWire, ADeviceVanishingAmidAStreamOfWritesFailsTheNextWriteAndTracesIt)
{
    int slot = OpenPort();
    int master = LastPty().master;
    std::string frame(200, 'F');
    // The device takes some of the stream, then hangs up.
    std::thread device([master] {
        char sink[512];
        size_t taken = 0;
        while (taken < 2000 && WaitReadable(master)) {
            ssize_t got = read(master, sink, sizeof sink);
            if (got <= 0) {
                break;
            }
            taken += (size_t)got;
        }
        close(master);
    });
    int sent = 0;
    int result = 0;
    for (int i = 0; i < 100000 && result == 0; i++) {
        result = SendCommand(&PortControl[slot], frame.c_str());
        sent += result == 0;
        if (result == 0) {
            usleep(1000);
        }
    }
    device.join();
    LastPty().master = -1;
    EXPECT_EQ(result, -1);
    EXPECT_GE(sent, 10);
    ASSERT_FALSE(RecordedTraces().empty());
    EXPECT_EQ(RecordedTraces().back().rfind("Error mandando paquete, write ret. ", 0), 0u)
        << RecordedTraces().back();
    EXPECT_EQ(SendByte(&PortControl[slot], 'x'), -1);
}

TEST_F(TtyWire, GetByteOnAnEmptyLineFailsAtOnceAndIsTraced)
{
    int slot = OpenPort();
    unsigned char byte = 0x77;
    EXPECT_EQ(GetByte(&PortControl[slot], &byte), -1);
    EXPECT_EQ(byte, 0x77);
    EXPECT_EQ(RecordedTraces(), std::vector<std::string>{"GetByte ERROR"});

    ASSERT_EQ(write(LastPty().master, "\xF1", 1), 1);
    ASSERT_TRUE(WaitReadable(PortControl[slot].fd));
    EXPECT_EQ(GetByte(&PortControl[slot], &byte), 0);
    EXPECT_EQ(byte, 0xF1);
    EXPECT_EQ(RecordedTraces().size(), 1u);
}

TEST_F(TtyWire, BufferEmptyTellsIdleFromWaiting)
{
    int slot = OpenPort();
    EXPECT_EQ(BufferEmpty(&PortControl[slot]), -1);
    EXPECT_EQ(rdchk(PortControl[slot].fd), 0);
    ASSERT_EQ(write(LastPty().master, "Q", 1), 1);
    ASSERT_TRUE(WaitReadable(PortControl[slot].fd));
    EXPECT_EQ(BufferEmpty(&PortControl[slot]), 0);
    EXPECT_EQ(rdchk(PortControl[slot].fd), 1);
    unsigned char byte = 0;
    EXPECT_EQ(GetByteTimed(&PortControl[slot], &byte), 0);
    EXPECT_EQ(byte, 'Q');
    EXPECT_EQ(BufferEmpty(&PortControl[slot]), -1);
}

TEST_F(TtyWire, GetByteTimedWaitsTwoSecondsOnAnIdleLineWithoutTracing)
{
    int slot = OpenPort();
    unsigned char byte = 0x55;
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(GetByteTimed(&PortControl[slot], &byte), -1);
    auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_GE(waited, std::chrono::milliseconds(1950));
    EXPECT_EQ(byte, 0x55);
    EXPECT_TRUE(RecordedTraces().empty());
}

TEST_F(TtyWire, GetByteTimedTakesAByteThatArrivesWhileWaiting)
{
    int slot = OpenPort();
    int master = LastPty().master;
    pid_t writer = fork();
    ASSERT_GE(writer, 0);
    if (writer == 0) {
        usleep(300000);
        _exit(write(master, "K", 1) == 1 ? 0 : 1);
    }
    unsigned char byte = 0;
    EXPECT_EQ(GetByteTimed(&PortControl[slot], &byte), 0);
    EXPECT_EQ(byte, 'K');
    int status = -1;
    waitpid(writer, &status, 0);
    EXPECT_EQ(status, 0);
}

TEST_F(TtyWire, DoTimeoutWaitsOnADescriptorPastTheSelectLimit)
{
    struct rlimit saved;
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
    struct rlimit raised = saved;
    if (raised.rlim_cur < 2048) {
        raised.rlim_cur = 2048;
    }
    if (raised.rlim_max < raised.rlim_cur) {
        raised.rlim_max = raised.rlim_cur;
    }
    if (setrlimit(RLIMIT_NOFILE, &raised) != 0) {
        GTEST_SKIP() << "cannot raise the descriptor limit past 1024";
    }

    int slot = OpenPort();
    const int high = 1500;
    ASSERT_EQ(dup2(PortControl[slot].fd, high), high);
    EXPECT_EQ(DoTimeout(high, 0), 0);
    EXPECT_EQ(rdchk(high), 0);
    ASSERT_EQ(write(LastPty().master, "H", 1), 1);
    EXPECT_EQ(DoTimeout(high, 2), 1);
    EXPECT_EQ(rdchk(high), 1);
    close(high);
    setrlimit(RLIMIT_NOFILE, &saved);
}

TEST_F(TtyWire, DoTimeoutCountsBadDescriptorsAndNegativeLimitsAsNotReadable)
{
    int slot = OpenPort();
    ASSERT_EQ(write(LastPty().master, "R", 1), 1);
    ASSERT_TRUE(WaitReadable(PortControl[slot].fd));
    EXPECT_EQ(DoTimeout(PortControl[slot].fd, -1), 0) << "a negative limit is no wait forever";
    int closed = dup(PortControl[slot].fd);
    close(closed);
    EXPECT_EQ(DoTimeout(closed, 1), 0);
    EXPECT_EQ(DoTimeout(-1, 1), 0);
}

TEST_F(TtyWire, RestoreTTYPutsTheConsoleAttributesBackOnStandardInput)
{
    Pty console = OpenPty();
    ptys.push_back(console);
    int slave = open(console.slave_path.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(slave, 0);
    TermioCons = AttributesOf(slave);
    cfsetospeed(&TermioCons, B4800);
    cfsetispeed(&TermioCons, B4800);
    TermioCons.c_lflag &= ~ECHO;

    int saved_stdin = dup(0);
    dup2(slave, 0);
    int result = RestoreTTY();
    dup2(saved_stdin, 0);
    close(saved_stdin);

    EXPECT_EQ(result, 0);
    struct termios line = AttributesOf(slave);
    EXPECT_EQ(cfgetospeed(&line), (speed_t)B4800);
    EXPECT_EQ(line.c_lflag & ECHO, 0u);
    close(slave);
    Nop();
}

TEST(BaudTable, HoldsTheSixRatesInSearchOrder)
{
    const speed_t speeds[] = {B1200, B2400, B4800, B9600, B19200, B38400};
    const long bauds[] = {1200, 2400, 4800, 9600, 19200, 38400};
    for (int row = 0; row < TTYWIRE_RATES; row++) {
        EXPECT_EQ(BaudTbl[row].speed, speeds[row]) << "row " << row;
        EXPECT_EQ(BaudTbl[row].baud, bauds[row]) << "row " << row;
    }
}

TEST(BaudTable, KnowsExactlyItsSixRates)
{
    for (long baud : {1200L, 2400L, 4800L, 9600L, 19200L, 38400L}) {
        EXPECT_EQ(BaudRateKnown(baud), 1) << baud;
    }
    for (long baud : {0L, -9600L, 300L, 9601L, 57600L, 115200L}) {
        EXPECT_EQ(BaudRateKnown(baud), 0) << baud;
    }
}

TEST_F(TtyWire, SetBaudRateRefusesRatesOutsideTheTableAndSlotsNotTaken)
{
    int slot = OpenPort();
    EXPECT_EQ(SetBaudRate(slot, 57600), -1);
    EXPECT_EQ(SetBaudRate(slot, 0), -1);
    EXPECT_EQ(SetBaudRate(10, 9600), -2);
    EXPECT_EQ(SetBaudRate(-1, 9600), -2);
    EXPECT_EQ(SetBaudRate(slot + 1, 9600), -2) << "free slot";
    EXPECT_EQ(SetBaudRate(slot + 1, 57600), -2) << "the slot is checked first";
    struct termios line = AttributesOf(PortControl[slot].fd);
    EXPECT_EQ(cfgetospeed(&line), (speed_t)B9600);
    EXPECT_TRUE(RecordedTraces().empty());
}

TEST_F(TtyWire, SetBaudRateChangesOnlyTheSpeed)
{
    int slot = OpenPort();
    struct termios raw = AttributesOf(PortControl[slot].fd);
    for (int row = TTYWIRE_RATES - 1; row >= 0; row--) {
        ASSERT_EQ(SetBaudRate(slot, BaudTbl[row].baud), 0);
        struct termios line = AttributesOf(PortControl[slot].fd);
        EXPECT_EQ(cfgetospeed(&line), BaudTbl[row].speed);
        EXPECT_EQ(cfgetispeed(&line), BaudTbl[row].speed);
        EXPECT_EQ(line.c_iflag, raw.c_iflag);
        EXPECT_EQ(line.c_oflag, raw.c_oflag);
        EXPECT_EQ(line.c_lflag, raw.c_lflag);
        EXPECT_EQ(line.c_cflag & ~(tcflag_t)(CBAUD | CBAUDEX),
                  raw.c_cflag & ~(tcflag_t)(CBAUD | CBAUDEX));
        EXPECT_EQ(memcmp(line.c_cc, raw.c_cc, sizeof(raw.c_cc)), 0);
    }
    EXPECT_TRUE(RecordedTraces().empty());
}

// ---- set-up failures end the process with status 1 and a CR LF message ----

// Sets the child's standard output aside so that the exact bytes can be
// compared once it has died.
class StdoutOfChild {
public:
    explicit StdoutOfChild(const std::string &dir) : path_(dir + "/stdout") {}
    const std::string &path() const { return path_; }
    std::string text() const { return ReadFile(path_); }

private:
    std::string path_;
};

static std::string SlotReport;   // where the dying child writes slot 0's state

static void ReportSlotZero()
{
    WriteFile(SlotReport, std::to_string(PortControl[0].in_use));
}

TEST_F(TtyWireDeathTest, MissingDeviceIsReportedWithErrnoAndEndsTheProcess)
{
    const char *name = FileExists("/dev/ttyS9") ? "fiscalkit-absent-port" : "ttyS9";
    StdoutOfChild out(dir);
    SlotReport = dir + "/slot";
    EXPECT_EXIT(
        {
            SendStdoutTo(out.path());
            atexit(ReportSlotZero);
            start_comm(name);
        },
        ::testing::ExitedWithCode(1), "");
    EXPECT_EQ(out.text(), "Error Abriendo /dev/" + std::string(name) + ", errno 2\r\n");
    EXPECT_EQ(ReadFile(SlotReport), "0") << "the slot is free again";
}

TEST_F(TtyWireDeathTest, PortNameOverFortyFourCharactersIsRefusedNotCut)
{
    // /dev/shm/<40 characters> exists; a name one longer that a cut would
    // turn into it must be refused, not opened.
    const std::string leaf(40, 'p');
    const std::string fits = "shm/" + leaf;   // 44 characters
    ASSERT_EQ(fits.size(), 44u);
    WriteFile("/dev/" + fits, "");
    const std::string too_long = fits + "X";
    StdoutOfChild out(dir);
    SlotReport = dir + "/slot";
    EXPECT_EXIT(
        {
            SendStdoutTo(out.path());
            atexit(ReportSlotZero);
            start_comm(too_long.c_str());
        },
        ::testing::ExitedWithCode(1), "");
    std::string refused = out.text();
    std::string slot_state = ReadFile(SlotReport);

    // 44 characters fit: that name is opened (and, being no terminal, fails
    // its set-up instead).
    EXPECT_EXIT(
        {
            SendStdoutTo(out.path());
            start_comm(fits.c_str());
        },
        ::testing::ExitedWithCode(1), "");
    std::string fitted = out.text();
    unlink(("/dev/" + fits).c_str());

    EXPECT_EQ(refused, "Error Abriendo /dev/" + too_long + ", errno 36\r\n");
    EXPECT_EQ(slot_state, "0") << "the slot is free again";
    EXPECT_EQ(fitted, "Error tcsetattr\r\n");
}

TEST_F(TtyWireDeathTest, DeviceThatIsNoTerminalFailsItsSetUp)
{
    StdoutOfChild out(dir);
    EXPECT_EXIT(
        {
            SendStdoutTo(out.path());
            start_comm("null");
        },
        ::testing::ExitedWithCode(1), "");
    EXPECT_EQ(out.text(), "Error tcsetattr\r\n");
}

TEST_F(TtyWireDeathTest, SetBaudRateOnALineThatRefusesItTracesAndEndsTheProcess)
{
    StdoutOfChild out(dir);
    EXPECT_EXIT(
        {
            SendStdoutTo(out.path());
            SetTracelet(FISCAL_debug);
            set_debug_options(1, 0, "");
            PortControl[3].in_use = 1;
            PortControl[3].fd = open("/dev/null", O_RDWR);
            SetBaudRate(3, 19200);
        },
        ::testing::ExitedWithCode(1), "");
    EXPECT_EQ(out.text(), "Error tcsetattr\r\n");
}

}   // namespace
