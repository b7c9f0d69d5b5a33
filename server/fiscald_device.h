/*
 * fiscald_device - the serial device as this server alone holds it.
 *
 *   DeviceName(given, name, size)   the name start_comm takes for the device
 *       as given ("ttyS0", "/dev/ttyS0", "/dev/serial/by-id/..."), links
 *       resolved now. 0; -1 with errno (ENAMETOOLONG past FISCALD_MAX_NAME)
 *   DeviceTake(name, reason, size)  opens "/dev/<name>" as start_comm will,
 *       checks it is a terminal and locks it: the locked descriptor, or -1
 *       with why in reason (the group that gives access, the holder's pid)
 *   DeviceStillThere(locked)        1 while it reaches a device not hung up
 *   DeviceExclusive(locked, on)     TIOCEXCL / TIOCNXCL
 */
#ifndef FISCALD_DEVICE_H
#define FISCALD_DEVICE_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

#define FISCALD_MAX_NAME 44 /* port name: "/dev/" + name must fit 50 bytes */

int DeviceName(const char *given, char *name, size_t size);
int DeviceTake(const char *name, char *reason, size_t size);
int DeviceStillThere(int locked);
void DeviceExclusive(int locked, int on);

#ifdef __cplusplus
}
#endif

#endif
