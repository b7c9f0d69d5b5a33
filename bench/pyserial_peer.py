#!/usr/bin/env python3
"""The peer for the serial byte path: pyserial on the same ptys as the
driver. One-byte round trips on the echoing pty and frame-sized writes on the
draining one; prints {"round_trip_ns": ..., "command_ns": ...}.
  pyserial_peer.py echo_pty drain_pty round_trips commands"""
import json
import sys
import time

import serial

COMMAND = b"\x02 B\x1cCafe\x1c2\x1c1.50\x031A2B"


def main():
    echo_name, drain_name = sys.argv[1], sys.argv[2]
    round_trips, commands = int(sys.argv[3]), int(sys.argv[4])
    line = serial.Serial("/dev/" + echo_name, 9600, timeout=2)
    start = time.perf_counter_ns()
    for _ in range(round_trips):
        line.write(b"x")
        if line.read(1) != b"x":
            sys.exit("pyserial_peer: no echo")
    round_trip_ns = (time.perf_counter_ns() - start) / round_trips
    line.close()
    line = serial.Serial("/dev/" + drain_name, 9600, timeout=2)
    start = time.perf_counter_ns()
    for _ in range(commands):
        line.write(COMMAND)
    command_ns = (time.perf_counter_ns() - start) / commands
    line.close()
    print(json.dumps({"round_trip_ns": round_trip_ns, "command_ns": command_ns}))


main()
