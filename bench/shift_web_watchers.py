#!/usr/bin/python3
"""Headless Chromium windows watching the recorder's live page, for bench_shift --web-watchers.

usage: shift_web_watchers.py --url URL [--browsers N] [--scratch DIR] [--nice K]

--nice K keeps every thread of the browsers at nice K or above (0: as a person at the recorder's
own screen would have them). Chromium sets its own priorities (run as root, some below 0) and
nice is per thread on Linux, so each thread of the group is looked at again every second.

Started by bench_shift as the leader of its own process group; the browsers and their drivers
are in that group. Prints "watching N" once every page is up, then waits. On SIGTERM or SIGINT,
and when bench_shift dies however it dies (the parent-death signal), it reads each page's
counts, prints one line

  watchers: N browsers over S s, live pictures L (failed F, ...), events E (health H, live V, recordings R); ...

quits the browsers and kills what is left of its group. Everything stays on 127.0.0.1.
Needs the Debian packages chromium, chromium-driver and python3-selenium.
"""

import argparse
import ctypes
import os
import signal
import sys
import time

sys.dont_write_bytecode = True  # nothing written into the source tree
sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "tests", "web"))
import quillmar_web as qw  # noqa: E402

# Counts kept by the page itself, installed before its own script runs: the events its
# EventSource handles, the live pictures that loaded or failed, and their bytes.
COUNTER = r"""
(() => {
  const c = window.__qmCounts = {events: {}, live: 0, failed: 0, failedLater: 0, bytes: 0};
  const Original = window.EventSource;
  window.EventSource = function (url, init) {
    const source = new Original(url, init);
    const add = source.addEventListener.bind(source);
    source.addEventListener = (name, handle, options) =>
      add(name, (e) => { c.events[name] = (c.events[name] || 0) + 1; handle(e); }, options);
    return source;
  };
  window.EventSource.prototype = Original.prototype;
  const isLive = (t) => t && t.id === 'live';
  document.addEventListener('load', (e) => { if (isLive(e.target)) ++c.live; }, true);
  // Before the first picture a failure is the page waiting for the capture to start.
  document.addEventListener('error', (e) => {
    if (isLive(e.target)) { ++c.failed; if (c.live > 0) ++c.failedLater; }
  }, true);
  new PerformanceObserver((list) => {
    for (const e of list.getEntries())
      if (new URL(e.name).pathname === '/live.jpg') c.bytes += e.encodedBodySize || 0;
  }).observe({type: 'resource', buffered: true});
})();
"""

TICKS = os.sysconf("SC_CLK_TCK")


class Stop(Exception):
    pass


def on_signal(signum, frame):
    raise Stop()


def die_with_parent():
    # PR_SET_PDEATHSIG: bench_shift's end, even by Ctrl-C or kill -9, ends this helper too.
    libc = ctypes.CDLL(None, use_errno=True)
    libc.prctl(1, signal.SIGTERM, 0, 0, 0)


def browser(url, scratch):
    """The browser tests' headless Chromium, counting what its page receives."""
    driver = qw.browser(scratch)
    driver.set_page_load_timeout(60)
    driver.execute_cdp_cmd("Page.addScriptToEvaluateOnNewDocument", {"source": COUNTER})
    driver.get(url)
    return driver


def counts(driver):
    try:
        return driver.execute_script("return window.__qmCounts || null;")
    except Exception:  # a page that went away counts nothing more
        return None


def group_cpu_seconds():
    """Processor time of the live processes of this group (the browsers and their drivers)."""
    group, total = os.getpgrp(), 0.0
    for pid in os.listdir("/proc"):
        if not pid.isdigit():
            continue
        try:
            with open(f"/proc/{pid}/stat") as f:
                fields = f.read().rsplit(")", 1)[1].split()
        except OSError:
            continue
        if int(fields[2]) == group:  # pgrp (field 5)
            total += (int(fields[11]) + int(fields[12]) + int(fields[13]) + int(fields[14])) / TICKS
    return total


