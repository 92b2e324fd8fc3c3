#!/usr/bin/python3
"""A recording's page (/recordings/<folder>) in a browser: the frame and its ruler, moving by
keys and by a typed count, each step checked against the frame keys an independent LevelDB
reader finds in the database; and the stored frames' addresses over plain HTTP."""

import os
import shutil
import sys
import tempfile
import unittest
import urllib.parse

sys.dont_write_bytecode = True  # nothing written into the source tree
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import quillmar_web as qw  # noqa: E402

from selenium.webdriver.common.action_chains import ActionChains  # noqa: E402
from selenium.webdriver.common.by import By  # noqa: E402
from selenium.webdriver.common.keys import Keys  # noqa: E402


class recording_page(qw.browser_case):
    @classmethod
    def recorder_options(cls):
        # Frames of the real size, so that "fit" and "1:1" differ in a 1366 x 768 window.
        return {"size": "1920x1200"}

    @classmethod
    def prepare(cls):
        cls.entry = cls.rec.make_recording(frames=30)
        cls.folder = cls.entry["folder"]
        cls.stored = qw.stored_counts(os.path.join(cls.rec.records, cls.folder))
        cls.counts = sorted(cls.stored)

    def frame_url(self, count):
        return f"/recordings/{qw.folder_path(self.folder)}/frames/{count}.jpg"

    def shown(self):
        """(count, caption) once the frame shown has loaded, else None."""
        return self.browser.execute_script("""
            const img = document.getElementById('frame');
            const caption = document.getElementById('caption');
            if (!img || !caption || !img.complete || img.naturalWidth === 0) return null;
            return [img.getAttribute('data-count'), caption.textContent.trim()];""")

    def expect_frame(self, index, how):
        count, n = self.counts[index], len(self.counts)
        want = [str(count), f"кадр {index + 1} из {n}"]
        try:
            qw.wait_until(lambda: self.shown() == want, 10, f"{how}: frame {count}")
        except AssertionError:
            self.fail(f"{how}: shows {self.shown()}, expected {want}")

    def open_page(self):
        self.browser.get(self.rec.url("/recordings/" + qw.folder_path(self.folder)))
        qw.wait_until(self.shown, 15, "a frame on the recording page")

    def press(self, *keys, shift=False):
        chain = ActionChains(self.browser)
        if shift:
            chain.key_down(Keys.SHIFT)
        for k in keys:
            chain.send_keys(k)
        if shift:
            chain.key_up(Keys.SHIFT)
        chain.perform()

    def test_the_api_lists_exactly_the_stored_frame_keys(self):
        self.assertGreaterEqual(len(self.counts), 25)
        self.assertEqual(self.rec.frame_counts(self.folder), self.counts)

    def test_keys_move_to_the_stored_frames(self):
        n = len(self.counts)
        self.open_page()
        self.browser.find_element(By.TAG_NAME, "body").click()
        steps = [  # (keys, shift, index expected after, what)
            ([Keys.HOME], False, 0, "Home"),
            ([Keys.ARROW_RIGHT], False, 1, "Right"),
            ([Keys.ARROW_RIGHT], True, 11, "Shift+Right"),
            ([Keys.ARROW_LEFT], False, 10, "Left"),
            ([Keys.ARROW_LEFT], True, 0, "Shift+Left"),
            ([Keys.ARROW_LEFT], False, 0, "Left on the first frame"),
            ([Keys.END], False, n - 1, "End"),
            ([Keys.ARROW_RIGHT], False, n - 1, "Right on the last frame"),
            ([Keys.ARROW_LEFT], True, n - 11, "Shift+Left from the end"),
            ([Keys.ARROW_RIGHT] * 3, False, n - 8, "Right three times"),
        ]
        for keys, shift, index, what in steps:
            self.press(*keys, shift=shift)
            self.expect_frame(index, what)

        # The page shows the stored bytes themselves, and offers them for download.
        download = self.browser.find_element(By.CSS_SELECTOR, "a#download")
        self.assertIsNotNone(download.get_attribute("download"))
        href = urllib.parse.urlsplit(download.get_attribute("href"))
        self.assertEqual(urllib.parse.unquote(href.path),
                         f"/recordings/{self.folder}/frames/{self.counts[n - 8]}.jpg")
        self.assertEqual(self.rec.get(href.path).body, self.stored[self.counts[n - 8]])

    def test_a_typed_count_shows_that_frame_or_the_nearest_stored_one(self):
        self.open_page()
        cases = [(self.counts[7], 7, "a stored count"),
                 (self.counts[-1] + 1000, len(self.counts) - 1, "beyond the last count")]
        if self.counts[0] > 0:
            cases.append((self.counts[0] - 1, 0, "before the first count"))
        gap = next((i for i in range(1, len(self.counts)) if self.counts[i] - self.counts[i - 1] >= 3), None)
        if gap is not None:
            cases.append((self.counts[gap] - 1, gap, "a count between two stored ones, nearer the later"))
            cases.append((self.counts[gap - 1] + 1, gap - 1, "a count between two stored ones, nearer the earlier"))
        for typed, index, what in cases:
            jump = self.browser.find_element(By.CSS_SELECTOR, "input#jump")
            jump.clear()
            jump.send_keys(str(typed), Keys.ENTER)
            self.expect_frame(index, f"{what} ({typed})")

    def test_the_ruler_lies_over_the_frame_and_the_zoom_buttons_change_its_size(self):
        self.open_page()
        box = self.browser.execute_script("""
            const r = document.getElementById('ruler'), f = document.getElementById('frame');
            if (!r) return null;
            const a = r.getBoundingClientRect(), b = f.getBoundingClientRect();
            let drawn = 0;
            if (r.tagName.toLowerCase() === 'canvas' && r.width > 0 && r.height > 0) {
                const d = r.getContext('2d').getImageData(0, 0, r.width, r.height).data;
                for (let i = 3; i < d.length; i += 4) if (d[i] > 0) ++drawn;
            } else {
                drawn = r.querySelectorAll('line, path, rect, polyline, text').length;
            }
            const overlap = Math.max(0, Math.min(a.right, b.right) - Math.max(a.left, b.left)) *
                            Math.max(0, Math.min(a.bottom, b.bottom) - Math.max(a.top, b.top));
            return {overlap: overlap, drawn: drawn, visible: getComputedStyle(r).display !== 'none'};""")
        self.assertIsNotNone(box, "no #ruler")
        self.assertTrue(box["visible"])
        self.assertGreater(box["overlap"], 0, "the ruler is not over the frame")
        self.assertGreater(box["drawn"], 0, "the ruler draws nothing")

        size = "const b = document.getElementById('frame').getBoundingClientRect(); return [b.width, b.height];"
        self.browser.find_element(By.CSS_SELECTOR, "button#actual").click()
        natural = self.browser.execute_script(
            "const f = document.getElementById('frame'); return [f.naturalWidth, f.naturalHeight];")
        qw.wait_until(lambda: [round(v) for v in self.browser.execute_script(size)] == natural, 5,
                      f"1:1 shows the frame at {natural}")
        self.browser.find_element(By.CSS_SELECTOR, "button#fit").click()
        qw.wait_until(lambda: (lambda w, h: 0 < w <= qw.WIDTH and 0 < h <= qw.HEIGHT)(*self.browser.execute_script(size)),
                      5, "fit shows the frame within the window")
        qw.screenshot(self.browser, "web-recording-1366x768.png")

    def test_a_stored_frame_is_served_as_stored_and_cached_for_good(self):
        count = self.counts[3]
        answer = self.rec.get(self.frame_url(count))
        self.assertEqual(answer.status, 200)
        self.assertEqual(answer.body, self.stored[count])
        self.assertEqual(answer.headers.get("Content-Type", "").split(";")[0], "image/jpeg")
        cache = answer.headers.get("Cache-Control", "")
        for directive in ("public", "max-age=31536000", "immutable"):
            self.assertIn(directive, cache)
        etag = answer.headers.get("ETag")
        self.assertTrue(etag)
        self.assertNotEqual(etag, self.rec.get(self.frame_url(self.counts[4])).headers.get("ETag"))

        again = self.rec.get(self.frame_url(count), {"If-None-Match": etag})
        self.assertEqual((again.status, again.body), (304, b""))
        head = self.rec.get(self.frame_url(count), method="HEAD")
        self.assertEqual((head.status, head.body), (200, b""))
        self.assertEqual(int(head.headers.get("Content-Length", -1)), len(self.stored[count]))

        missing = next(c for c in range(self.counts[0], self.counts[-1] + 2) if c not in self.stored)
        self.assertEqual(self.rec.get(self.frame_url(missing)).status, 404)

    def test_folder_names_that_leave_the_recordings_folder_are_refused(self):
        names = ["..", "%2E%2E", "..%2F..%2Fetc", "%2Fetc", "a%00b", "a" * 256, "not%20a%20recording",
                 qw.folder_path(self.folder) + "%2F..%2F.."]
        for name in names:
            for path in (f"/recordings/{name}", f"/api/recordings/{name}/frames",
                         f"/recordings/{name}/frames/{self.counts[0]}.jpg"):
                with self.subTest(path=path):
                    self.assertIn(self.rec.get(path).status, (400, 404))
        self.assertEqual(self.rec.get("/api/health").status, 200)


