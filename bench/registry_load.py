#!/usr/bin/env python3
"""Time to read registries with many host aliases.

    bench/registry_load.py [BUILD_DIR=build] [COUNT ...]   (default 5000 10000 20000 200000)

For each count, writes a registry file with that many alias keys (each a subkey of the
host's Aliases key with its Alias value) and prints:
- start: seconds from starting `kestran -DEBUG` until it listens (the settings, the
  aliases and the message counter are read on the way);
- import: seconds of `kestran-reg import` of the same file into an empty registry;
- query: seconds of `kestran-reg query ...\\Aliases /s`.
Reading is linear when the figures grow in proportion to the count.
"""
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def registry(count, port, root):
    lines = [
        "REGEDIT4",
        "",
        "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Brackenwold\\KESTRAN]",
        '"Port"=dword:%08x' % port,
        '"BoundIP"="127.0.0.1"',
        '"UseNTUserDatabase"=dword:00000000',
        '"MailQueueDir"="%s"' % os.path.join(root, "queue").replace("\\", "\\\\"),
        "",
        "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Larchmont\\LMS]",
        '"LastMsgId"=dword:00000000',
        "",
    ]
    for i in range(count):
        lines.append("[HKEY_LOCAL_MACHINE\\SOFTWARE\\Larchmont\\LMS\\Aliases\\alias%d]" % i)
        lines.append('"Alias"="user%d@example.test"' % i)
        lines.append("")
    return "\r\n".join(lines) + "\r\n"


def listening(port):
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=0.2):
            return True
    except OSError:
        return False


def main():
    build = sys.argv[1] if len(sys.argv) > 1 else "build"
    counts = [int(c) for c in sys.argv[2:]] or [5000, 10000, 20000, 200000]
    print("%8s %9s %9s %9s %10s" % ("aliases", "start s", "import s", "query s", "file KB"))
    for count in counts:
        root = tempfile.mkdtemp(prefix="kestran-regload-")
        try:
            port = free_port()
            text = registry(count, port, root)
            src = os.path.join(root, "aliases.reg")
            with open(src, "w", newline="") as f:
                f.write(text)
            shutil.copy(src, os.path.join(root, "registry.reg"))
            env = dict(os.environ, KESTRAN_ROOT=root)
            t0 = time.monotonic()
            proc = subprocess.Popen([os.path.join(build, "kestran"), "-DEBUG"], env=env,
                                    stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            while not listening(port) and proc.poll() is None and time.monotonic() - t0 < 120:
                time.sleep(0.01)
            start = time.monotonic() - t0
            proc.send_signal(signal.SIGINT)
            proc.wait(30)

            os.remove(os.path.join(root, "registry.reg"))
            tool = os.path.join(build, "kestran-reg")
            t0 = time.monotonic()
            subprocess.run([tool, "import", src], env=env, check=True, stdout=subprocess.DEVNULL)
            imported = time.monotonic() - t0
            t0 = time.monotonic()
            subprocess.run([tool, "query", "HKLM\\SOFTWARE\\Larchmont\\LMS\\Aliases", "/s"],
                           env=env, check=True, stdout=subprocess.DEVNULL)
            queried = time.monotonic() - t0
            print("%8d %9.2f %9.2f %9.2f %10d" % (count, start, imported, queried,
                                                   len(text) // 1024))
        finally:
            shutil.rmtree(root, ignore_errors=True)


if __name__ == "__main__":
    main()
