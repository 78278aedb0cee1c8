#!/usr/bin/env python3
"""The console for Windows, run under Wine and operated from outside.

A pseudo-terminal linked as the prefix's COM1 plays the device, a UDP socket
on loopback plays the network peer. Usage:
wine_console.py TORIN5_EXE OPERATOR_EXE VERSION (WINEPREFIX and DISPLAY set by the
caller); VERSION is the file version the program must carry.
"""
import os
import pty
import re
import select
import socket
import subprocess
import sys
import tempfile
import termios
import time
import tty

EXE, OPERATOR, VERSION = sys.argv[1], sys.argv[2], sys.argv[3]
PREFIX = os.environ["WINEPREFIX"]
LINK = os.path.join(PREFIX, "dosdevices", "com1")
failures = []


def check(ok, what):
    print(("ok   " if ok else "FAIL ") + what, flush=True)
    if not ok:
        failures.append(what)


def operate(verb, arg=None):
    args = [verb] if arg is None else [verb, arg.encode("utf-8").hex() if verb == "click" else arg]
    # Output to a file, not a pipe: Wine's own processes, started by any of
    # these calls, keep what they inherit open long after the call.
    with tempfile.TemporaryFile() as err:
        r = subprocess.run(["wine", OPERATOR, *args], stdout=subprocess.DEVNULL, stderr=err,
                           timeout=90)
        if r.returncode != 0:
            err.seek(0)
            print("operator", verb, arg, "->", r.returncode, err.read().decode(errors="replace"),
                  flush=True)
    return r.returncode == 0


def read_for(fd, seconds, want=None):
    """Bytes from fd until `want` bytes arrived or the time is up."""
    got = b""
    end = time.monotonic() + seconds
    while time.monotonic() < end and (want is None or len(got) < want):
        r, _, _ = select.select([fd], [], [], max(0.0, end - time.monotonic()))
        if r:
            try:
                got += os.read(fd, 4096)
            except OSError:
                break
    return got


def until(cond, seconds):
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        if cond():
            return True
        time.sleep(0.05)
    return cond()


master, slave = pty.openpty()
tty.setraw(master)
tty.setraw(slave)
# Wine maps its COM ports anew each time its server starts, from this value;
# the link serves the server already running.
PORTS = r"HKLM\Software\Wine\Ports"
subprocess.run(["wine", "reg", "add", PORTS, "/v", "COM1", "/t", "REG_SZ", "/d",
                os.ttyname(slave), "/f"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
               timeout=60)
if os.path.lexists(LINK):
    os.unlink(LINK)
os.symlink(os.ttyname(slave), LINK)
# What the program says of itself: the project's version, and a manifest that
# asks for no elevation.
with tempfile.TemporaryFile() as out:
    subprocess.run(["wine", OPERATOR, "about", EXE], stdout=out, stderr=subprocess.DEVNULL,
                   timeout=90)
    out.seek(0)
    about = out.read().decode(errors="replace")
version = re.search(r"^version (\S+)", about, re.M)
check(version is not None and version.group(1) == VERSION,
      "the file version is %s (%s)" % (VERSION, version.group(1) if version else "none"))
check('requestedExecutionLevel level="asInvoker"' in about, "the manifest asks to run as invoker")
check(re.search(r"<dpiAwareness[^>]*>\s*PerMonitorV2, System\s*</dpiAwareness>", about) is not None and
      re.search(r"<dpiAware [^>]*>\s*true\s*</dpiAware>", about) is not None,
      "the manifest asks for per-monitor resolutions (v2), system-wide where v2 is missing")
console = subprocess.Popen(["wine", EXE])
peer = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
peer.bind(("127.0.0.1", 0))
peer.settimeout(5)
try:
    check(operate("wait", "60"), "the window opens with its caption")

    # "Пакетный" opens Порт 1 at 115200 in packet mode; "Treat" answers requests.
    check(operate("click", "Пакетный"), "click \"Пакетный\"")
    check(until(lambda: termios.tcgetattr(slave)[4] == termios.B115200, 10),
          "COM1 opened at 115200")
    check(operate("click", "Treat"), "click \"Treat\"")
    time.sleep(0.3)
    for kind, frame in ((1, bytes([0x1E, 0x02, 0x05, 0x01, 0xC3])),
                        (2, bytes([0x1E, 0x02, 0x05, 0x02, 0x21]))):
        os.write(master, frame)
        got = read_for(master, 5, want=5)
        check(got == frame, "request of kind %d acknowledged (%s)" % (kind, got.hex(" ")))
    os.write(master, bytes([0x1E, 0x02, 0x05, 0x03, 0x7F]))
    got = read_for(master, 1)
    check(got == b"", "request of kind 3 left unanswered (%s)" % got.hex(" "))

    # "Активация" starts the UDP server on port 50000; each datagram gets one LF.
    check(operate("click", "Активация"), "click \"Активация\"")
    answers = []
    for text in (b"hello\r", b"SSI 1\r"):
        answer = b""
        for _ in range(20):  # the server may still be starting
            peer.sendto(text, ("127.0.0.1", 50000))
            try:
                answer = peer.recv(16)
                break
            except socket.timeout:
                pass
        answers.append(answer)
    check(answers == [b"\n", b"\n"], "datagrams answered with one LF each (%r)" % answers)

    check(operate("close"), "close the window")
    try:
        code = console.wait(30)
        check(code == 0, "the program ends with status 0 (%d)" % code)
    except subprocess.TimeoutExpired:
        check(False, "the program ends after its window is closed")
finally:
    if console.poll() is None:
        console.kill()
        console.wait()
    os.unlink(LINK)
    subprocess.run(["wine", "reg", "delete", PORTS, "/v", "COM1", "/f"],
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=60)
    os.close(master)
    os.close(slave)
    peer.close()

sys.exit(1 if failures else 0)
