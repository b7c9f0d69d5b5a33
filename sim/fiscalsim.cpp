// The simulator's face: every public call is here, and each checks what it
// is given and hands it to the part that does the work (siminternal.h lists
// them). It keeps no state of its own.
#include "fiscalsim.h"
#include "simcommands.h"
#include "simfifo.h"
#include "simjournal.h"
#include "simline.h"
#include "simloop.h"
#include "simresponder.h"
#include "simsettings.h"

#include <errno.h>
#include <string.h>

int fiscalsim_open(long baud, int busy_ms, const char *link)
{
    if (SimLineSpeedCode(baud) == 0 || busy_ms < 0 ||
        (link != nullptr && strlen(link) >= FISCALSIM_PATH_MAX)) {
        errno = EINVAL;
        return -1;
    }
    if (SimLoopOpen() != 0) {
        return -1;
    }
    SimSettingsReset(baud, busy_ms);
    SimCommandsReset();
    SimResponderReset();
    int result = SimLineOpen(link);
    if (result != 0) {
        int saved = errno;
        SimLoopClose();
        errno = saved;
    }
    return result;
}

const char *fiscalsim_port_name(void)
{
    return SimLinePortName();
}

int fiscalsim_run(void)
{
    return SimLoopRun();
}

void fiscalsim_stop(void)
{
    SimLoopStop();
}

void fiscalsim_close(void)
{
    SimLineClose();
    SimResponderLineLost();
    SimFifoRemove();
    SimJournalClose();
    SimLoopClose();
}

int fiscalsim_set_rate(long baud)
{
    return SimSettingsSetRate(baud);
}

void fiscalsim_set_busy(int busy_ms)
{
    SimSettingsSetBusy(busy_ms);
}

void fiscalsim_set_wire(int on)
{
    SimSettingsSetWire(on);
}

void fiscalsim_answer_late(int count, int delay_ms)
{
    SimFaultLate(count, delay_ms);
}

void fiscalsim_drop(int count)
{
    SimFaultDrop(count);
}

void fiscalsim_garble(int count)
{
    SimFaultGarble(count);
}

int fiscalsim_vanish(void)
{
    return SimLoopVanish();
}

int fiscalsim_come_back(void)
{
    return SimLoopComeBack();
}

long fiscalsim_frames_received(void)
{
    return SimCountedFrames();
}

long fiscalsim_commands_executed(void)
{
    return SimCountedCommands();
}

int fiscalsim_control_fifo(const char *path)
{
    return SimFifoCreate(path);
}

int fiscalsim_journal(const char *path)
{
    return SimJournalOpen(path);
}

unsigned int fiscalsim_speed_code(long baud)
{
    return SimLineSpeedCode(baud);
}
