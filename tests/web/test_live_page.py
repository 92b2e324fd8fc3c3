#!/usr/bin/python3
"""The live page (/) in a browser while the simulated camera records: the lamp, the strip's
cells, the growing frame count and the live picture; and who may start and stop recording."""

import http.client
import json
import os
import sys
import time
import unittest

sys.dont_write_bytecode = True  # nothing written into the source tree
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import quillmar_web as qw  # noqa: E402

from selenium.webdriver.common.by import By  # noqa: E402


class live_page(qw.browser_case):
    @classmethod
    def recorder_options(cls):
        # A coordinate server names the session, as on a train.
        return {"session": ("77", "ab")}

    def text(self, css):
        found = self.browser.find_elements(By.CSS_SELECTOR, css)
        return found[0].text.strip() if found else None

    def live_image(self):
        return self.browser.execute_script("""
            const img = document.getElementById('live');
            return img && img.complete && img.naturalWidth > 0;""")

    def test_while_recording_the_lamp_says_so_and_the_frame_count_grows(self):
        self.browser.get(self.rec.url("/"))
        self.assertNotEqual(self.text("#lamp"), "ЗАПИСЬ")
        # A reload would lose this: the page follows the recorder by itself.
        self.browser.execute_script("window.qmStillTheSamePage = true;")
        self.rec.start_recording()
        try:
            qw.wait_until(lambda: self.text("#lamp") == "ЗАПИСЬ", 10, "the lamp says ЗАПИСЬ")
            health = self.rec.health()
            self.assertEqual(health["lamp"], "ЗАПИСЬ")
            self.assertIn(health["lamp_level"],
                          self.browser.find_element(By.ID, "lamp").get_attribute("class").split())

            first = qw.wait_until(lambda: (self.text("#frames-stored") or "").isdigit() and self.text("#frames-stored"),
                                  5, "#frames-stored holds a number")
            qw.wait_until(lambda: int(self.text("#frames-stored")) > int(first), 2,
                          f"#frames-stored grows from {first} within 2 s")

            cells = self.browser.find_elements(By.CSS_SELECTOR, "#cells .cell")
            self.assertEqual(len(cells), len(self.rec.health()["cells"]))
            labels = [c.find_element(By.CSS_SELECTOR, ".label").text.strip() for c in cells]
            self.assertEqual(labels, [c["label"] for c in self.rec.health()["cells"]])

            # The live picture is there, and is fetched anew (a few times a second).
            qw.wait_until(self.live_image, 10, "a live picture")
            self.browser.execute_script("performance.clearResourceTimings();")
            fetched = ("return performance.getEntriesByType('resource')"
                       ".filter(e => new URL(e.name).pathname === '/live.jpg').length;")
            qw.wait_until(lambda: self.browser.execute_script(fetched) >= 2, 5, "/live.jpg fetched twice more")
            live = self.rec.get("/live.jpg")
            self.assertEqual((live.status, live.body[:2]), (200, b"\xff\xd8"))
            self.assertIn("no-store", live.headers.get("Cache-Control", ""))
            values = "return Array.from(document.querySelectorAll('#cells .cell .value'), v => v.textContent.trim());"
            qw.wait_until(lambda: "77 : ab" in self.browser.execute_script(values), 10, "the session code in the strip")
            qw.screenshot(self.browser, "web-live-1366x768.png")
        finally:
            self.rec.stop_recording()
        qw.wait_until(lambda: self.text("#lamp") != "ЗАПИСЬ", 10, "the lamp leaves ЗАПИСЬ after the stop")
        self.assertTrue(self.browser.execute_script("return window.qmStillTheSamePage === true;"))

    def test_the_event_stream_brings_the_strip_every_2_s_and_news_of_watched_live_frames(self):
        answer = self.rec.command("capture/start")
        self.assertTrue(200 <= answer.status < 300, answer.status)
        try:
            conn = http.client.HTTPConnection("127.0.0.1", self.rec.port, timeout=5)
            conn.request("GET", "/api/events", headers={"Accept": "text/event-stream"})
            stream = conn.getresponse()
            self.assertEqual(stream.status, 200)
            self.assertEqual(stream.getheader("Content-Type", "").split(";")[0], "text/event-stream")
            # Live frames are made only for someone watching: ask for one, then one per news.
            self.rec.get("/live.jpg")
            events, kind, data, pictures = [], None, [], []
            end = time.monotonic() + 6
            while time.monotonic() < end:
                line = stream.fp.readline().decode("utf-8").rstrip("\r\n")
                if line.startswith("event:"):
                    kind = line[6:].strip()
                elif line.startswith("data:"):
                    data.append(line[5:].strip())
                elif not line and kind:
                    events.append((time.monotonic(), kind, "\n".join(data)))
                    if kind == "live":
                        pictures.append(self.rec.get("/live.jpg"))
                    kind, data = None, []
            conn.close()
        finally:
            self.rec.stop_recording()

        health = [(t, json.loads(d)) for t, k, d in events if k == "health"]
        self.assertGreaterEqual(len(health), 3)
        self.assertLessEqual(len(health), 6 * 5, "more than a few a second")
        gaps = [b[0] - a[0] for a, b in zip(health, health[1:])]
        self.assertLessEqual(max(gaps), 2.5, "a health event at least every 2 s")
        self.assertEqual(health[-1][1]["lamp"], "ЗАХВАТ")
        live = [int(d) for t, k, d in events if k == "live"]
        self.assertGreaterEqual(len(live), 3, "live frames announced while capturing")
        self.assertEqual(live, sorted(set(live)), "live sequence numbers grow")
        self.assertEqual({(p.status, p.body[:2]) for p in pictures}, {(200, b"\xff\xd8")})

    def test_commands_need_the_token_in_its_header(self):
        cases = [  # (token header or None, expected statuses)
            (None, {403}),
            ("", {403}),
            ("wrong", {403}),
            (self.rec.token[:-1], {403}),
            (self.rec.token + "0", {403}),
        ]
        for token, expected in cases:
            headers = {} if token is None else {"X-Quillmar-Token": token}
            with self.subTest(token=token):
                answer = qw.http("POST", self.rec.url("/api/record/start"), headers)
                self.assertIn(answer.status, expected)
        # Nor in the address.
        answer = qw.http("POST", self.rec.url("/api/record/start?token=" + self.rec.token))
        self.assertEqual(answer.status, 403)
        self.assertFalse(self.rec.health()["recording"])
        self.assertNotIn(self.rec.token, self.rec.log_text(), "the token reached the log")


class without_a_token(unittest.TestCase):
    def test_the_service_only_shows_and_takes_no_command(self):
        with qw.recorder(settings={"web_control_token": ""}) as rec:
            for command in ("record/start", "record/stop", "capture/start"):
                for token in ("", "anything"):
                    with self.subTest(command=command, token=token):
                        self.assertIn(rec.command(command, token=token).status, (404, 405))
            self.assertFalse(rec.health()["recording"])
            self.assertEqual(rec.get("/").status, 200)
            self.assertNotIn("Веб-команда", rec.log_text())


if __name__ == "__main__":
    qw.time_limit(110)
    unittest.main(verbosity=2)
