#!/usr/bin/python3
"""Stored frames over HTTP on loopback: the recorder's browser service against Debian's nginx
serving the same bytes as static files, side by side with wrk.

The recorder (build/app/quillmar with the simulated under-car camera at 1920 x 1200, whose
frames weigh 300-500 KB as real ones do) records about --frames frames and stops; every frame
is then fetched once from it and written under a scratch folder at the same path, which an
nginx started here serves (its own configuration, a loopback port, this user, stopped at
the end). wrk asks both for /recordings/<folder>/frames/<count>.jpg over a rotating set of
counts, with 1 connection (-t1 -c1) and with 8 (-t2 -c8), --seconds each, --rounds times
in turn, and prints requests per second for both and the recorder's share of nginx's (goal:
at least 0.8), with the latency of each server's last run.

usage: bench/web_frames.py [--build DIR] [--frames N] [--seconds S] [--rounds R]
Needs the Debian packages nginx-light (or nginx), wrk and xvfb (scripts/install-deps.sh).
"""

import argparse
import os
import pwd
import re
import shutil
import socket
import subprocess
import sys
import tempfile

sys.dont_write_bytecode = True  # nothing written into the source tree
sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "tests", "web"))
import quillmar_web as qw  # noqa: E402


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def nginx_config(root, scratch, port):
    # Workers run as whoever runs this (as root nginx would otherwise switch to "nobody",
    # which cannot read the scratch folder). Logs, pid and temporary files stay in the scratch.
    user = f"user {pwd.getpwuid(os.geteuid()).pw_name};\n" if os.geteuid() == 0 else ""
    temp = "".join(f"  {kind}_temp_path {scratch}/{kind};\n"
                   for kind in ("client_body", "proxy", "fastcgi", "uwsgi", "scgi"))
    return f"""{user}worker_processes auto;
daemon off;
pid {scratch}/nginx.pid;
error_log {scratch}/error.log warn;
events {{ worker_connections 256; }}
http {{
  access_log off;
  sendfile on;
  tcp_nopush on;
  keepalive_requests 1000000;
  types {{ image/jpeg jpg; }}
  default_type application/octet-stream;
{temp}  server {{
    listen 127.0.0.1:{port};
    root {root};
    location / {{ add_header Cache-Control "public, max-age=31536000, immutable"; }}
  }}
}}
"""


