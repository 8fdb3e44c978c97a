"""The program itself (its own start, environment and web module) paints its pages in a sway session:
Settings and then the card are shot with grim and must show more than their background. WebKit on
Wayland stopped painting when kept from its own EGL display, which no in-process test noticed.

Usage, inside scripts/private-session --wayland: wayland_pages_paint.py PATH-TO-ulvo
"""
import subprocess
import sys
import time


def colours(left, top, right, bottom):
    data = subprocess.run(["grim", "-t", "ppm", "-"], check=True, capture_output=True).stdout
    # Binary PPM with 8-bit samples: "P6\n<width> <height>\n255\n" then RGB bytes.
    fields = data.split(maxsplit=4)
    width, pixels = int(fields[1]), fields[4]
    seen = set()
    for y in range(top, bottom, 3):
        for x in range(left, right, 3):
            offset = (y * width + x) * 3
            seen.add(pixels[offset:offset + 3])
    return len(seen)


def painted(program_arguments):
    """Runs a later start with these arguments, then waits for the middle of the output to show a
    painted page (the card and Settings both open there): its text gives many shades."""
    subprocess.run(program_arguments, check=True, timeout=30)
    count = 0
    deadline = time.monotonic() + 15
    while count < 12 and time.monotonic() < deadline:
        time.sleep(0.5)
        count = colours(780, 260, 1140, 600)
    return count


def main():
    program = sys.argv[1]
    running = subprocess.Popen([program], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        time.sleep(3)
        # Settings, then the card over it: the second page is where painting stopped.
        settings = painted([program, "--settings"])
        card = painted([program])
    finally:
        running.terminate()
        running.wait(timeout=30)
    print(f"Settings shows {settings} colours, then the card {card}")
    if min(settings, card) < 12:
        print("a page was not painted", file=sys.stderr)
        sys.exit(1)


main()
