#!/usr/bin/python3
"""The swatch designer driven in Chromium as a person would: choose kinds,
change fields, watch the preview change, copy a URL and paste it back, meet
an error, build a two-row legend and export it. Screenshots are saved for
people to look at.

    designer_test.py SERVE_SCRIPT SWATCH ARTIFACT_DIR
"""
import os
import socket
import subprocess
import sys
import tempfile
import time
import unittest

from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.common.keys import Keys
from selenium.webdriver.support.ui import Select, WebDriverWait

SERVE, SWATCH, ARTIFACTS = sys.argv[1:4]


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Designer(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.port = free_port()
        cls.log = tempfile.TemporaryFile()
        cls.server = subprocess.Popen([SERVE, "--port", str(cls.port)], stdout=cls.log,
                                      stderr=subprocess.STDOUT, env=dict(os.environ, SWATCH_BIN=SWATCH))
        for _ in range(200):
            try:
                socket.create_connection(("127.0.0.1", cls.port), 0.2).close()
                break
            except OSError:
                time.sleep(0.1)
        cls.profile = tempfile.TemporaryDirectory()
        options = webdriver.ChromeOptions()
        options.binary_location = "/usr/bin/chromium"
        for flag in ["--headless", "--no-sandbox", "--disable-gpu", "--no-first-run",
                     "--disable-background-networking", "--disable-component-update", "--disable-sync",
                     "--hide-scrollbars", f"--user-data-dir={cls.profile.name}", "--window-size=1280,1400"]:
            options.add_argument(flag)
        cls.driver = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
        cls.base = f"http://127.0.0.1:{cls.port}"
        os.makedirs(ARTIFACTS, exist_ok=True)

    @classmethod
    def tearDownClass(cls):
        cls.driver.quit()
        cls.server.terminate()
        cls.server.wait(20)

    # --- what a person sees and does ---

    def open(self, fragment=""):
        self.driver.get(f"{self.base}/designer.html{fragment}")
        self.wait_for_preview()

    def field(self, element_id):
        return self.driver.find_element(By.ID, element_id)

    def type_into(self, element_id, text):
        element = self.field(element_id)
        element.send_keys(Keys.CONTROL, "a")
        element.send_keys(text)

    def choose(self, element_id, visible_text):
        Select(self.field(element_id)).select_by_visible_text(visible_text)

    def wait_for_preview(self, url_part=""):
        """Waits until the preview shows a swatch whose URL holds url_part."""
        def shown(driver):
            return driver.execute_script(
                "const img = document.getElementById('actual');"
                "return document.body.dataset.previewState === 'shown' && img.complete &&"
                " img.naturalWidth > 0 && (img.dataset.url || '').includes(arguments[0]);", url_part)
        WebDriverWait(self.driver, 10).until(shown)

    def preview_pixels(self, points):
        """RGBA of the actual-size preview at the given (x, y) points."""
        return self.driver.execute_script("""
            const img = document.getElementById('actual');
            const canvas = document.createElement('canvas');
            canvas.width = img.naturalWidth; canvas.height = img.naturalHeight;
            const ctx = canvas.getContext('2d');
            ctx.drawImage(img, 0, 0);
            return arguments[0].map(([x, y]) => Array.from(ctx.getImageData(x, y, 1, 1).data));
        """, points)

    def natural_size(self):
        return self.driver.execute_script(
            "const i = document.getElementById('actual'); return [i.naturalWidth, i.naturalHeight];")

    def visible(self, element_id):
        return self.field(element_id).is_displayed()

    # --- the tests ---

    def test_1_kinds_fields_and_preview(self):
        self.open()
        self.assertEqual(self.natural_size(), [40, 20])
        # A flat patch shows no line, hatch or symbol fields.
        self.assertFalse(self.visible("dash"))
        self.assertFalse(self.visible("symbol"))

        self.choose("kind", "Hatch")
        self.assertTrue(self.visible("spacing"))
        self.assertTrue(self.visible("dash"))
        self.assertFalse(self.visible("symbol"))
        self.type_into("spacing", "6")
        self.wait_for_preview("HatchSpacing=6")
        # Rising diagonals from (0, d) to (d, 0), the first band at d = 6:
        # (0, 6) and (6, 0) are drawn in the colour, (0, 0) stays transparent.
        drawn, drawn_too, empty = self.preview_pixels([[0, 6], [6, 0], [0, 0]])
        self.assertEqual(drawn, [192, 0, 0, 255])
        self.assertEqual(drawn_too, [192, 0, 0, 255])
        self.assertEqual(empty[3], 0)

        self.type_into("width", "60")
        self.wait_for_preview("/60/20/")
        self.assertEqual(self.natural_size(), [60, 20])
        # Only what changes the drawing is in the URL; it is absolute.
        self.assertEqual(self.field("url").get_attribute("value"),
                         f"{self.base}/cgi-bin/swatch/60/20/192/0/0?LineType=Hatch&HatchSpacing=6")
        self.assertIn('width="60" height="20"', self.field("tag").get_attribute("value"))
        # The design is in the page's address.
        self.assertTrue(self.driver.current_url.endswith("#/60/20/192/0/0?LineType=Hatch&HatchSpacing=6"))

        self.choose("kind", "Point symbol")
        self.assertTrue(self.visible("symbolSize"))
        self.assertFalse(self.visible("spacing"))
        self.wait_for_preview("SymbolId=1")
        # A filled square fitted to the 20-pixel height, centred: its centre
        # is drawn, the left edge is not.
        centre, edge = self.preview_pixels([[30, 10], [0, 10]])
        self.assertEqual(centre, [192, 0, 0, 255])
        self.assertEqual(edge[3], 0)

        # Every control can be reached by its label.
        unlabelled = self.driver.execute_script(
            "return [...document.querySelectorAll('#design input, #design select')]"
            ".filter(e => e.labels.length === 0).map(e => e.id);")
        self.assertEqual(unlabelled, [])
        self.driver.save_screenshot(os.path.join(ARTIFACTS, "designer.png"))

    def test_2_copy_and_paste_back(self):
        self.open("#/30/30/0/0/255?SymbolId=3&SymbolSize=20&Outline=000000")
        # Opening a design's address fills the form from it.
        self.assertEqual(Select(self.field("kind")).first_selected_option.text, "Point symbol")
        self.assertEqual(Select(self.field("symbol")).first_selected_option.text, "filled triangle")
        self.assertEqual(self.field("symbolSize").get_attribute("value"), "20")
        self.assertTrue(self.field("outline").is_selected())
        self.assertEqual(self.field("color").get_attribute("value"), "#0000ff")
        copied = self.field("url").get_attribute("value")

        self.open()  # a fresh design, then the copied URL pasted back
        self.field("copy-url").click()
        WebDriverWait(self.driver, 5).until(lambda d: "copied" in self.field("copy-status").text)
        self.type_into("paste", copied)
        self.field("paste").send_keys(Keys.ENTER)
        self.wait_for_preview("SymbolId=3")
        self.assertEqual(self.field("url").get_attribute("value"), copied)
        self.assertEqual(self.field("width").get_attribute("value"), "30")

        # The clipboard holds what the copy button copied.
        self.field("copy-url").click()
        WebDriverWait(self.driver, 5).until(lambda d: "copied" in self.field("copy-status").text)
        self.field("paste").send_keys(Keys.CONTROL, "a")
        self.field("paste").send_keys(Keys.CONTROL, "v")
        self.assertEqual(self.field("paste").get_attribute("value"), copied)

    def test_3_errors(self):
        self.open()
        # A size the program would refuse is flagged before any request.
        self.type_into("width", "100000")
        WebDriverWait(self.driver, 5).until(lambda d: self.field("size-message").text != "")
        self.assertIn("65535", self.field("size-message").text)
        self.assertEqual(self.driver.execute_script("return document.body.dataset.previewState"), "refused")
        # A pasted URL goes to the program as it is; its message shows
        # beside the size, not a broken image.
        self.type_into("paste", f"{self.base}/cgi-bin/swatch/9000/9000")
        self.field("paste").send_keys(Keys.ENTER)
        WebDriverWait(self.driver, 10).until(
            lambda d: d.execute_script("return document.body.dataset.previewState") == "error")
        self.assertIn("ERROR 5: A swatch of 9000 x 9000 pixels", self.field("size-message").text)

    def test_4_legend(self):
        self.open("#/40/20/0/128/0?LineType=Hatch&HatchType=5")
        self.type_into("row-label", "Forest")
        self.field("row-label").send_keys(Keys.ENTER)
        self.type_into("paste", "/cgi-bin/swatch/40/20/0/64/255?LineWidth=4")
        self.field("paste").send_keys(Keys.ENTER)
        self.wait_for_preview("LineWidth=4")
        self.type_into("row-label", "River <main>")
        self.field("row-label").send_keys(Keys.ENTER)

        rows = self.driver.find_elements(By.CSS_SELECTOR, "#legend-preview > div")
        self.assertEqual([r.text for r in rows], ["Forest", "River <main>"])
        WebDriverWait(self.driver, 10).until(lambda d: d.execute_script(
            "return [...document.querySelectorAll('#legend-preview img')]"
            ".every(i => i.complete && i.naturalWidth === 40 && i.naturalHeight === 20);"))
        snippet = self.field("snippet").get_attribute("value")
        self.assertEqual(snippet.count("<img "), 2)
        forest = f"{self.base}/cgi-bin/swatch/40/20/0/128/0?LineType=Hatch&amp;HatchType=5"
        self.assertIn(f'<img src="{forest}" srcset="{forest} 1x, {forest}&amp;Scale=2 2x, '
                      f'{forest}&amp;Scale=3 3x" width="40" height="20" alt="Forest"> Forest', snippet)
        self.assertIn('alt="River &lt;main&gt;"> River &lt;main&gt;', snippet)
        self.driver.execute_script("document.getElementById('legend-heading').scrollIntoView();")
        self.driver.save_screenshot(os.path.join(ARTIFACTS, "legend.png"))

    def test_5_phone(self):
        self.driver.set_window_size(390, 844)
        try:
            self.open("#/48/24/200/120/0?LineType=ZigZag&LineWidth=2")
            overflow = self.driver.execute_script(
                "return document.documentElement.scrollWidth - document.documentElement.clientWidth;")
            self.assertLessEqual(overflow, 0)
            # A swatch far wider than the phone is previewed scaled down.
            self.type_into("width", "5000")
            self.wait_for_preview("/5000/24/")
            overflow = self.driver.execute_script(
                "return document.documentElement.scrollWidth - document.documentElement.clientWidth;")
            self.assertLessEqual(overflow, 0)
            self.driver.execute_script("document.getElementById('preview-heading').scrollIntoView();")
            self.driver.save_screenshot(os.path.join(ARTIFACTS, "designer-phone.png"))
        finally:
            self.driver.set_window_size(1280, 1400)


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1], verbosity=2)
