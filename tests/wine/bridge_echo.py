"""Echoes what arrives on a pseudo-terminal (or, with --rfc2217, through pyserial's RFC 2217 client,
which first sets 57600 baud) until killed or --seconds have passed; the far end of the bridge
under test. With --termios PATH --expect BAUD,PARITY, exits 0 once PATH's settings are those.
Run by Debian's /usr/bin/python3 (python3-serial)."""
import argparse, os, select, sys, termios, time, tty

p = argparse.ArgumentParser()
p.add_argument("--pty")
p.add_argument("--rfc2217")
p.add_argument("--seconds", type=float, default=300)
p.add_argument("--termios")
p.add_argument("--expect")
a = p.parse_args()
deadline = time.monotonic() + a.seconds

if a.termios:
    want_baud, want_parity = a.expect.split(",")
    speeds = {getattr(termios, n): int(n[1:]) for n in dir(termios) if n.startswith("B") and n[1:].isdigit()}
    while time.monotonic() < deadline:
        attrs = termios.tcgetattr(os.open(a.termios, os.O_RDWR | os.O_NOCTTY))
        baud = speeds.get(attrs[5])
        cflag = attrs[2]
        parity = "N" if not cflag & termios.PARENB else ("O" if cflag & termios.PARODD else "E")
        size = {termios.CS5: 5, termios.CS6: 6, termios.CS7: 7, termios.CS8: 8}[cflag & termios.CSIZE]
        stop = 2 if cflag & termios.CSTOPB else 1
        if baud == int(want_baud) and parity + str(size) + str(stop) == want_parity:
            print(f"termios of {a.termios}: {baud} {parity}{size}{stop}")
            sys.exit(0)
        time.sleep(0.1)
    print(f"termios of {a.termios} stayed {baud} {parity}{size}{stop}, not {a.expect}")
    sys.exit(1)

if a.rfc2217:
    import serial
    port = serial.serial_for_url(a.rfc2217, baudrate=57600, timeout=0.05)
    print("pyserial connected; baud", port.baudrate, flush=True)
    while time.monotonic() < deadline:
        data = port.read(65536)
        if data:
            port.write(data)
    sys.exit(0)

fd = os.open(a.pty, os.O_RDWR | os.O_NOCTTY)
tty.setraw(fd)
while time.monotonic() < deadline:
    ready, _, _ = select.select([fd], [], [], 0.2)
    if ready:
        data = os.read(fd, 65536)
        while data:
            data = data[os.write(fd, data):]
