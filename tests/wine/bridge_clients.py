"""Clients of `vcomctl serve` (the partner of the served port echoes): with --share two pyserial
RFC 2217 clients each get what either sends back from the port; without, a second TCP client is
closed at once and the first goes on. Run by Debian's /usr/bin/python3 (python3-serial)."""
import argparse, socket, sys, time
import serial

p = argparse.ArgumentParser()
p.add_argument("url")
p.add_argument("--share", action="store_true")
a = p.parse_args()
deadline = time.monotonic() + 60


def expect(port, name, want):
    seen = b""
    while want not in seen:
        if time.monotonic() > deadline:
            sys.exit(f"client {name} never got {want!r}, only {seen!r}")
        seen += port.read(4096)


first = serial.serial_for_url(a.url, baudrate=57600, timeout=0.1)
if a.share:
    second = serial.serial_for_url(a.url, baudrate=57600, timeout=0.1)
    for writer, name in ((first, b"first"), (second, b"second")):
        writer.write(b"from the " + name + b" client\n")
        expect(first, "first", b"from the " + name)
        expect(second, "second", b"from the " + name)
else:
    host, port = a.url.split("//")[1].split(":")
    extra = socket.create_connection((host, int(port)), 10)
    extra.settimeout(20)
    try:
        closed = extra.recv(100) == b""
    except ConnectionResetError:
        closed = True
    if not closed:
        sys.exit("the second client was answered, not closed")
    first.write(b"the first goes on\n")
    expect(first, "first", b"the first goes on")
print("clients: ok")
