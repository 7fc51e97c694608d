#!/usr/bin/env python3
"""The viewer control under a real pointer and keyboard: xdotool sends X input
events (through the XTEST extension) to the control, which input_host shows
through the plug-in under Wine; every check reads pictures that SaveImage
wrote of the viewer.

    input_test.py WINE_RUN INPUT_HOST MODEL

Exits 77 (skipped) when no X display with XTEST can be had."""

import os
import shutil
import struct
import subprocess
import sys
import tempfile
import time

SKIPPED = 77
BACKGROUND = (90, 60, 40)  # B, G, R of input_host's SetBKColor 40,60,90


def skip(reason):
    print(f"SKIPPED: {reason}")
    sys.exit(SKIPPED)


def xdotool(*arguments):
    subprocess.run(["xdotool", *map(str, arguments)], check=True)


def display_with_xtest():
    """Runs this script again under xvfb-run when there is no display;
    skips when no display can be had or it lacks XTEST."""
    if not os.environ.get("DISPLAY"):
        if os.environ.get("QUELTO_INPUT_TEST_XVFB") or not shutil.which("xvfb-run"):
            skip("no X display, and xvfb-run cannot start one")
        os.environ["QUELTO_INPUT_TEST_XVFB"] = "1"
        os.execvp("xvfb-run", ["xvfb-run", "-a", "-s", "-screen 0 1280x1024x24 -nolisten tcp",
                               sys.executable, *sys.argv])
    if not shutil.which("xdotool"):
        sys.exit("xdotool is not installed (scripts/setup.sh installs it)")
    probe = subprocess.run(["xdotool", "getmouselocation"], capture_output=True, text=True)
    if probe.returncode != 0:
        skip(f"the X display {os.environ['DISPLAY']} cannot be used: {probe.stderr.strip()}")
    if "XTEST" in probe.stderr:
        skip(f"the X display {os.environ['DISPLAY']} has no XTEST extension")


class Picture:
    """A saved BMP (32 bits a pixel, as SaveImage writes them) and the model
    on it: the pixels that are not the background. Counted only when asked,
    since comparing two pictures needs no count."""

    def __init__(self, path):
        self.data = open(path, "rb").read()
        offset, = struct.unpack_from("<I", self.data, 10)
        self.width, height, _, bits = struct.unpack_from("<iiHH", self.data, 18)
        if bits != 32:
            sys.exit(f"{path}: {bits} bits a pixel, not 32")
        self.height = abs(height)
        self.pixels = memoryview(self.data)[offset:offset + 4 * self.width * self.height].cast("I")
        self.bottom_up = height > 0
        self._area = None

    def _count(self):
        background = BACKGROUND[0] | BACKGROUND[1] << 8 | BACKGROUND[2] << 16
        area = sum_x = sum_y = 0
        for row in range(self.height):
            y = self.height - 1 - row if self.bottom_up else row
            line = self.pixels[row * self.width:(row + 1) * self.width]
            xs = [x for x, pixel in enumerate(line) if pixel & 0xFFFFFF != background]
            area += len(xs)
            sum_x += sum(xs)
            sum_y += y * len(xs)
        self._area = area
        self._centre = (sum_x / area, sum_y / area) if area else None

    @property
    def area(self):
        if self._area is None:
            self._count()
        return self._area

    @property
    def centre(self):
        if self._area is None:
            self._count()
        return self._centre

    def __eq__(self, other):
        return self.data == other.data

    def __str__(self):
        if not self.centre:
            return "no model"
        return f"model of {self.area} pixels centred at {self.centre[0]:.1f},{self.centre[1]:.1f}"


