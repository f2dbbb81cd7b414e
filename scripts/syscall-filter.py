#!/usr/bin/env python3
"""Runs a program under the system-call filter of the KESTRAN unit, for machines
where systemd cannot apply it (no systemd as init): the calls of @system-service
without @privileged and @resources are allowed, every other call fails with EPERM,
and sockets may only be made for AF_INET, AF_INET6 and AF_UNIX.

Usage: syscall-filter.py PROGRAM [ARGS...]
The groups are read from `systemd-analyze syscall-filter`, so they are the ones of
the systemd that would run the unit."""
import errno
import os
import socket
import subprocess
import sys

import seccomp


def groups():
    text = subprocess.run(["systemd-analyze", "syscall-filter"], check=True,
                          capture_output=True, text=True).stdout
    found, current = {}, None
    for line in text.splitlines():
        if line.startswith("@"):
            current = found.setdefault(line.strip(), [])
        elif current is not None and line.strip() and not line.strip().startswith("#"):
            current.append(line.strip())
    return found


def expand(name, table, seen=None):
    seen = set() if seen is None else seen
    if not name.startswith("@"):
        return {name}
    if name in seen:
        return set()
    seen.add(name)
    out = set()
    for item in table.get(name, []):
        out |= expand(item, table, seen)
    return out


def main():
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    table = groups()
    allowed = expand("@system-service", table) - expand("@privileged", table) \
        - expand("@resources", table)
    f = seccomp.SyscallFilter(defaction=seccomp.ERRNO(errno.EPERM))
    for name in sorted(allowed - {"socket"}):
        try:
            f.add_rule(seccomp.ALLOW, name)
        except (RuntimeError, ValueError, OSError):
            pass  # not a call of this architecture
    if "socket" in allowed:
        for family in (socket.AF_INET, socket.AF_INET6, socket.AF_UNIX):
            f.add_rule(seccomp.ALLOW, "socket", seccomp.Arg(0, seccomp.EQ, family))
    f.load()
    os.execv(sys.argv[1], sys.argv[1:])


main()
