#!/usr/bin/python3
"""A tap on a serial line, for the tests of a monitor that only listens.

    line_tap.py MASTER SLAVE MONITOR

Copies bytes both ways between two pseudo-terminals, MASTER (a master's
requests come out there) and SLAVE (a slave's answers), and writes each chunk
it passes on to MONITOR as well, at the moment it passes it, so that the
monitor hears one line carrying both directions, with their gaps. It reads
MONITOR too: any byte from there was written by the monitor, which must
never happen. Prints "READY" once the three are open; on SIGTERM prints
"monitor wrote N bytes" and exits.
"""
import os
import select
import signal
import sys
import time
import tty


def open_raw(path):
    fd = os.open(path, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
    tty.setraw(fd)
    return fd


def write_all(fd, data):
    while data:
        try:
            data = data[os.write(fd, data):]
        except BlockingIOError:
            select.select([], [fd], [], 0.05)


def main():
    master, slave, monitor = (open_raw(p) for p in sys.argv[1:4])
    stop = []
    signal.signal(signal.SIGTERM, lambda *_: stop.append(1))
    print("READY", flush=True)
    peer = {master: slave, slave: master}
    watched = [master, slave, monitor]
    written_back = 0
    while not stop:
        if not watched:
            time.sleep(0.05)
            continue
        try:
            ready, _, _ = select.select(watched, [], [], 0.1)
        except InterruptedError:
            continue
        for fd in ready:
            try:
                data = os.read(fd, 4096)
            except BlockingIOError:
                continue
            except OSError:  # the other end hung up: stop watching it
                data = b""
            if not data:
                watched.remove(fd)
                continue
            if fd == monitor:
                written_back += len(data)
                continue
            write_all(peer[fd], data)
            write_all(monitor, data)
    print("monitor wrote %d bytes" % written_back, flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
