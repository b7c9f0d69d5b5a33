/*
 * simsettings - the simulator's settings, the faults asked for and its
 * counters: set from any thread (the public calls, the control FIFO) and
 * used by the loop's.
 *
 *   SimSettingsReset(baud, busy_ms)  a new simulator: these settings, no
 *                                    faults, the counters at 0
 *   SimSettingsNow(settings)         the settings as they are now
 *   SimSettingsSetRate(baud)         answer at baud; 0, or -1 for a rate termios lacks
 *   SimSettingsSetBusy(busy_ms)      work time of the slow commands (below 0: 0)
 *   SimSettingsSetWire(on)           1: the line takes the wire's time
 *   SimFaultLate(count, ms) / SimFaultDrop(count) / SimFaultGarble(count)
 *                                    ask for a fault, in place of the last ask
 *   SimFaultTakeDrop() / SimFaultTakeLate() / SimFaultTakeGarble()
 *                                    use up one of the faults asked for, if any
 *   SimCountFrame() / SimCountCommand()        one more sound frame, command run
 *   SimCountedFrames() / SimCountedCommands()  the counts so far
 */
#ifndef SIMSETTINGS_H
#define SIMSETTINGS_H

#ifdef __cplusplus
extern "C" {
#endif

typedef struct SimSettings {
    long baud;   /* the rate answered at, bits per second */
    int busy_ms; /* work time of the slow commands */
    int wire;    /* 1: the line takes the wire's time */
} SimSettings;

void SimSettingsReset(long baud, int busy_ms);
void SimSettingsNow(SimSettings *settings);
int SimSettingsSetRate(long baud);
void SimSettingsSetBusy(int busy_ms);
void SimSettingsSetWire(int on);

void SimFaultLate(int count, int delay_ms);
void SimFaultDrop(int count);
void SimFaultGarble(int count);
int SimFaultTakeDrop(void);   /* 1: ignore this frame */
int SimFaultTakeLate(void);   /* ms to hold this answer back */
int SimFaultTakeGarble(void); /* 1: damage this answer */

void SimCountFrame(void);
void SimCountCommand(void);
long SimCountedFrames(void);
long SimCountedCommands(void);

#ifdef __cplusplus
}
#endif

#endif
