"""The real recorder with its browser service, for the browser tests and the web benchmarks.

A `recorder` runs build/app/quillmar as a child process in a scratch HOME: the simulated
camera on a private Xvfb display of its own (so it never covers the shared test display), an
odometer simulator on a pseudo-terminal, optionally a coordinate server simulator naming the
session, discovery and every service on ports the system chooses, the browser service on
127.0.0.1 with a random control token. It is a context manager: leaving it terminates and
reaps every process it started (they also die with this process) and removes the scratch
folder. Everything it sends goes to 127.0.0.1. One thread uses it.

`browser()` is a headless Chromium driven by chromedriver through selenium, at 1366 x 768,
with its background networking off.

Errors: a step that does not happen in its time raises AssertionError naming the step and,
for the recorder, the tail of its output.
"""

import json
import os
import re
import secrets
import select
import shutil
import signal
import subprocess
import tempfile
import time
import unittest
import urllib.error
import urllib.parse
import urllib.request

SOURCE_DIR = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
BUILD_DIR = os.environ.get("QUILLMAR_BUILD_DIR") or os.path.join(SOURCE_DIR, "build")

WIDTH, HEIGHT = 1366, 768


def program(relative):
    path = os.path.join(BUILD_DIR, relative)
    if not os.access(path, os.X_OK):
        raise AssertionError(f"{path} is not built (QUILLMAR_BUILD_DIR={BUILD_DIR})")
    return path


def wait_until(done, timeout, what, interval=0.05):
    """Calls done() until it returns something true, and returns that; raises after timeout."""
    end = time.monotonic() + timeout
    while True:
        value = done()
        if value:
            return value
        if time.monotonic() >= end:
            raise AssertionError(f"not within {timeout} s: {what}")
        time.sleep(interval)


def read_line(stream, timeout):
    """One line of a child's pipe, or None when nothing came within timeout."""
    end = time.monotonic() + timeout
    data = b""
    fd = stream.fileno()
    while not data.endswith(b"\n"):
        left = end - time.monotonic()
        if left <= 0 or not select.select([fd], [], [], left)[0]:
            return None
        chunk = os.read(fd, 1)
        if not chunk:
            return None
        data += chunk
    return data.decode("utf-8", "replace").rstrip("\n")


def _die_with_parent():
    # Should this process be killed (a test runner's time-out), its children go too.
    import ctypes
    PR_SET_PDEATHSIG = 1
    ctypes.CDLL(None, use_errno=True).prctl(PR_SET_PDEATHSIG, signal.SIGTERM)


def start(args, **kwargs):
    """subprocess.Popen for a child that ends when this process does."""
    return subprocess.Popen(args, preexec_fn=_die_with_parent, **kwargs)


def end_process(proc, grace=20):
    """SIGTERM, then SIGKILL after `grace` seconds; always reaps."""
    if proc is None:
        return
    if proc.poll() is None:
        proc.send_signal(signal.SIGTERM)
        try:
            proc.wait(grace)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()
    if proc.stdout:
        proc.stdout.close()


