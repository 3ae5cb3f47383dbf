#!/usr/bin/env python3
"""Far end of the serial line for kovra-serialcheck.exe.

Creates a pseudo-terminal, links its slave side where the Windows program
expects its COM port (argv[1]), and answers the commands that
tools/wintest/serial_check.cpp documents until told to quit or until the
time limit runs out.
"""
import os
import select
import sys
import termios
import time
import tty

SPEEDS = {getattr(termios, name): int(name[1:])
          for name in dir(termios) if name.startswith("B") and name[1:].isdigit()}
SIZES = {termios.CS5: 5, termios.CS6: 6, termios.CS7: 7, termios.CS8: 8}


class Line:
    def __init__(self, master, slave, deadline):
        self.master = master
        self.slave = slave
        self.deadline = deadline
        self.pending = bytearray()

    def take(self, count):
        while len(self.pending) < count:
            left = self.deadline - time.monotonic()
            if left <= 0:
                raise TimeoutError("no command before the time limit")
            ready, _, _ = select.select([self.master], [], [], left)
            if ready:
                self.pending += os.read(self.master, 4096)
        taken = bytes(self.pending[:count])
        del self.pending[:count]
        return taken

    def number(self):
        high, low = self.take(2)
        return high * 256 + low

    def send(self, data):
        while data:
            written = os.write(self.master, data)
            data = data[written:]

    def report(self):
        iflag, oflag, cflag, lflag, _, ospeed, _ = termios.tcgetattr(self.slave)
        baud = SPEEDS.get(ospeed, 0)
        editing = lflag & (termios.ICANON | termios.ECHO | termios.ISIG) != 0
        processing = oflag & termios.OPOST != 0
        translation = iflag & (termios.ICRNL | termios.INLCR | termios.IGNCR |
                               termios.ISTRIP) != 0
        return bytes([
            (baud >> 24) & 0xFF, (baud >> 16) & 0xFF, (baud >> 8) & 0xFF, baud & 0xFF,
            SIZES[cflag & termios.CSIZE],
            int(cflag & termios.PARENB != 0),
            int(cflag & termios.PARODD != 0),
            int(cflag & termios.CSTOPB != 0),
            int(cflag & termios.CRTSCTS != 0),
            int(iflag & (termios.IXON | termios.IXOFF) != 0),
            int(editing) | (int(processing) << 1),
            int(translation),
        ])


def serve(line):
    while True:
        opcode = line.take(1)
        if opcode == b"E":
            line.send(line.take(line.number()))
        elif opcode == b"S":
            line.send(bytes((i * 7 + 3) & 0xFF for i in range(line.number())))
        elif opcode == b"W":
            delay = line.number()
            data = line.take(line.take(1)[0])
            time.sleep(delay / 1000)
            line.send(data)
        elif opcode == b"T":
            line.send(line.report())
        elif opcode == b"Q":
            return
        else:
            raise ValueError(f"unknown command {opcode!r}")


def main():
    link, limit = sys.argv[1], float(sys.argv[2]) if len(sys.argv) > 2 else 60
    master, slave = os.openpty()
    tty.setraw(master)
    tty.setraw(slave)
    if os.path.lexists(link):
        os.unlink(link)
    os.symlink(os.ttyname(slave), link)
    print(os.ttyname(slave), flush=True)
    try:
        serve(Line(master, slave, time.monotonic() + limit))
    finally:
        os.unlink(link)


if __name__ == "__main__":
    main()