class Host:
    """input_host under Wine, and the files it takes requests through."""

    answer_seconds = 120  # for one request; larger models take longer

    def __init__(self, wine_run, program, model):
        self.folder = tempfile.mkdtemp(prefix="input-test.", dir=os.getcwd())
        self.requests = 0
        self.process = subprocess.Popen([wine_run, program, self.folder, model])

    def wait_until_ready(self):
        # Starting Wine (a new prefix first, in an emulator) can take minutes.
        ready = os.path.join(self.folder, "ready")
        self.wait_for(ready, 600, "the viewer to come up")
        left, top, width, height = map(int, open(ready).read().split())
        self.centre = (left + width // 2, top + height // 2)
        self.size = (width, height)

    def wait_for(self, path, seconds, what):
        deadline = time.monotonic() + seconds
        while not os.path.exists(path):
            if self.process.poll() is not None:
                sys.exit(f"input_host ended (status {self.process.returncode}) while waiting for {what}")
            if time.monotonic() > deadline:
                sys.exit(f"waited {seconds} s for {what}")
            time.sleep(0.02)

    def request(self, line):
        self.requests += 1
        path = os.path.join(self.folder, f"request-{self.requests}")
        with open(path + ".partial", "w") as request:
            request.write(line + "\n")
        os.rename(path + ".partial", path)
        answer = os.path.join(self.folder, f"answer-{self.requests}")
        self.wait_for(answer, self.answer_seconds, line)
        text = open(answer).read().strip()
        if not text.startswith("ok"):
            sys.exit(f"input_host answered {text!r} to {line!r}")
        return text

    def picture(self):
        name = os.path.join(self.folder, f"picture-{self.requests + 1}.bmp")
        self.last_answer = self.request("SaveImage Z:" + name.replace("/", "\\"))
        return Picture(name)

    def picture_until(self, wanted, seconds=60):
        """Pictures until one is `wanted`; the last one either way."""
        deadline = time.monotonic() + seconds
        while True:
            shot = self.picture()
            if wanted(shot) or time.monotonic() > deadline:
                return shot

    def unchanged_for(self, seconds, since):
        """Pictures for `seconds`; the first that differs from `since`, or None."""
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            shot = self.picture()
            if shot != since:
                return shot
            time.sleep(0.1)
        return None

    def end(self):
        self.request("End")
        try:
            self.process.wait(120)
        except subprocess.TimeoutExpired:
            pass

    def close(self, keep_files):
        """Never leaves the host running (it would hold CTest's output open);
        keeps the pictures of a failed run."""
        if self.process.poll() is None:
            self.process.kill()
            self.process.wait()
        if keep_files:
            print(f"the pictures are in {self.folder}")
        else:
            shutil.rmtree(self.folder, ignore_errors=True)


failures = []


def check(condition, what, detail=""):
    print(("ok      " if condition else "FAILED  ") + what + (f" ({detail})" if detail else ""))
    if not condition:
        failures.append(what)
    return condition


# How far the centre of the model's pixels may move when the model turns
# about its own centre: a cube seen from another side, in perspective, covers
# other pixels around that centre (about 7 pixels for a 30-degree turn in this
# 320x240 view). A turn about any other point moves it by tens of pixels.
TURN_TOLERANCE = 12


def near(a, b, pixels):
    return a is not None and b is not None and abs(a[0] - b[0]) <= pixels and abs(a[1] - b[1]) <= pixels


def main():
    display_with_xtest()
    wine_run, program, model = sys.argv[1:4]
    started = time.monotonic()
    host = Host(wine_run, program, model)
    finished = False
    try:
        host.wait_until_ready()
        run_checks(host)
        host.end()
        finished = True
    finally:
        host.close(keep_files=bool(failures) or not finished)
    print(f"{len(failures)} of the checks failed; {time.monotonic() - started:.0f} s")
    sys.exit(1 if failures else 0)


def run_checks(host):
    cx, cy = host.centre
    xdotool("mousemove", cx, cy)
    start = host.picture_until(lambda shot: shot.area > 0)
    if not check(start.area > 500 and near(start.centre, (host.size[0] / 2, host.size[1] / 2), 20),
                 "the model shows in the middle of the view", start):
        return
    home = lambda: host.picture_until(lambda shot: shot == start)

    # The keyboard: not before a click, then arrows, zoom keys and Home.
    xdotool("key", "Left", "plus")
    changed = host.unchanged_for(2, start)
    check(changed is None, "before a click the control takes no keys", host.last_answer)
    xdotool("click", "1")
    clicked = host.picture()
    check(clicked == start, "a click without a move leaves the view as it was")
    xdotool("key", "Left")
    turned = host.picture_until(lambda shot: shot != start)
    check(turned != start and near(turned.centre, start.centre, TURN_TOLERANCE),
          "after a click the arrow keys turn the model about its centre", f"{turned}; {host.last_answer}")
    xdotool("key", "Home")
    check(home() == start, "Home frames the model again")
    shown = start
    for key, closer in (("plus", True), ("minus", False), ("KP_Add", True), ("KP_Subtract", False)):
        # One step changes the distance by a quarter: the model's area by
        # about half as much again, or a third less.
        xdotool("key", key)
        wanted = (lambda shot: shot.area > shown.area * 1.2) if closer else (
            lambda shot: shot.area < shown.area * 0.8)
        zoomed = host.picture_until(wanted)
        check(wanted(zoomed), f"{key} zooms {'in' if closer else 'out'}", zoomed)
        shown = zoomed
    xdotool("key", "Home")
    check(home() == start, "Home again")

    # A left drag rotates about the model's centre.
    xdotool("mousemove", cx - 40, cy, "mousedown", "1", "mousemove", cx, cy + 10, "mousemove", cx + 40, cy + 20,
            "mouseup", "1")
    rotated = host.picture_until(lambda shot: shot != start)
    check(rotated != start and near(rotated.centre, start.centre, TURN_TOLERANCE), "a left drag rotates the model in place",
          rotated)
    xdotool("key", "Home")
    home()

    # The right button and the wheel zoom.
    xdotool("mousemove", cx, cy - 30, "mousedown", "3", "mousemove", cx, cy, "mousemove", cx, cy + 30, "mouseup", "3")
    zoomed = host.picture_until(lambda shot: shot.area > start.area * 1.2)
    check(zoomed.area > start.area * 1.2, "a right drag downwards zooms in", zoomed)
    xdotool("key", "Home")
    home()
    xdotool("mousemove", cx, cy, "click", "4")
    wheeled_in = host.picture_until(lambda shot: shot.area > start.area * 1.2)
    check(wheeled_in.area > start.area * 1.2, "the wheel turned forwards zooms in", wheeled_in)
    xdotool("click", "--repeat", "3", "5")
    wheeled_out = host.picture_until(lambda shot: shot.area < start.area * 0.8)
    check(wheeled_out.area < start.area * 0.8, "the wheel turned backwards zooms out", wheeled_out)
    xdotool("key", "Home")
    home()

    # In move mode the model follows the cursor.
    host.request("SelectMove")
    xdotool("mousemove", cx, cy, "mousedown", "1", "mousemove", cx + 30, cy + 10, "mousemove", cx + 50, cy + 30,
            "mouseup", "1")
    moved = host.picture_until(lambda shot: shot != start)
    followed = (start.centre[0] + 50, start.centre[1] + 30)
    check(near(moved.centre, followed, 3), "a drag in move mode moves the model with the cursor",
          f"{moved}, expected near {followed[0]:.1f},{followed[1]:.1f}")
    host.request("SelectRotate")
    xdotool("key", "Home")
    home()

    # Inertia: a quick drag keeps the model turning after the release, and
    # the next click stops it.
    host.request("InertialRotation 1")
    quick = ["mousemove", cx - 60, cy, "mousedown", "1"]
    for _ in range(8):
        quick += ["mousemove_relative", "--", 15, 0]
    xdotool(*quick, "mouseup", "1")
    released = host.picture()
    turning = host.picture_until(lambda shot: shot != released)
    turning_still = host.picture_until(lambda shot: shot != turning)
    check(turning != released and turning_still != turning, "after a quick drag the model keeps turning")
    xdotool("click", "1")
    stopped = host.picture()
    check(host.unchanged_for(2, stopped) is None, "a click stops the turning")


if __name__ == "__main__":
    main()
