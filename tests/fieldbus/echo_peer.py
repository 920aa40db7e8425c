"""The far end of a serial line for port tests: a pseudo-terminal that sends
back everything it receives, in one piece.

usage: echo_peer.py READY_FILE

Writes the path of the port's end to READY_FILE once it serves, and stops
when it is terminated or when the process that started it has ended.
"""
import os
import select
import sys
import tty


def main():
    ready = sys.argv[1]
    master, port_end = os.openpty()
    # Held open, so the terminal lives on while the port is closed and opened.
    tty.setraw(port_end)
    with open(ready + ".tmp", "w") as f:
        f.write(os.ttyname(port_end))
    os.rename(ready + ".tmp", ready)

    parent = os.getppid()
    while os.getppid() == parent:
        readable, _, _ = select.select([master], [], [], 1.0)
        if readable:
            data = os.read(master, 4096)
            os.write(master, data)


if __name__ == "__main__":
    main()
