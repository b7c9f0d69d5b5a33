/*
 * fiscald_journal - messages where a service's messages go.
 *
 *   JournalUse()  from now on every message is a plain line on standard
 *                 error; a trace file, if set, keeps its stamped lines
 */
#ifndef FISCALD_JOURNAL_H
#define FISCALD_JOURNAL_H

#ifdef __cplusplus
extern "C" {
#endif

void JournalUse(void);

#ifdef __cplusplus
}
#endif

#endif
