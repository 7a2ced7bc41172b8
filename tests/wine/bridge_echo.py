"""Echoes what arrives on a pseudo-terminal (or, with --rfc2217, through pyserial's RFC 2217 client,
which first sets 57600 baud) until killed or --seconds have passed; the far end of the bridge
under test. With --termios PATH --expect BAUD,PARITY, exits 0 once PATH's settings are those.
With --bench URL, measures pyserial's RFC 2217 client as bridge_test measures the bridge (1 MiB
out and back through the echo, then 64-byte round trips) and prints the same lines.
Run by Debian's /usr/bin/python3 (python3-serial)."""
import argparse, os, select, sys, termios, time, tty

p = argparse.ArgumentParser()
p.add_argument("--pty")
p.add_argument("--rfc2217")
p.add_argument("--seconds", type=float, default=300)
p.add_argument("--termios")
p.add_argument("--expect")
p.add_argument("--bench")
p.add_argument("--ready", help="with --rfc2217: a file made once the client is open")
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

if a.bench:
    import threading, serial
    # ser2net on a pseudo-terminal answers no DTR or RTS command: pyserial waits for none.
    port = serial.serial_for_url(a.bench + "?ign_set_control", baudrate=57600, timeout=0.2)
    total, window = 1 << 20, 32768
    pattern = bytes((i * 7 + i // 251) & 0xFF for i in range(total))
    received = bytearray()

    def reader():
        idle = time.monotonic()
        while len(received) < total and time.monotonic() - idle < 30:
            data = port.read(16384)
            if data:
                received.extend(data)
                idle = time.monotonic()

    start = time.monotonic()
    thread = threading.Thread(target=reader)
    thread.start()
    for sent in range(0, total, 4096):
        while sent - len(received) > window and thread.is_alive():
            time.sleep(0.001)
        port.write(pattern[sent:sent + 4096])
    thread.join()
    elapsed = time.monotonic() - start
    if bytes(received) != pattern:
        sys.exit(f"pyserial: {len(received)} of {total} bytes came back, or wrong")
    print(f"pyserial: {total} bytes out and back in {elapsed * 1000:.0f} ms ({total / 1e6 / elapsed:.2f} MB/s each way)")
    times = []
    port.timeout = 5
    for r in range(200):
        out = bytes([ord("a") + r % 26]) * 64
        t0 = time.perf_counter()
        port.write(out)
        back = port.read(64)
        times.append((time.perf_counter() - t0) * 1e6)
        if back != out:
            sys.exit(f"pyserial: round trip {r} came back wrong")
    times.sort()
    print(f"pyserial: 64-byte round trip p50 {times[len(times) // 2]:.0f} us, max {times[-1]:.0f} us over 200 rounds")
    port.close()
    sys.exit(0)

if a.rfc2217:
    import serial
    port = serial.serial_for_url(a.rfc2217, baudrate=57600, timeout=0.05)
    print("pyserial connected; baud", port.baudrate, flush=True)
    if a.ready:
        open(a.ready, "w").close()
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