class cyrillic_folder(unittest.TestCase):
    """A recording folder renamed by hand to Russian words, spaces and signs, found at the next start."""

    NAME = "Проход №2 (левый борт) 100%"

    def test_its_page_and_frames_are_reached_through_the_percent_encoded_name(self):
        home = tempfile.mkdtemp(prefix="qm-web-home-")
        try:
            with qw.recorder(home=home) as rec:
                folder = rec.make_recording(frames=12)["folder"]
            os.rename(os.path.join(home, "records", folder), os.path.join(home, "records", self.NAME))
            stored = qw.stored_counts(os.path.join(home, "records", self.NAME))
            with qw.recorder(home=home) as rec:
                # The start-up scan of the recordings folder runs on its own thread.
                qw.wait_until(lambda: rec.recordings(), 20, "the start-up scan's list")
                self.assertEqual([r["folder"] for r in rec.recordings()], [self.NAME])
                self.assertEqual(rec.frame_counts(self.NAME), sorted(stored))
                last = max(stored)
                self.assertEqual(rec.get(f"/recordings/{qw.folder_path(self.NAME)}/frames/{last}.jpg").body,
                                 stored[last])
                browser = qw.browser()
                try:
                    browser.get(rec.url("/recordings/" + qw.folder_path(self.NAME)))

                    def shown():
                        return browser.execute_script(
                            "const f = document.getElementById('frame');"
                            "return f && f.complete && f.naturalWidth > 0 && f.getAttribute('data-count');")
                    # A key pressed before the page knows the recording's frames would go nowhere.
                    qw.wait_until(shown, 15, "a frame of the renamed recording")
                    ActionChains(browser).send_keys(Keys.END).perform()
                    qw.wait_until(lambda: shown() == str(last), 10, "the last frame of the renamed recording")
                    self.assertIn(self.NAME, browser.title)
                finally:
                    browser.quit()
        finally:
            shutil.rmtree(home, ignore_errors=True)


if __name__ == "__main__":
    qw.time_limit(110)
    unittest.main(verbosity=2)
