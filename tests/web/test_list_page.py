#!/usr/bin/python3
"""The list page (/recordings) in a browser: the recordings the program made, row by row as the
window's "Данные" list shows them, and a recording closed while the page is open."""

import os
import sys
import unittest
import urllib.parse

sys.dont_write_bytecode = True  # nothing written into the source tree
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import quillmar_web as qw  # noqa: E402

from selenium.common.exceptions import StaleElementReferenceException  # noqa: E402
from selenium.webdriver.common.by import By  # noqa: E402


def size_text(size):
    """The window's size column: binary units, one decimal after a comma."""
    if size == 0:
        return "—"
    if size < 1024:
        return f"{size} Б"
    value, units = size / 1024, ["КБ", "МБ", "ГБ", "ТБ"]
    unit = 0
    while value >= 1024 and unit + 1 < len(units):
        value /= 1024
        unit += 1
    tenths = int(value * 10 + 0.5)
    return f"{tenths // 10},{tenths % 10} {units[unit]}"


class list_page(qw.browser_case):
    @classmethod
    def recorder_options(cls):
        # A coordinate server names the session, so that the first column has a code to show.
        return {"session": ("77", "ab")}

    @classmethod
    def prepare(cls):
        cls.made = [cls.rec.make_recording(frames=8) for _ in range(2)]

    def rows(self):
        """{folder: {"cells": [...], "links": [...]}} of the table as it is now, read in one go:
        the page redraws rows when the list changes."""
        return self.browser.execute_script("""
            const rows = {};
            for (const tr of document.querySelectorAll('table#recordings tr[data-folder]'))
                rows[tr.getAttribute('data-folder')] = {
                    cells: Array.from(tr.querySelectorAll('td'), td => td.textContent.trim()),
                    links: Array.from(tr.querySelectorAll('a[href]'), a => a.href)};
            return rows;""")

    def first_row(self):
        return self.browser.execute_script(
            "const tr = document.querySelector('table#recordings tr[data-folder]');"
            "return tr && tr.getAttribute('data-folder');")

    def test_each_recording_is_a_row_with_the_window_columns_and_a_link_to_its_page(self):
        self.browser.get(self.rec.url("/recordings"))
        listed = self.rec.recordings()
        order = [r["folder"] for r in listed]
        self.assertLess(order.index(self.made[1]["folder"]), order.index(self.made[0]["folder"]), "newest first")
        rows = qw.wait_until(lambda: (lambda r: len(r) == len(listed) and r)(self.rows()), 10, "one row per recording")
        for entry in listed:
            with self.subTest(folder=entry["folder"]):
                stored = qw.stored_counts(os.path.join(self.rec.records, entry["folder"]))
                self.assertEqual(entry["frames"], len(stored))
                self.assertEqual((entry["first_count"], entry["last_count"]), (min(stored), max(stored)))

                cells = rows[entry["folder"]]["cells"]
                self.assertEqual(entry["session"], "77 : ab")
                expected = [entry["session"], entry["side"], entry["start"], entry["end"],
                            str(entry["first_count"]), str(entry["last_count"]), size_text(entry["size"]),
                            str(entry["frames"])]
                at = next((i for i in range(len(cells)) if cells[i:i + len(expected)] == expected), None)
                self.assertIsNotNone(at, f"the row {cells} holds {expected} in order")

                links = [urllib.parse.unquote(urllib.parse.urlsplit(a).path) for a in rows[entry["folder"]]["links"]]
                self.assertIn("/recordings/" + entry["folder"], links)

        nav = {urllib.parse.urlsplit(a.get_attribute("href")).path: a.text.strip()
               for a in self.browser.find_elements(By.CSS_SELECTOR, "nav a")}
        self.assertEqual(nav.get("/"), "Сейчас")
        self.assertEqual(nav.get("/recordings"), "Записи")

    def test_a_link_opens_the_recording_page(self):
        self.browser.get(self.rec.url("/recordings"))
        folder = self.made[0]["folder"]
        qw.wait_until(lambda: folder in self.rows(), 10, "the row of the first recording")
        def click():
            try:
                self.browser.find_element(By.CSS_SELECTOR, f'tr[data-folder="{folder}"] a[href]').click()
                return True
            except StaleElementReferenceException:  # redrawn between finding and clicking
                return False
        qw.wait_until(click, 10, "a click on the row's link")
        qw.wait_until(lambda: self.browser.find_elements(By.CSS_SELECTOR, "img#frame"), 10, "the recording page")
        path = urllib.parse.unquote(urllib.parse.urlsplit(self.browser.current_url).path)
        self.assertEqual(path, "/recordings/" + folder)

    def test_a_recording_closed_while_the_page_is_open_appears_without_a_reload(self):
        self.browser.get(self.rec.url("/recordings"))
        qw.wait_until(lambda: len(self.rows()) >= len(self.made), 10, "the rows of the first recordings")
        # A reload would lose this.
        self.browser.execute_script("window.qmStillTheSamePage = true;")
        entry = self.rec.make_recording(frames=5)
        row = qw.wait_until(lambda: self.rows().get(entry["folder"]), 10, "the new recording's row")
        self.assertIn(str(entry["frames"]), row["cells"])
        self.assertTrue(self.browser.execute_script("return window.qmStillTheSamePage === true;"),
                        "the page was reloaded")
        self.assertEqual(self.first_row(), entry["folder"], "the newest row comes first")


if __name__ == "__main__":
    qw.time_limit(110)
    unittest.main(verbosity=2)