class nginx:
    def __init__(self, root, scratch):
        self.port = free_port()
        conf = os.path.join(scratch, "nginx.conf")
        with open(conf, "w") as f:
            f.write(nginx_config(root, scratch, self.port))
        binary = shutil.which("nginx") or "/usr/sbin/nginx"
        self.proc = qw.start([binary, "-p", scratch, "-c", conf, "-e", os.path.join(scratch, "error.log")],
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        qw.wait_until(lambda: self._up(), 10, "nginx answers")

    def _up(self):
        if self.proc.poll() is not None:
            raise AssertionError(f"nginx ended ({self.proc.returncode})")
        try:
            with socket.create_connection(("127.0.0.1", self.port), timeout=1):
                return True
        except OSError:
            return False

    def close(self):
        # SIGTERM is nginx's fast shutdown: the master stops its workers and ends.
        qw.end_process(self.proc, 10)


def lua_script(path, prefix, counts):
    with open(path, "w") as f:
        f.write("-- A rotating set of stored frames; each thread starts at another place.\n")
        f.write("local counts = {" + ",".join(str(c) for c in counts) + "}\n")
        f.write(f'local prefix = "{prefix}"\n')
        f.write("local n = 0\n")
        f.write("local threads = 0\n")
        f.write("function setup(thread) threads = threads + 1; thread:set('start', threads * 7) end\n")
        f.write("function init(args) n = start or 0 end\n")
        f.write("function request()\n  n = n + 1\n"
                "  return wrk.format('GET', prefix .. counts[(n % #counts) + 1] .. '.jpg')\nend\n")


TICKS = os.sysconf("SC_CLK_TCK")


def cpu_seconds(pids):
    total = 0
    for pid in pids:
        with open(f"/proc/{pid}/stat") as f:
            fields = f.read().rsplit(")", 1)[1].split()
        total += int(fields[11]) + int(fields[12])  # utime, stime
    return total / TICKS


def with_children(pid):
    """The process and its children (nginx's workers)."""
    pids = [pid]
    for task in os.listdir(f"/proc/{pid}/task"):
        with open(f"/proc/{pid}/task/{task}/children") as f:
            pids += [int(c) for c in f.read().split()]
    return pids


def run_wrk(url, script, threads, connections, seconds, pids):
    """One wrk run: (requests/s, p50, p99, server processor time per request in µs)."""
    before = cpu_seconds(pids)
    out = subprocess.run(["wrk", f"-t{threads}", f"-c{connections}", f"-d{seconds}s", "--latency", "-s", script, url],
                         capture_output=True, text=True, timeout=seconds + 60).stdout
    used = cpu_seconds(pids) - before
    rate = re.search(r"Requests/sec:\s+([\d.]+)", out)
    requests = re.search(r"(\d+) requests in", out)
    if not rate or not requests:
        raise AssertionError(f"wrk printed no rate:\n{out}")
    bad = re.search(r"Non-2xx or 3xx responses:\s+(\d+)", out)
    errors = re.search(r"Socket errors: (.*)", out)
    if bad or errors:
        raise AssertionError(f"wrk against {url}: {bad.group(0) if bad else ''} {errors.group(0) if errors else ''}")
    p50 = re.search(r"\s50%\s+(\S+)", out)
    p99 = re.search(r"\s99%\s+(\S+)", out)
    return (float(rate.group(1)), p50.group(1) if p50 else "?", p99.group(1) if p99 else "?",
            1e6 * used / max(1, int(requests.group(1))))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--build", default=os.environ.get("QUILLMAR_BUILD_DIR", qw.BUILD_DIR))
    parser.add_argument("--frames", type=int, default=120)
    parser.add_argument("--seconds", type=int, default=10)
    parser.add_argument("--rounds", type=int, default=2)
    args = parser.parse_args()
    qw.BUILD_DIR = os.path.abspath(args.build)
    for tool in ("wrk", "Xvfb"):
        if not shutil.which(tool):
            sys.exit(f"{tool} is missing (scripts/install-deps.sh)")

    scratch = tempfile.mkdtemp(prefix="qm-web-bench-")
    server = None
    try:
        with qw.recorder(size="1920x1200", scratch=scratch) as rec:
            entry = rec.make_recording(frames=args.frames, timeout=120)
            folder = entry["folder"]
            counts = rec.frame_counts(folder)
            root = os.path.join(scratch, "root")
            frames_dir = os.path.join(root, "recordings", folder, "frames")
            os.makedirs(frames_dir)
            total = 0
            for c in counts:
                answer = rec.get(f"/recordings/{qw.folder_path(folder)}/frames/{c}.jpg")
                if answer.status != 200:
                    raise AssertionError(f"frame {c}: {answer.status}")
                with open(os.path.join(frames_dir, f"{c}.jpg"), "wb") as f:
                    f.write(answer.body)
                total += len(answer.body)
            print(f"frames: {len(counts)} stored frames of 1920 x 1200, {total / len(counts) / 1024:.0f} KiB on average")

            server = nginx(root, scratch)
            prefix = f"/recordings/{qw.folder_path(folder)}/frames/"
            script = os.path.join(scratch, "frames.lua")
            lua_script(script, prefix, counts)
            sample = qw.http("GET", f"http://127.0.0.1:{server.port}{prefix}{counts[0]}.jpg")
            with open(os.path.join(frames_dir, f"{counts[0]}.jpg"), "rb") as f:
                if sample.status != 200 or sample.body != f.read():
                    raise AssertionError(f"nginx does not serve the frames: {sample.status}")

            print(f"{'load':<10}{'recorder req/s':>15}{'nginx req/s':>13}{'ratio':>7}"
                  f"{'CPU µs/req':>20}   latency p50/p99 of the last run")
            print(f"{'':<10}{'':>15}{'':>13}{'':>7}{'recorder | nginx':>20}   recorder | nginx")
            servers = {"recorder": (rec.base, [rec.proc.pid]),
                       "nginx": (f"http://127.0.0.1:{server.port}", with_children(server.proc.pid))}
            ratios = []
            for threads, connections in ((1, 1), (2, 8)):
                # Interleaved (A B B A ...), so that a neighbour's load drifting over the run
                # weighs on both alike; the figures are the means of the rounds.
                runs = {"recorder": [], "nginx": []}
                for round in range(args.rounds):
                    for who in (("recorder", "nginx") if round % 2 == 0 else ("nginx", "recorder")):
                        url, pids = servers[who]
                        runs[who].append(run_wrk(url, script, threads, connections, args.seconds, pids))
                mean = {who: (sum(r[0] for r in runs[who]) / len(runs[who]),
                              sum(r[3] for r in runs[who]) / len(runs[who])) for who in runs}
                ratio = mean["recorder"][0] / mean["nginx"][0]
                ratios.append(ratio)
                rounds = " ".join(f"{a[0]:.0f}/{b[0]:.0f}" for a, b in zip(runs["recorder"], runs["nginx"]))
                print(f"{f'-t{threads} -c{connections}':<10}{mean['recorder'][0]:>15.0f}{mean['nginx'][0]:>13.0f}"
                      f"{ratio:>7.2f}{mean['recorder'][1]:>11.0f} | {mean['nginx'][1]:<6.0f}   "
                      f"{runs['recorder'][-1][1]}/{runs['recorder'][-1][2]} | "
                      f"{runs['nginx'][-1][1]}/{runs['nginx'][-1][2]}   (rounds: {rounds})")
            print(f"goal: ratio >= 0.8: {'met' if min(ratios) >= 0.8 else 'NOT met'}")
    finally:
        if server:
            server.close()
        shutil.rmtree(scratch, ignore_errors=True)


if __name__ == "__main__":
    main()
