#!/usr/bin/env python3
"""How live `lorvcam view` is: pictures shown per wall-clock second, and the time from a
brightness key to the first picture that shows the new setting (both read from --trace).
It runs the window on its own Xvfb display and presses keys with xdotool.

    python3 bench/view/view_rates.py build/release/tools/lorvcam/lorvcam MODE [VIEW OPTIONS...]
"""
import os
import re
import subprocess
import sys
import threading
import time

SHOWN = re.compile(r" shown: .*brightness (0x[0-9A-F]{2})")


def start_display():
    read_end, write_end = os.pipe()
    server = subprocess.Popen(["Xvfb", "-displayfd", str(write_end), "-screen", "0", "1280x1024x24",
                               "-nolisten", "tcp"], pass_fds=(write_end,), stderr=subprocess.DEVNULL)
    os.close(write_end)
    return server, ":" + os.read(read_end, 16).decode().strip()


def main():
    lorvcam, mode, extra = sys.argv[1], sys.argv[2] if len(sys.argv) > 2 else "0", sys.argv[3:]
    server, display = start_display()
    env = dict(os.environ, DISPLAY=display)
    view = subprocess.Popen([lorvcam, "view", "--trace", "-m", mode] + extra, env=env,
                            stderr=subprocess.PIPE, text=True)
    shown = []  # (wall time, brightness shown)

    def read_trace():
        for line in view.stderr:
            if match := SHOWN.search(line):
                shown.append((time.monotonic(), match.group(1)))

    threading.Thread(target=read_trace, daemon=True).start()
    window = subprocess.check_output(["xdotool", "search", "--sync", "--name", "^lorvcam view"],
                                     env=env, text=True, timeout=30).split()[0]
    time.sleep(3)  # past bring-up

    first, started = len(shown), time.monotonic()
    time.sleep(10)
    rate = (len(shown) - first) / (time.monotonic() - started)

    latencies = []
    for _ in range(6):
        before, old = len(shown), shown[-1][1]
        pressed = time.monotonic()
        subprocess.run(["xdotool", "key", "--window", window, "B"], env=env, check=True)
        while time.monotonic() < pressed + 5:
            changed = [t for t, value in shown[before:] if value != old]
            if changed:
                latencies.append((changed[0] - pressed) * 1000)
                break
            time.sleep(0.002)
        time.sleep(0.7)

    subprocess.run(["xdotool", "key", "--window", window, "Escape"], env=env)
    view.wait(timeout=30)
    server.terminate()
    print(f"mode {mode} {' '.join(extra)}: {rate:.2f} pictures a second; key to picture "
          + ", ".join(f"{ms:.0f}" for ms in latencies) + " ms")


if __name__ == "__main__":
    main()
