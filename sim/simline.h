/*
 * simline - the simulated controller's end of the line: a pty master, the
 * slave it keeps open itself, the link to the device, and the wire's pacing
 * (simwire.h). Bytes go in and out only here.
 *
 *   SimLineOpen(link)           a first pty; link: NULL or a path kept pointing to it
 *   SimLineUnplug()             close the pty as an unplugged device does
 *   SimLinePlugIn()             a new pty (the name may change); 0 or -1 (errno)
 *   SimLineClose()              close the pty and remove the link
 *   SimLinePortName()           "pts/N", as start_comm takes it
 *   SimLineFd()                 descriptor to poll for input; -1 unplugged or full
 *   SimLineAtRate(baud)         1 when the host's speed on the line is baud
 *   SimLineReadIn(baud, now)    take in what the host wrote
 *   SimLineTakeArrived(out, size, wire, now)  bytes through the wire by now
 *   SimLineSend(bytes, len, baud, wire, now)  queue bytes and send what is due
 *   SimLineFlush(wire, now)     send what is due
 *   SimLineNextUs()             when the next byte is due either way; -1 if none
 *   SimLineSpeedCode(baud)      the terminal speed code for a rate; 0 when there is none
 *
 * Times are MonotonicUs() microseconds.
 */
#ifndef SIMLINE_H
#define SIMLINE_H

#ifdef __cplusplus
extern "C" {
#endif

int SimLineOpen(const char *link);
void SimLineUnplug(void);
int SimLinePlugIn(void);
void SimLineClose(void);
const char *SimLinePortName(void);
int SimLineFd(void);
int SimLineAtRate(long baud);
void SimLineReadIn(long baud, long long now_us);
int SimLineTakeArrived(unsigned char *out, int size, int wire, long long now_us);
void SimLineSend(const char *bytes, int len, long baud, int wire, long long now_us);
void SimLineFlush(int wire, long long now_us);
long long SimLineNextUs(void);
unsigned int SimLineSpeedCode(long baud);

#ifdef __cplusplus
}
#endif

#endif
