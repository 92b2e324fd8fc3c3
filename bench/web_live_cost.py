#!/usr/bin/python3
"""What watching the live page costs the recorder: its processor time (utime + stime from
/proc/<pid>/stat) over --seconds while capturing with nobody watching, then over the same time
with --browsers headless Chromium windows showing the live page, then with nobody again. The
difference from the mean of the two quiet windows, as a percentage of one core, is the price
of the watchers (goal: under 5 %).

The recorder (build/app/quillmar) captures from the simulated under-car camera at 1920 x 1200
on a private display; everything stays on 127.0.0.1.

usage: bench/web_live_cost.py [--build DIR] [--browsers N] [--seconds S]
Needs the Debian packages chromium, chromium-driver, python3-selenium and xvfb.
"""

import argparse
import os
import sys
import time

sys.dont_write_bytecode = True  # nothing written into the source tree
sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "tests", "web"))
import quillmar_web as qw  # noqa: E402

TICKS = os.sysconf("SC_CLK_TCK")


def cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as f:
        # The command name may hold spaces; the fields after its closing parenthesis do not.
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / TICKS  # utime, stime (fields 14 and 15)


def measure(pid, seconds):
    """Share of one core the process used over the next `seconds`, in percent."""
    cpu0, t0 = cpu_seconds(pid), time.monotonic()
    time.sleep(seconds)
    cpu1, t1 = cpu_seconds(pid), time.monotonic()
    return 100 * (cpu1 - cpu0) / (t1 - t0)


LIVE_FETCHES = ("return performance.getEntriesByType('resource')"
                ".filter(e => new URL(e.name).pathname === '/live.jpg').length;")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--build", default=os.environ.get("QUILLMAR_BUILD_DIR", qw.BUILD_DIR))
    parser.add_argument("--browsers", type=int, default=4)
    parser.add_argument("--seconds", type=int, default=30)
    args = parser.parse_args()
    qw.BUILD_DIR = os.path.abspath(args.build)

    with qw.recorder(size="1920x1200") as rec:
        answer = rec.command("capture/start")
        if not 200 <= answer.status < 300:
            raise AssertionError(f"POST /api/capture/start: {answer.status} {answer.body[:200]!r}")
        qw.wait_until(lambda: rec.get("/live.jpg").status == 200, 20, "a live frame")
        time.sleep(5)  # past the start of capture
        pid = rec.proc.pid
        quiet_before = measure(pid, args.seconds)

        browsers = []
        try:
            for _ in range(args.browsers):
                b = qw.browser()
                browsers.append(b)
                b.get(rec.url("/"))
            for b in browsers:
                qw.wait_until(lambda: b.execute_script(
                    "const i = document.getElementById('live'); return i && i.complete && i.naturalWidth > 0;"),
                    20, "the live picture in every browser")
            time.sleep(3)  # page loads done
            for b in browsers:
                b.execute_script("performance.clearResourceTimings();")
            watched = measure(pid, args.seconds)
            fetched = sum(b.execute_script(LIVE_FETCHES) for b in browsers)
        finally:
            for b in browsers:
                b.quit()
        time.sleep(3)
        quiet_after = measure(pid, args.seconds)

    quiet = (quiet_before + quiet_after) / 2
    cost = watched - quiet
    print(f"recorder capturing 1920 x 1200, {args.seconds} s windows")
    print(f"  nobody watching:       {quiet_before:6.1f} % of a core (before), {quiet_after:6.1f} % (after)")
    print(f"  {args.browsers} browsers watching:   {watched:6.1f} % of a core; "
          f"{fetched / args.browsers / args.seconds:.1f} live pictures a second per browser")
    print(f"  the watchers' cost:    {cost:6.1f} % of a core (goal < 5 %: {'met' if cost < 5 else 'NOT met'})")


if __name__ == "__main__":
    main()
