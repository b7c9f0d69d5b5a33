/*
 * simline - the simulated controller's end of the line: a pty master, the
 * slave it keeps open itself, the link to the device, and the wire's pacing
 * (simwire.h). Bytes go in and out only here.
 *
 *   LineOpen(link)           a first pty; link: null or a path kept pointing to it
 *   LineUnplug()             close the pty as an unplugged device does
 *   LinePlugIn()             a new pty (the name may change); 0 or -1 (errno)
 *   LineClose()              close the pty and remove the link
 *   LinePortName()           "pts/N", as start_comm takes it
 *   LineFd()                 descriptor to poll for input; -1 unplugged or full
 *   LineAtRate(baud)         1 when the host's speed on the line is baud
 *   LineReadIn(baud, now)    take in what the host wrote
 *   LineTakeArrived(out, size, wire, now)  bytes through the wire by now
 *   LineSend(bytes, len, baud, wire, now)  queue bytes and send what is due
 *   LineFlush(wire, now)     send what is due
 *   LineNextMs()             when the next byte is due either way; -1 if none
 */
#ifndef SIMLINE_H
#define SIMLINE_H

#ifdef __cplusplus
extern "C" {
#endif

int LineOpen(const char *link);
void LineUnplug(void);
int LinePlugIn(void);
void LineClose(void);
const char *LinePortName(void);
int LineFd(void);
int LineAtRate(long baud);
void LineReadIn(long baud, long long now_ms);
int LineTakeArrived(unsigned char *out, int size, int wire, long long now_ms);
void LineSend(const char *bytes, int len, long baud, int wire, long long now_ms);
void LineFlush(int wire, long long now_ms);
long long LineNextMs(void);

#ifdef __cplusplus
}
#endif

#endif
