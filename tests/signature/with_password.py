#!/usr/bin/env python3
"""Runs a command on a terminal of its own and types a password at each of
its password prompts, as a person at the keyboard would.

    with_password.py PASSWORD PROGRAM [ARG]...

Writes what the program showed on its terminal to stdout and exits with the
program's status (124 when it is still running after two minutes)."""
import os
import pty
import re
import select
import signal
import sys
import time

PROMPT = re.compile(rb"assword[^:\n]*: ")


def main():
    password = sys.argv[1].encode()
    pid, fd = pty.fork()
    if pid == 0:
        os.execv(sys.argv[2], sys.argv[2:])
    shown = b""
    answered = 0
    deadline = time.monotonic() + 120
    while time.monotonic() < deadline:
        ready, _, _ = select.select([fd], [], [], 0.5)
        if not ready:
            continue
        try:
            data = os.read(fd, 4096)
        except OSError:  # the program closed its terminal
            data = b""
        if not data:
            break
        shown += data
        while len(PROMPT.findall(shown)) > answered:
            # Let the program finish turning echo off before the keys arrive.
            time.sleep(0.2)
            os.write(fd, password + b"\n")
            answered += 1
    else:
        os.kill(pid, signal.SIGKILL)
        os.waitpid(pid, 0)
        sys.stdout.buffer.write(shown)
        sys.exit(124)
    _, status = os.waitpid(pid, 0)
    sys.stdout.buffer.write(shown)
    sys.exit(os.waitstatus_to_exitcode(status) if os.WIFEXITED(status) else 128 + os.WTERMSIG(status))


main()