class private_display:
    """An Xvfb server of our own; the display number is the one it picked (-displayfd)."""

    def __init__(self, size="1366x768x24"):
        read_end, write_end = os.pipe()
        self.proc = start(
            ["Xvfb", "-displayfd", str(write_end), "-screen", "0", size, "-nolisten", "tcp"],
            pass_fds=(write_end,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(write_end)
        with os.fdopen(read_end, "rb", buffering=0) as pipe:
            number = read_line(pipe, 20)
        if not number or not number.strip().isdigit():
            end_process(self.proc)
            raise AssertionError("Xvfb did not start")
        self.name = ":" + number.strip()

    def close(self):
        end_process(self.proc, 5)


class http_answer:
    def __init__(self, status, headers, body):
        self.status, self.headers, self.body = status, headers, body

    def json(self):
        return json.loads(self.body.decode("utf-8"))


# No proxy from the environment: every request stays on loopback.
_opener = urllib.request.build_opener(urllib.request.ProxyHandler({}))


def http(method, url, headers=None, timeout=10):
    """One request; any status (also 4xx/5xx) comes back as an http_answer."""
    request = urllib.request.Request(url, method=method, headers=headers or {},
                                     data=b"" if method == "POST" else None)
    try:
        with _opener.open(request, timeout=timeout) as r:
            return http_answer(r.status, r.headers, r.read())
    except urllib.error.HTTPError as e:
        return http_answer(e.code, e.headers, e.read())


def folder_path(folder):
    """The URL path segment of a recording's folder name (UTF-8, percent-encoded)."""
    return urllib.parse.quote(folder, safe="")


class recorder:
    """The real program in a scratch HOME, with the odometer simulator feeding it."""

    def __init__(self, scene="undercar", size="960x600", odometer_rate=50, settings=None, scratch=None,
                 session=None, home=None):
        """session: (first, second) texts a coordinate server answers with, which name the
        session ("first : second"); None leaves the coordinate server off.
        home: a HOME an earlier recorder left (kept: the caller removes it); None: a new one."""
        self.token = secrets.token_hex(16)
        self._session = session
        self._scene, self._size, self._rate = scene, size, odometer_rate
        self._extra = settings or {}
        self._scratch_parent = scratch
        self.proc = self.odometer = self.coordinates = self.display = None
        self.home = home
        self._own_home = home is None

    # -- lifetime ---------------------------------------------------------------------------
    def __enter__(self):
        try:
            self._start()
        except BaseException:
            self.close()
            raise
        return self

    def __exit__(self, *exc):
        self.close()

    def _start(self):
        if self._own_home:
            self.home = tempfile.mkdtemp(prefix="qm-web-", dir=self._scratch_parent)
        self.records = os.path.join(self.home, "records")
        os.makedirs(self.records, exist_ok=True)
        os.makedirs(os.path.join(self.home, "Velkor3", "config"), exist_ok=True)
        logs = os.path.join(self.home, "Velkor3", "log")
        self._earlier_logs = set(os.listdir(logs)) if os.path.isdir(logs) else set()

        self.odometer = start(
            [program("tools/quillmar-odometer-sim"), "--rate", str(self._rate), "--track", "off"],
            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        device = read_line(self.odometer.stdout, 10)
        if not device or not device.startswith("/dev/"):
            raise AssertionError(f"the odometer simulator gave no device: {device!r}")

        coordinates = {"coordinate_server_enabled": "0"}
        if self._session:
            self.coordinates = start(
                [program("tools/quillmar-coordserver-sim"), "--first", self._session[0], "--second", self._session[1]],
                stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
            port = read_line(self.coordinates.stdout, 10)
            if not port or not port.isdigit():
                raise AssertionError(f"the coordinate server simulator gave no port: {port!r}")
            coordinates = {"coordinate_server_enabled": "1", "coordinate_server_address": "127.0.0.1",
                           "coordinate_server_port": port, "coordinate_server_query_period": "1"}

        settings = {
            "write_path": self.records,
            "dpp_port": device,
            "data_service_port": "0",
            "rc_service_port": "0",
            "web_service_address": "127.0.0.1",
            "web_control_token": self.token,
        }
        settings.update(coordinates)
        settings.update(self._extra)
        with open(os.path.join(self.home, "Velkor3", "config", ".quillmar"), "w", encoding="utf-8") as f:
            f.writelines(f"{k}={v}\n" for k, v in settings.items())

        self.display = private_display()
        env = dict(os.environ)
        env.update({
            "HOME": self.home,
            "DISPLAY": self.display.name,
            "LC_ALL": "C.UTF-8",
            "LANG": "C.UTF-8",
            "NO_AT_BRIDGE": "1",
            "GTK_A11Y": "none",
            "QUILLMAR_CAMERAS": "simulated",
            "QUILLMAR_SIMULATED_SCENE": self._scene,
            "QUILLMAR_SIMULATED_SIZE": self._size,
            "QUILLMAR_DISCOVERY_PORT": "0",
            "QUILLMAR_WEB_PORT": "0",
        })
        env.pop("WAYLAND_DISPLAY", None)
        env.pop("XAUTHORITY", None)
        self.output_path = os.path.join(self.home, "output.txt")
        with open(self.output_path, "wb") as out:
            self.proc = start([program("app/quillmar")], env=env, stdout=out, stderr=subprocess.STDOUT,
                              stdin=subprocess.DEVNULL)
        self.port = int(self._wait_for_log(r"Веб-сервис: http://[^\s<]+:(\d+)/", 60))
        # The last start-up row: the window is there and takes commands.
        self._wait_for_log(r"Борт: ", 60)
        self.base = f"http://127.0.0.1:{self.port}"

    def close(self):
        end_process(self.proc)
        end_process(self.odometer, 5)
        end_process(self.coordinates, 5)
        if self.display:
            self.display.close()
        if self._own_home and self.home and not os.environ.get("QUILLMAR_KEEP_WEB_HOME"):
            shutil.rmtree(self.home, ignore_errors=True)

    # -- what the program says --------------------------------------------------------------
    def log_text(self):
        """The log rows this run wrote (not an earlier run's in the same HOME), as HTML."""
        text = ""
        folder = os.path.join(self.home, "Velkor3", "log")
        if os.path.isdir(folder):
            for name in sorted(set(os.listdir(folder)) - self._earlier_logs):
                with open(os.path.join(folder, name), encoding="utf-8", errors="replace") as f:
                    text += f.read()
        return text

    def output_tail(self, lines=30):
        try:
            with open(self.output_path, encoding="utf-8", errors="replace") as f:
                return "".join(f.readlines()[-lines:])
        except OSError:
            return ""

    def _wait_for_log(self, pattern, timeout):
        def found():
            if self.proc.poll() is not None:
                raise AssertionError(f"the recorder ended ({self.proc.returncode}):\n{self.output_tail()}")
            m = re.search(pattern, self.log_text())
            return m and (m.group(1) if m.groups() else True)
        try:
            return wait_until(found, timeout, f"the log row /{pattern}/", 0.1)
        except AssertionError as e:
            raise AssertionError(f"{e}\nlog rows: {self.log_rows()[-10:]}\noutput:\n{self.output_tail()}") from None

    def log_rows(self):
        return [re.sub(r"<[^>]+>", "", m) for m in
                re.findall(r"<td> <font color='(?:red|blue)'>(.*?)</font></td>", self.log_text())]

    # -- HTTP -------------------------------------------------------------------------------
    def url(self, path):
        return self.base + path

    def get(self, path, headers=None, method="GET"):
        return http(method, self.url(path), headers)

    def get_json(self, path):
        answer = self.get(path)
        if answer.status != 200:
            raise AssertionError(f"GET {path}: {answer.status} {answer.body[:200]!r}")
        return answer.json()

    def command(self, name, token=None):
        """POST /api/<name> with the control token (or the one given)."""
        return http("POST", self.url("/api/" + name), {"X-Quillmar-Token": self.token if token is None else token})

    def health(self):
        return self.get_json("/api/health")

    def recordings(self):
        return self.get_json("/api/recordings")

    def frame_counts(self, folder):
        return self.get_json(f"/api/recordings/{folder_path(folder)}/frames")["counts"]

    def start_recording(self):
        answer = self.command("record/start")
        if not 200 <= answer.status < 300:
            raise AssertionError(f"POST /api/record/start: {answer.status} {answer.body[:200]!r}")
        wait_until(lambda: self.health().get("recording"), 20, "/api/health says recording", 0.2)

    def stop_recording(self):
        answer = self.command("record/stop")
        if not 200 <= answer.status < 300:
            raise AssertionError(f"POST /api/record/stop: {answer.status} {answer.body[:200]!r}")
        wait_until(lambda: not self.health().get("recording"), 20, "/api/health says not recording", 0.2)

    def frames_stored(self):
        return int(self.health()["frames_stored"])

    def wait_for_frames(self, at_least, timeout=30):
        """Waits while recording until at_least more frames were stored than when called."""
        first = self.frames_stored()
        wait_until(lambda: self.frames_stored() - first >= at_least, timeout,
                   f"{at_least} more frames stored", 0.1)

    def make_recording(self, frames=30, timeout=60):
        """Records until `frames` more frames are stored, stops, and returns the new list entry."""
        before = {r["folder"] for r in self.recordings()}
        named = "Начат новый сеанс (код: "
        sessions = self.log_text().count(named)
        self.start_recording()
        self.wait_for_frames(frames, timeout)
        if self._session:
            # Each recording asks the coordinate server anew; stopped before the answer, it
            # would close without a code.
            wait_until(lambda: self.log_text().count(named) > sessions, 20, "the coordinate server's session code", 0.1)
        self.stop_recording()
        new = wait_until(lambda: [r for r in self.recordings() if r["folder"] not in before], 20,
                         "the closed recording in /api/recordings", 0.2)
        if len(new) != 1:
            raise AssertionError(f"one recording made, {len(new)} new in the list: {new}")
        return new[0]


def stored_counts(database):
    """The frame keys' counts of a closed recording, read from a copy by an independent
    LevelDB binding (python3-plyvel), so the recorder's own readers keep their locks."""
    import plyvel
    copy = tempfile.mkdtemp(prefix="qm-web-copy-")
    try:
        shutil.copytree(database, os.path.join(copy, "db"))
        db = plyvel.DB(os.path.join(copy, "db"))
        try:
            frames = {}
            for key, value in db:
                if len(key) == 10 and key.isdigit():
                    frames[int(key)] = value
            return frames
        finally:
            db.close()
    finally:
        shutil.rmtree(copy, ignore_errors=True)


def chromium_binary():
    # The Debian wrapper script only adds desktop flags; the real binary avoids its shell.
    for path in ("/usr/lib/chromium/chromium", "/usr/bin/chromium"):
        if os.access(path, os.X_OK):
            return path
    raise AssertionError("chromium is not installed (scripts/install-deps.sh)")


def browser(scratch=None):
    """A headless Chromium at 1366 x 768; quit() it when done."""
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service

    options = webdriver.ChromeOptions()
    options.binary_location = chromium_binary()
    profile = tempfile.mkdtemp(prefix="qm-web-chromium-", dir=scratch)
    for flag in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                 f"--window-size={WIDTH},{HEIGHT}", "--hide-scrollbars", "--no-proxy-server",
                 "--no-first-run", "--no-default-browser-check", "--disable-extensions",
                 "--disable-background-networking", "--disable-component-update", "--disable-sync",
                 "--disable-default-apps", "--disable-domain-reliability", "--no-pings",
                 "--metrics-recording-only", "--lang=ru", f"--user-data-dir={profile}"):
        options.add_argument(flag)
    try:
        driver = webdriver.Chrome(service=Service(executable_path="/usr/bin/chromedriver"), options=options)
    except BaseException:
        shutil.rmtree(profile, ignore_errors=True)
        raise
    quit = driver.quit

    def quit_and_clean():
        try:
            quit()
        finally:
            shutil.rmtree(profile, ignore_errors=True)
    driver.quit = quit_and_clean
    try:
        driver.set_page_load_timeout(30)
        driver.set_script_timeout(30)
        # The viewport itself is 1366 x 768, whatever the window decorations of this build.
        driver.execute_cdp_cmd("Emulation.setDeviceMetricsOverride",
                               {"width": WIDTH, "height": HEIGHT, "deviceScaleFactor": 1, "mobile": False})
    except BaseException:
        driver.quit()
        raise
    return driver


def png_size(data):
    if data[:8] != b"\x89PNG\r\n\x1a\n":
        raise AssertionError("not a PNG")
    return int.from_bytes(data[16:20], "big"), int.from_bytes(data[20:24], "big")


def screenshot(driver, name):
    """Writes docs/<name> from the browser's viewport when QUILLMAR_WEB_SCREENSHOTS=1."""
    if os.environ.get("QUILLMAR_WEB_SCREENSHOTS") != "1":
        return None
    data = driver.get_screenshot_as_png()
    if png_size(data) != (WIDTH, HEIGHT):
        raise AssertionError(f"screenshot {png_size(data)}, not {WIDTH} x {HEIGHT}")
    path = os.path.join(SOURCE_DIR, "docs", name)
    with open(path, "wb") as f:
        f.write(data)
    return path


def time_limit(seconds):
    """Ends the test with an error after `seconds`; the context managers still clean up."""
    def expired(signum, frame):
        raise TimeoutError(f"the test ran over {seconds} s")
    signal.signal(signal.SIGALRM, expired)
    signal.alarm(seconds)


class browser_case(unittest.TestCase):
    """A recorder and a browser shared by a test class: recorder_options() says how the
    recorder runs, prepare() makes what the tests need before the browser opens."""

    @classmethod
    def recorder_options(cls):
        return {}

    @classmethod
    def prepare(cls):
        pass

    @classmethod
    def setUpClass(cls):
        cls.rec = recorder(**cls.recorder_options()).__enter__()
        try:
            cls.prepare()
            cls.browser = browser()
        except BaseException:
            cls.rec.close()
            raise

    @classmethod
    def tearDownClass(cls):
        try:
            cls.browser.quit()
        finally:
            cls.rec.close()
