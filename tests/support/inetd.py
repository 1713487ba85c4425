#!/usr/bin/python3
# Runs a server written for inetd on its own, for the tests, as inetd would:
# accepts on 127.0.0.1:PORT and starts PROGRAM once per connection, with the
# connection as its standard input and output. Run by inetutils_ftpd_server.hpp:
#   inetd.py --port P [--etc UPPER:WORK] -- PROGRAM ARG...
# With --etc (root only), this process and every PROGRAM it starts get a mount
# namespace of their own in which the files of folder UPPER lie over the
# machine's /etc (an overlay; WORK is its empty work folder on the same file
# system), so that a server which logs in system users finds the test's user
# in /etc/passwd and /etc/shadow while the machine's accounts stay as they are.
# A whole folder is laid over /etc, not single files: a file mounted over
# /etc/passwd would come off as soon as anything on the machine rewrote it.
# The sessions stay in this process's group, so that killing the group ends
# them all.
import argparse
import ctypes
import os
import signal
import socket

CLONE_NEWNS = 0x00020000
MS_REC = 0x4000
MS_PRIVATE = 1 << 18


def overlay_etc(upper, work):
    libc = ctypes.CDLL(None, use_errno=True)

    def check(rc, what):
        if rc != 0:
            errno = ctypes.get_errno()
            raise OSError(errno, "%s: %s" % (what, os.strerror(errno)))

    for folder in (upper, work):
        if any(c in folder for c in ",:\\"):
            raise ValueError("an overlay folder may hold no ',', ':' or '\\': " + folder)
    check(libc.unshare(CLONE_NEWNS), "unshare")
    # Nothing mounted here may show in the machine's namespace.
    check(libc.mount(b"none", b"/", None, MS_REC | MS_PRIVATE, None), "making / private")
    options = "lowerdir=/etc,upperdir=%s,workdir=%s" % (upper, work)
    check(libc.mount(b"overlay", b"/etc", b"overlay", 0, options.encode()), "overlay on /etc")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--port", type=int, required=True)
    parser.add_argument("--etc")
    parser.add_argument("program", nargs=argparse.REMAINDER)
    args = parser.parse_args()
    program = args.program[1:] if args.program[:1] == ["--"] else args.program
    if not program:
        parser.error("no program to run")
    if args.etc:
        overlay_etc(*args.etc.split(":", 1))

    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("127.0.0.1", args.port))
    listener.listen(64)
    # Sessions that end are reaped by the kernel.
    signal.signal(signal.SIGCHLD, signal.SIG_IGN)
    while True:
        connection, _ = listener.accept()
        if os.fork() == 0:
            listener.close()
            signal.signal(signal.SIGCHLD, signal.SIG_DFL)
            os.dup2(connection.fileno(), 0)
            os.dup2(connection.fileno(), 1)
            connection.close()
            os.execv(program[0], program)
        connection.close()


if __name__ == "__main__":
    main()
