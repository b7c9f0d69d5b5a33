/*
 * siminternal - what the simulator's parts share: the defaults and limits
 * they all work with. The public header (fiscalsim.h) takes its constants
 * from here, so that each is defined once.
 *
 * Each part has a header of its own for its calls, all named Sim...:
 *   simloop.h       the loop, and the stop, vanish and come-back requests
 *   simline.h       the pty, the link and the host's rate (SimLine...)
 *   simwire.h       bytes paced at a line rate (SimWire...)
 *   simresponder.h  the framing: frames in, answers out (SimResponder...)
 *   simcommands.h   the command set and the receipt (SimCommands..., SimExecute)
 *   simsettings.h   settings, faults and counters (SimSettings..., SimFault..., SimCount...)
 *   simfifo.h       the control FIFO (SimFifo...)
 *   simjournal.h    the journal of the commands run (SimJournal...)
 */
#ifndef SIMINTERNAL_H
#define SIMINTERNAL_H

#define SIM_DEFAULT_BAUD    9600
#define SIM_DEFAULT_BUSY_MS 3000
#define SIM_KEEPALIVE_MS    200 /* DC2/DC4 interval while working */
#define SIM_PATH_MAX        256 /* link and FIFO paths, terminator included */

#endif
