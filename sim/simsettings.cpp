// The settings and faults are set from any thread and used by the loop's, so
// they are kept under a lock of their own; the counters too, read by the
// host's threads while the loop counts.
#include "simsettings.h"
#include "siminternal.h"
#include "simline.h"

#include <pthread.h>

static pthread_mutex_t SettingsLock = PTHREAD_MUTEX_INITIALIZER;
static long RateBaud = SIM_DEFAULT_BAUD;
static int BusyMs = SIM_DEFAULT_BUSY_MS;
static int WireOn;
static int LateCount;
static int LateMs;
static int DropCount;
static int GarbleCount;
static long FramesReceived;
static long CommandsExecuted;

void SimSettingsReset(long baud, int busy_ms)
{
    pthread_mutex_lock(&SettingsLock);
    RateBaud = baud;
    BusyMs = busy_ms;
    WireOn = 0;
    LateCount = LateMs = DropCount = GarbleCount = 0;
    FramesReceived = CommandsExecuted = 0;
    pthread_mutex_unlock(&SettingsLock);
}

void SimSettingsNow(SimSettings *settings)
{
    pthread_mutex_lock(&SettingsLock);
    settings->baud = RateBaud;
    settings->busy_ms = BusyMs;
    settings->wire = WireOn;
    pthread_mutex_unlock(&SettingsLock);
}

int SimSettingsSetRate(long baud)
{
    if (SimLineSpeedCode(baud) == 0) {
        return -1;
    }
    pthread_mutex_lock(&SettingsLock);
    RateBaud = baud;
    pthread_mutex_unlock(&SettingsLock);
    return 0;
}

void SimSettingsSetBusy(int busy_ms)
{
    pthread_mutex_lock(&SettingsLock);
    BusyMs = busy_ms < 0 ? 0 : busy_ms;
    pthread_mutex_unlock(&SettingsLock);
}

void SimSettingsSetWire(int on)
{
    pthread_mutex_lock(&SettingsLock);
    WireOn = on != 0;
    pthread_mutex_unlock(&SettingsLock);
}

void SimFaultLate(int count, int delay_ms)
{
    pthread_mutex_lock(&SettingsLock);
    LateCount = count;
    LateMs = delay_ms;
    pthread_mutex_unlock(&SettingsLock);
}

void SimFaultDrop(int count)
{
    pthread_mutex_lock(&SettingsLock);
    DropCount = count;
    pthread_mutex_unlock(&SettingsLock);
}

void SimFaultGarble(int count)
{
    pthread_mutex_lock(&SettingsLock);
    GarbleCount = count;
    pthread_mutex_unlock(&SettingsLock);
}

// Uses up one of *count; whether there was one.
static int TakeOne(int *count)
{
    pthread_mutex_lock(&SettingsLock);
    int taken = *count > 0;
    if (taken) {
        (*count)--;
    }
    pthread_mutex_unlock(&SettingsLock);
    return taken;
}

int SimFaultTakeDrop(void)
{
    return TakeOne(&DropCount);
}

int SimFaultTakeGarble(void)
{
    return TakeOne(&GarbleCount);
}

int SimFaultTakeLate(void)
{
    int late = 0;
    pthread_mutex_lock(&SettingsLock);
    if (LateCount > 0) {
        LateCount--;
        late = LateMs;
    }
    pthread_mutex_unlock(&SettingsLock);
    return late;
}

static void CountUp(long *counter)
{
    pthread_mutex_lock(&SettingsLock);
    (*counter)++;
    pthread_mutex_unlock(&SettingsLock);
}

static long CountNow(const long *counter)
{
    pthread_mutex_lock(&SettingsLock);
    long count = *counter;
    pthread_mutex_unlock(&SettingsLock);
    return count;
}

void SimCountFrame(void)
{
    CountUp(&FramesReceived);
}

void SimCountCommand(void)
{
    CountUp(&CommandsExecuted);
}

long SimCountedFrames(void)
{
    return CountNow(&FramesReceived);
}

long SimCountedCommands(void)
{
    return CountNow(&CommandsExecuted);
}
