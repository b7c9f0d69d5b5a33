/*
 * simjournal - the journal: a line for each command run, in the order they
 * ran, for a script to compare with what its clients were told
 * (docs/simulator.md).
 *
 *   SimJournalOpen(path)         append to path from now on; 0 or -1 (errno)
 *   SimJournalRecord(body, len)  one line for a command that ran
 *   SimJournalClose()            stop; safe when none is open
 */
#ifndef SIMJOURNAL_H
#define SIMJOURNAL_H

#ifdef __cplusplus
extern "C" {
#endif

int SimJournalOpen(const char *path);
void SimJournalRecord(const char *body, int len);
void SimJournalClose(void);

#ifdef __cplusplus
}
#endif

#endif