def renice_group(nice):
    group = os.getpgrp()
    for pid in os.listdir("/proc"):
        if not pid.isdigit():
            continue
        try:
            with open(f"/proc/{pid}/stat") as f:
                if int(f.read().rsplit(")", 1)[1].split()[2]) != group:
                    continue
            for tid in os.listdir(f"/proc/{pid}/task"):
                if os.getpriority(os.PRIO_PROCESS, int(tid)) < nice:
                    os.setpriority(os.PRIO_PROCESS, int(tid), nice)
        except (OSError, ValueError, IndexError):  # gone meanwhile
            continue


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--url", required=True)
    parser.add_argument("--browsers", type=int, default=4)
    parser.add_argument("--scratch", default=None)
    parser.add_argument("--nice", type=int, default=0)
    args = parser.parse_args()
    if not 1 <= args.browsers <= 32:
        raise SystemExit("shift_web_watchers: --browsers takes 1 to 32")
    if not 0 <= args.nice <= 19:
        raise SystemExit("shift_web_watchers: --nice takes 0 to 19")
    if not args.url.startswith("http://127.0.0.1:"):
        raise SystemExit("shift_web_watchers: only a loopback address is watched")

    die_with_parent()
    signal.signal(signal.SIGTERM, on_signal)
    signal.signal(signal.SIGINT, on_signal)
    if os.getppid() == 1:  # the parent died before the signal was asked for
        return

    if args.nice:
        os.nice(args.nice)  # the drivers and browsers inherit it
    browsers, started = [], time.monotonic()
    watch_start = cpu_start = None
    try:
        for _ in range(args.browsers):
            browsers.append(browser(args.url, args.scratch))
        print(f"watching {len(browsers)}", flush=True)
        cpu_start, watch_start = group_cpu_seconds(), time.monotonic()
        while True:
            if args.nice:
                renice_group(args.nice)
            time.sleep(1 if args.nice else 3600)
    except Stop:
        pass
    except Exception as e:  # a browser that would not start: said, then the group goes
        print(f"shift_web_watchers: {type(e).__name__}: {e}", file=sys.stderr, flush=True)
    finally:
        signal.signal(signal.SIGTERM, signal.SIG_IGN)
        signal.signal(signal.SIGINT, signal.SIG_IGN)
        if len(browsers) == args.browsers and watch_start is not None:
            seconds = time.monotonic() - watch_start
            cpu = group_cpu_seconds() - cpu_start
            live = failed = failed_later = size = 0
            events = {}
            for b in browsers:
                c = counts(b) or {}
                live += c.get("live", 0)
                failed += c.get("failed", 0)
                failed_later += c.get("failedLater", 0)
                size += c.get("bytes", 0)
                for name, n in (c.get("events") or {}).items():
                    events[name] = events.get(name, 0) + n
            kinds = ", ".join(f"{name} {events.get(name, 0)}" for name in ("health", "live", "recordings"))
            per_browser = live / max(seconds, 1) / len(browsers)
            print(f"watchers: {len(browsers)} browsers over {seconds:.0f} s, live pictures {live} "
                  f"(failed {failed}, {failed_later} of them after the first picture; {size / 1e6:.0f} MB; "
                  f"{per_browser:.2f} a second per browser), events {sum(events.values())} ({kinds}); browsers' processor time "
                  f"{cpu:.0f} s ({100 * cpu / max(seconds, 1):.0f} % of a core)", flush=True)
        else:
            print(f"watchers: only {len(browsers)} of {args.browsers} browsers started in "
                  f"{time.monotonic() - started:.0f} s", flush=True)
        for b in browsers:
            try:
                b.quit()
            except Exception:
                pass
        # Whatever a browser left behind in this group goes with it (this helper included).
        sys.stdout.flush()
        if os.getpgrp() == os.getpid():
            os.killpg(os.getpid(), signal.SIGKILL)


if __name__ == "__main__":
    main()
