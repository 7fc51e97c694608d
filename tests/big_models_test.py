#!/usr/bin/env python3
"""Large models in the 32-bit viewer, as an author meets them: each model is
shown by the runner (its picture saved and looked at, or the one line that
says it does not fit), then turned with the mouse in input_host while its
private bytes are read. scripts/big-models.sh writes the models and runs this.

    big_models_test.py WINE_RUN RUNNER INPUT_HOST MODEL...

Prints a line per model with what it showed and the peak private bytes;
exits 1 when a model neither shows nor says why."""

import os
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import input_test  # noqa: E402  (its host driver, pictures and pointer)

# In an emulated guest a frame of tens of millions of triangles takes a while.
SECONDS = int(os.environ.get("QUELTO_BIG_MODEL_SECONDS", "3600"))


def windows_path(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def shown_by_runner(wine_run, runner, model, folder):
    """The runner's status, its stderr, the picture (or None) and the seconds taken."""
    picture = os.path.join(folder, os.path.basename(model) + ".bmp")
    script = os.path.join(folder, os.path.basename(model) + ".txt")
    with open(script, "w") as lines:
        lines.write("Init\nSetBKColor 40,60,90\nGridMode 0\n")
        lines.write(f"Show {windows_path(model)}\nSaveImage {windows_path(picture)}\nEnd\n")
    started = time.monotonic()
    run = subprocess.run([wine_run, runner, "--size", "640x480", script], capture_output=True, text=True,
                         timeout=SECONDS)
    seconds = time.monotonic() - started
    shown = input_test.Picture(picture) if run.returncode == 0 and os.path.exists(picture) else None
    return run.returncode, run.stderr.strip(), shown, seconds


def memory(host, program):
    """Peak memory of input_host in MB: as Windows (Wine) counts its private
    bytes, and the most of it that was resident, as Linux counts it."""
    answer = host.request("Memory").split()
    values = dict(field.split("=") for field in answer[1:])
    resident = 0
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            if os.path.basename(program).encode() not in open(f"/proc/{pid}/cmdline", "rb").read():
                continue
            for line in open(f"/proc/{pid}/status"):
                if line.startswith("VmHWM:"):
                    resident = max(resident, int(line.split()[1]) / 1024)
        except OSError:
            pass
    return int(values["peak"]) / 2**20, resident


def turned_with_mouse(wine_run, input_host, model):
    """Shown, dragged, shown again: (first picture, turned picture, peak private MB, peak resident MB, seconds)."""
    started = time.monotonic()
    host = input_test.Host(wine_run, input_host, model)
    done = False
    try:
        ready = os.path.join(host.folder, "ready")
        host.wait_for(ready, SECONDS, "the viewer to show the model")
        left, top, width, height = map(int, open(ready).read().split())
        cx, cy = left + width // 2, top + height // 2
        input_test.xdotool("mousemove", cx, cy)
        first = host.picture_until(lambda shot: shot.area > 0, SECONDS)
        input_test.xdotool("mousemove", cx - 40, cy, "mousedown", "1", "mousemove", cx, cy + 10,
                           "mousemove", cx + 40, cy + 20, "mouseup", "1")
        turned = host.picture_until(lambda shot: shot != first, SECONDS)
        peak, resident = memory(host, input_host)
        host.end()
        done = True
        return first, turned, peak, resident, time.monotonic() - started
    finally:
        host.close(keep_files=not done)


def main():
    input_test.display_with_xtest()
    wine_run, runner, input_host = sys.argv[1:4]
    os.environ.setdefault("QUELTO_INPUT_HOST_SECONDS", str(3 * SECONDS))
    input_test.Host.answer_seconds = SECONDS
    folder = tempfile.mkdtemp(prefix="big-models.", dir=os.getcwd())
    failed = False
    for model in sys.argv[4:]:
        size = os.path.getsize(model) / 2**20
        status, stderr, picture, seconds = shown_by_runner(wine_run, runner, model, folder)
        name = os.path.basename(model)
        # A model that does not fit leaves its line on the picture: the
        # picture is not empty, but the model is not in it.
        said = "does not fit in memory" in stderr
        if picture is None or picture.area == 0 or said:
            failed = failed or not said
            print(f"{name} ({size:.0f} MB): runner status {status} after {seconds:.0f} s, not shown: {stderr}")
            continue
        print(f"{name} ({size:.0f} MB): runner showed it in {seconds:.0f} s ({picture})")
        first, turned, peak, resident, seconds = turned_with_mouse(wine_run, input_host, model)
        moved = turned != first
        failed = failed or not moved or first.area == 0
        print(f"{name}: input_host showed it ({first}), a left drag {'turned' if moved else 'did NOT turn'} it "
              f"({turned}); peak private bytes {peak:.0f} MB as Wine counts them, peak resident {resident:.0f} MB; "
              f"{seconds:.0f} s")
    print(f"pictures and scripts in {folder}")
    sys.exit(1 if failed else 0)


if __name__ == "__main__":
    main()
