#!/usr/bin/python3
"""The swatch designer driven in Chromium as a person would: choose kinds,
change fields, watch the preview change, copy a URL and paste it back, meet
an error, build a two-row legend and export it. Screenshots are saved for
people to look at.

    designer_test.py SERVE_SCRIPT SWATCH ARTIFACT_DIR
"""
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest
import urllib.parse

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "support"))
from support import decode_png, free_port, wait_for_port  # noqa: E402
from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.action_chains import ActionChains
from selenium.webdriver.common.by import By
from selenium.webdriver.common.keys import Keys
from selenium.webdriver.support.ui import Select, WebDriverWait

SERVE, SWATCH, ARTIFACTS = sys.argv[1:4]


class Designer(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.port = free_port()
        cls.log = tempfile.TemporaryFile()
        cls.server = subprocess.Popen([SERVE, "--port", str(cls.port)], stdout=cls.log,
                                      stderr=subprocess.STDOUT, env=dict(os.environ, SWATCH_BIN=SWATCH))
        wait_for_port(cls.port, 20)
        cls.profile = tempfile.TemporaryDirectory()
        options = webdriver.ChromeOptions()
        options.binary_location = "/usr/bin/chromium"
        for flag in ["--headless", "--no-sandbox", "--disable-gpu", "--no-first-run",
                     "--disable-background-networking", "--disable-component-update", "--disable-sync",
                     "--hide-scrollbars", f"--user-data-dir={cls.profile.name}", "--window-size=1280,1400"]:
            options.add_argument(flag)
        # Every request the browser makes is logged, so that a test can tell
        # that none left for another site.
        options.set_capability("goog:loggingPrefs", {"performance": "ALL"})
        cls.driver = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
        cls.base = f"http://127.0.0.1:{cls.port}"
        os.makedirs(ARTIFACTS, exist_ok=True)

    def setUp(self):
        # Each test starts from a page of its own, at the desktop size, with
        # no requests of another test in the log.
        self.driver.set_window_size(1280, 1400)
        self.driver.get("about:blank")
        self.driver.execute_cdp_cmd("Network.clearBrowserCache", {})
        self.requests = {}
        self.requested_urls()

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

    def requested_urls(self):
        """The URLs the browser has asked for since the last call; the
        requests still under way are kept in self.requests."""
        urls = []
        for entry in self.driver.get_log("performance"):
            message = json.loads(entry["message"])["message"]
            method, params = message.get("method"), message.get("params", {})
            if method == "Network.requestWillBeSent":
                urls.append(params["request"]["url"])
                # Only requests to the server are waited for: the page's own
                # blob: and data: images need not report that they finished.
                if params["request"]["url"].startswith("http"):
                    self.requests[params["requestId"]] = params["request"]["url"]
            elif method in ("Network.loadingFinished", "Network.loadingFailed"):
                self.requests.pop(params["requestId"], None)
        return urls

    def wait_for_requests_done(self, seconds=10):
        """Waits (up to seconds) until every request the page has made has
        come back, and returns the URLs asked for since the last look."""
        seen = []

        def done(_):
            urls = self.requested_urls()
            seen.extend(urls)
            return not urls and not self.requests
        WebDriverWait(self.driver, seconds).until(done)
        return seen

    def screenshots(self, name, element_id):
        """The page at 1 and 2 device pixels a CSS pixel, the element in view."""
        for scale in (1, 2):
            self.driver.execute_cdp_cmd("Emulation.setDeviceMetricsOverride",
                                        {"width": 1280, "height": 1400, "deviceScaleFactor": scale, "mobile": False})
            self.driver.execute_script("document.getElementById(arguments[0]).scrollIntoView();", element_id)
            self.driver.save_screenshot(os.path.join(ARTIFACTS, f"{name}@{scale}x.png"))
        self.driver.execute_cdp_cmd("Emulation.clearDeviceMetricsOverride", {})

    def download(self, button_id, folder, name, mode="r"):
        """Clicks the button and returns the file it downloads (its text, or
        its bytes with mode "rb")."""
        self.field(button_id).click()
        path = os.path.join(folder, name)
        WebDriverWait(self.driver, 30).until(lambda d: os.path.exists(path) and os.path.getsize(path) > 0)
        with open(path, mode) as f:
            return f.read()

    def labels_off_centre(self, pairs_script):
        """For each label the script pairs with its swatch ([label element,
        swatch element]), how far the label's middle is from the swatch's,
        in CSS pixels: measured on a screenshot, the middle of the label's
        ink (its capitals' top to its baseline) against the middle of the
        swatch's box. Labels with descenders are passed over."""
        scale = self.driver.execute_script("return devicePixelRatio")
        pairs = self.driver.execute_script("""
            const box = e => { const r = e.getBoundingClientRect(); return [r.left, r.top, r.right, r.bottom]; };
            const pairs = (() => {""" + pairs_script + """})();
            return pairs.filter(([label]) => !/[gjpqy(),]/.test(label.textContent)).map(([l, s]) => [box(l), box(s)]);""")
        _, _, px = decode_png(self.driver.get_screenshot_as_png())
        offsets = []
        for label, swatch in pairs:
            left, top, right, bottom = (round(v * scale) for v in label)
            back = px[top][left][:3]
            inked = [y for y in range(top, bottom)
                     if any(sum(abs(a - b) for a, b in zip(px[y][x][:3], back)) > 96 for x in range(left, right))]
            offsets.append(abs((inked[0] + inked[-1] + 1) / 2 / scale - (swatch[1] + swatch[3]) / 2))
        return offsets

    def preview_state(self):
        return self.driver.execute_script("return document.body.dataset.previewState")

    # --- the tests ---

    def test_kinds_fields_and_preview(self):
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

    def test_copy_and_paste_back(self):
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
        WebDriverWait(self.driver, 5).until(lambda d: "copied" in self.field("copy-url-status").text)
        self.type_into("paste", copied)
        self.field("paste").send_keys(Keys.ENTER)
        self.wait_for_preview("SymbolId=3")
        self.assertEqual(self.field("url").get_attribute("value"), copied)
        self.assertEqual(self.field("width").get_attribute("value"), "30")

        # The clipboard holds what the copy button copied.
        self.field("copy-url").click()
        WebDriverWait(self.driver, 5).until(lambda d: "copied" in self.field("copy-url-status").text)
        self.field("paste").send_keys(Keys.CONTROL, "a")
        self.field("paste").send_keys(Keys.CONTROL, "v")
        self.assertEqual(self.field("paste").get_attribute("value"), copied)
        # The word beside the button goes away by itself.
        WebDriverWait(self.driver, 8).until(lambda d: self.field("copy-url-status").text == "")

    def test_errors(self):
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
            lambda d: "ERROR 5: A swatch of 9000 x 9000 pixels" in self.field("size-message").text)
        self.assertEqual(self.preview_state(), "error")

    def test_legend(self):
        self.open("#/40/20/0/128/0?LineType=Hatch&HatchType=5")
        self.type_into("row-label", "Forest")
        self.field("row-label").send_keys(Keys.ENTER)
        self.type_into("paste", "/cgi-bin/swatch/40/20/0/64/255?LineWidth=4")
        self.field("paste").send_keys(Keys.ENTER)
        self.wait_for_preview("LineWidth=4")
        self.type_into("row-label", "River <main>")
        self.field("row-label").send_keys(Keys.ENTER)

        rows = self.driver.find_elements(By.CSS_SELECTOR, "#legend-preview li")
        self.assertEqual([r.text for r in rows], ["Forest", "River <main>"])
        WebDriverWait(self.driver, 10).until(lambda d: d.execute_script(
            "return [...document.querySelectorAll('#legend-preview img')]"
            ".every(i => i.complete && i.naturalWidth === 40 && i.naturalHeight === 20);"))
        snippet = self.field("snippet").get_attribute("value")
        self.assertEqual(snippet.count("<img "), 2)
        forest = f"{self.base}/cgi-bin/swatch/40/20/0/128/0?LineType=Hatch&amp;HatchType=5"
        self.assertIn(f'<img src="{forest}" srcset="{forest} 1x, {forest}&amp;Scale=2 2x, '
                      f'{forest}&amp;Scale=3 3x" width="40" height="20" alt="green cross-hatch"', snippet)
        self.assertIn('>Forest</span>', snippet)
        self.assertIn('>River &lt;main&gt;</span>', snippet)
        self.assertNotIn("<main>", snippet)
        self.driver.execute_script("document.getElementById('legend-heading').scrollIntoView();")
        self.driver.save_screenshot(os.path.join(ARTIFACTS, "legend.png"))

    def test_honest_states(self):
        self.open()
        # A refused width typed right after a valid one: the refusal stands,
        # nothing is shown or left to copy, even once the earlier request
        # would have come back.
        self.type_into("width", "60")
        self.type_into("width", "100000")
        self.wait_for_requests_done()
        self.assertEqual(self.driver.execute_script("return document.body.dataset.previewState"), "refused")
        self.assertIsNone(self.field("actual").get_attribute("src"))
        self.assertFalse(self.field("copy-url").is_enabled())
        self.assertEqual(self.field("scale-note").text, "")
        # An empty width is the program's default, never NaN.
        self.field("width").send_keys(Keys.CONTROL, "a", Keys.DELETE)
        self.wait_for_preview("/50/20/")
        self.assertTrue(self.field("copy-url").is_enabled())
        # A dash pattern too long for the web server: said in plain words.
        self.choose("kind", "Line")
        self.driver.execute_script(
            "const e = document.getElementById('dash'); e.value = 'x '.repeat(10000);"
            "e.dispatchEvent(new Event('input', {bubbles: true}));")
        WebDriverWait(self.driver, 10).until(
            lambda d: d.execute_script("return document.body.dataset.previewState") == "error")
        # Said under the dash field, where the eye is.
        self.assertIn("too long", self.field("dash-message").text)
        self.assertNotIn("<", self.field("dash-message").text)
        self.assertIsNone(self.field("actual").get_attribute("src"))
        # A shared link the program refuses shows its message and no image.
        # (Only the address's fragment changes: the page stays, and its state
        # is "error" already, from the dash pattern; the message tells.)
        self.driver.get(f"{self.base}/designer.html#/9000/9000")
        WebDriverWait(self.driver, 10).until(
            lambda d: "ERROR 5: A swatch of 9000 x 9000" in self.field("size-message").text)
        self.assertEqual(self.preview_state(), "error")
        self.assertEqual(self.driver.execute_script(
            "return [...document.querySelectorAll('img.enlarged, #actual')].filter(i => !i.hidden).length"), 0)

        # Colours: a hex field beside each picker, either way round; a
        # colour the program reads otherwise than written is pointed out.
        self.open()
        self.type_into("colorHex", "#00ff00")
        self.wait_for_preview("/0/255/0")
        self.assertEqual(self.field("color").get_attribute("value"), "#00ff00")
        self.type_into("paste", "/cgi-bin/swatch/20/20?Color=%2300FF00")
        self.field("paste").send_keys(Keys.ENTER)
        self.wait_for_preview("/20/20/0/0/0")
        self.assertIn("read by the program as 000000", self.field("color-message").text)
        # Corner marks make the background opaque, and the control says so.
        self.choose("kind", "Point symbol")
        self.field("corners").click()
        self.wait_for_preview("Corner=")
        self.assertEqual(self.field("transparent-label").text, "White background")
        self.assertTrue(self.visible("opaque-note"))
        # The format is offered; an SVG needs no srcset.
        self.choose("format", "SVG (vector, sharp at any size)")
        self.wait_for_preview("Format=svg")
        self.assertNotIn("srcset", self.field("tag").get_attribute("value"))

    def test_legend_to_ship(self):
        self.open("#/40/20/0/128/0?LineType=Hatch&HatchType=5")
        designs = [("/cgi-bin/swatch/40/20/0/128/0?LineType=Hatch&HatchType=5", "Forest"),
                   ("/cgi-bin/swatch/40/20/0/64/255?LineWidth=4", "River"),
                   ("/cgi-bin/swatch/16/16/200/0/0?SymbolId=5", "Town"),
                   ("/cgi-bin/swatch/30/12/120/120/120?LineStyle=xx%20%20&LineWidth=2", "Track")]
        for url, label in designs:
            self.type_into("paste", url)
            self.field("paste").send_keys(Keys.ENTER)
            self.wait_for_preview(url.split("?")[0][len("/cgi-bin/swatch"):])
            self.type_into("row-label", label)
            self.field("row-label").send_keys(Keys.ENTER)
        self.type_into("legend-title", "Land use")
        # Reordered with the keyboard: Track moves up twice.
        self.driver.find_element(By.CSS_SELECTOR, "[aria-label='Move up legend row 4']").send_keys(Keys.ENTER)
        self.driver.switch_to.active_element.send_keys(Keys.ENTER)
        labels = lambda: [r.text for r in self.driver.find_elements(
            By.CSS_SELECTOR, "#legend-preview > div > h2, #legend-preview li")]
        self.assertEqual(labels(), ["Land use", "Forest", "Track", "River", "Town"])
        # A label edited in place; a row opened back in the designer.
        label = self.driver.find_element(By.CSS_SELECTOR, "[aria-label='Label of legend row 3']")
        label.send_keys(" (main)")
        self.driver.find_element(By.CSS_SELECTOR, "[aria-label='Edit legend row 4']").click()
        self.wait_for_preview("SymbolId=5")
        self.choose("symbol", "filled circle")
        self.wait_for_preview("SymbolId=6")
        self.field("add-row-button").click()
        # The legend is in the address: a reload brings it back.
        self.driver.get(self.driver.current_url)
        self.driver.refresh()
        WebDriverWait(self.driver, 10).until(lambda d: len(labels()) == 5)
        self.assertEqual(labels(), ["Land use", "Forest", "Track", "River (main)", "Town"])
        snippet = self.field("snippet").get_attribute("value")
        self.assertIn("SymbolId=6", snippet)
        download = self.driver.execute_script(
            "return fetch(document.getElementById('download-legend').href).then(r => r.text());")
        self.assertTrue(download.startswith("<!DOCTYPE html>\n<html lang=\"en\">"))
        self.assertIn("<main>", download)
        self.assertIn('<h1 style="font-size:1em;font-weight:bold;margin:0 0 6px">Land use</h1>', download)
        self.assertEqual(download.count("<li "), 4)
        # Each image says what it shows: a list the reader can follow.
        self.assertIn('alt="green cross-hatch"', snippet)
        self.assertIn('alt="red filled circle"', snippet)

        # The snippet on a page of its own, on a screen of 2 device pixels
        # a CSS pixel: the 2x swatches, labels centred beside them.
        page = os.path.join(ARTIFACTS, "legend-export.html")
        with open(page, "w") as out:
            out.write(download)
        self.driver.execute_cdp_cmd("Emulation.setDeviceMetricsOverride",
                                    {"width": 420, "height": 300, "deviceScaleFactor": 2, "mobile": False})
        try:
            self.driver.get("file://" + page)
            WebDriverWait(self.driver, 10).until(lambda d: d.execute_script(
                "return [...document.images].every(i => i.complete && i.naturalWidth > 0);"))
            self.assertEqual(self.driver.execute_script(
                "return [...document.images].filter(i => !i.currentSrc.includes('Scale=2')).length"), 0)
            offsets = self.labels_off_centre("""
                return [...document.images].map(img => [img.parentElement.parentElement.lastElementChild, img]);""")
            self.assertEqual(len(offsets), 3)
            self.assertTrue(all(o <= 1 for o in offsets), offsets)
            self.driver.save_screenshot(os.path.join(ARTIFACTS, "legend-export@2x.png"))
        finally:
            self.driver.execute_cdp_cmd("Emulation.clearDeviceMetricsOverride", {})

    def test_nothing_but_swatch_urls(self):
        # A shared address whose legend carries a row that would put another
        # site's image into the srcset, then the same text pasted, then a
        # label that is markup: none of it reaches another site.
        self.requested_urls()
        crafted = "/20/20/0/0/0 9x, http://elsewhere.example/pixel.gif 1x,x"
        legend = urllib.parse.quote(json.dumps({"t": "Trails", "r": [[crafted, "Bad"], ["/10/10/0/0/255", "Good"]]}))
        self.open(f"#/20/20/0/0/0!legend={legend}")
        rows = lambda: [r.get_attribute("value") for r in
                        self.driver.find_elements(By.CSS_SELECTOR, "#rows input[type=text]")]
        self.assertEqual(rows(), ["Good"])
        self.assertIn("Row 1 of the legend in this address is no swatch", self.field("legend-message").text)
        # The damaged legend stays in the address until the user acts.
        self.assertIn("elsewhere.example", urllib.parse.unquote(self.driver.current_url))
        self.type_into("paste", "/cgi-bin/swatch" + crafted)
        self.field("paste").send_keys(Keys.ENTER)
        self.assertIn("not a swatch URL", self.field("paste-message").text)
        markup = '<img src="http://elsewhere.example/label.gif">'
        self.type_into("row-label", markup)
        self.field("row-label").send_keys(Keys.ENTER)
        WebDriverWait(self.driver, 10).until(lambda d: rows() == ["Good", markup])
        self.assertEqual(self.driver.execute_script(
            "return [...document.querySelectorAll('img')].filter(i => i.src && !i.src.startsWith(location.origin)"
            " && !i.src.startsWith('blob:') || i.srcset.includes('elsewhere')).length"), 0)
        foreign = [u for u in self.wait_for_requests_done()
                   if not u.startswith((self.base, "blob:", "data:"))]
        self.assertEqual(foreign, [])

    def test_address_of_10000_rows_reads_500(self):
        # A crafted address of 10,000 rows froze the page and asked for
        # 10,002 swatches: the first 500 rows are read, the page says so,
        # and the rows out of view ask for nothing.
        self.requested_urls()
        # Row 2 is a 4000 x 4000 cross-hatch (20 of them cost the server
        # 4.3 s of CPU a view): too large for a row, never asked for.
        rows = [[f"/20/20/{i % 256}/0/0", f"row {i + 1}"] for i in range(10000)]
        rows[1] = ["/4000/4000/0/0/0?LineType=Hatch&HatchType=5", "huge"]
        legend = urllib.parse.quote(json.dumps({"t": "Many", "r": rows}))
        self.open(f"#/20/20/0/0/0!legend={legend}")
        WebDriverWait(self.driver, 20).until(
            lambda d: "has 10000 rows: the first 500 are read" in self.field("legend-message").text)
        self.assertIn("The swatch of row 2 is larger than a legend row takes (256 x 256 pixels)",
                      self.field("legend-message").text)
        # A long legend is listed in steps, the page answering in between.
        WebDriverWait(self.driver, 20).until(
            lambda d: len(d.find_elements(By.CSS_SELECTOR, "#rows input[type=text]")) == 499)
        labels = self.driver.find_elements(By.CSS_SELECTOR, "#rows input[type=text]")
        self.assertEqual(labels[-1].get_attribute("value"), "row 500")
        # Hundreds of swatches through CGI, beside the other tests: time to come back.
        swatches = [u for u in self.wait_for_requests_done(120) if "/cgi-bin/swatch/" in u]
        self.assertLess(len(swatches), 1100)
        self.assertEqual([u for u in swatches if "/4000/4000" in u], [])

    def test_mistyped_colour_adds_nothing(self):
        # A colour the page cannot read refuses the design until it is
        # fixed; the field takes what people paste.
        self.open()
        self.type_into("colorHex", "red")
        WebDriverWait(self.driver, 10).until(lambda d: self.preview_state() == "refused")
        self.assertIn("six hex digits", self.field("color-message").text)
        for button in ["add-row-button", "copy-url", "copy-tag"]:
            self.assertFalse(self.field(button).is_enabled(), button)
        self.assertIsNone(self.field("actual").get_attribute("src"))
        self.type_into("colorHex", "0x00FF00")
        self.wait_for_preview("/0/255/0")
        self.assertTrue(self.field("add-row-button").is_enabled())
        self.assertEqual(self.field("color-message").text, "")

    def test_what_the_page_corrects_it_says(self):
        # A pasted URL that the program draws otherwise than written: each
        # correction said beside the paste field.
        self.open()
        self.type_into("paste", "/cgi-bin/swatch/0/0/300/-5?LineType=Hatch&HatchType=9&Format=webp")
        self.field("paste").send_keys(Keys.ENTER)
        self.wait_for_preview("/2/2/44/251/0?LineType=Hatch")
        said = self.field("paste-message").text
        for words in ["Width 0 is drawn as 2", "Red 300 is drawn as 44", "HatchType=9 is drawn as 1",
                      "Format=webp is not offered"]:
            self.assertIn(words, said)
        # A size the program draws at 1x only is accepted; the 2x and 3x
        # images are left out, with a word.
        self.open("#/6000/6000")
        self.assertIn("only the 1x image", self.field("scale-note").text)
        self.assertNotIn("Scale=", self.field("tag").get_attribute("value"))
        # Too large for a legend row: not added, and said.
        self.field("row-label").send_keys(Keys.ENTER)
        self.assertIn("6000 x 6000 pixels, larger than a legend row takes", self.field("legend-message").text)
        self.assertEqual(self.driver.find_elements(By.CSS_SELECTOR, "#rows li"), [])
        # Focus stays with the rows when one is removed.
        self.open("#/40/20/0/0/0")
        self.type_into("row-label", "A")
        self.field("row-label").send_keys(Keys.ENTER)
        self.type_into("row-label", "B")
        self.field("row-label").send_keys(Keys.ENTER)
        self.driver.find_element(By.CSS_SELECTOR, "[aria-label='Remove legend row 1']").send_keys(Keys.ENTER)
        self.assertEqual(self.driver.switch_to.active_element.get_attribute("aria-label"), "Remove legend row 1")
        self.assertEqual([r.get_attribute("value") for r in
                          self.driver.find_elements(By.CSS_SELECTOR, "#rows input[type=text]")], ["B"])
        # And when one is opened in the designer and put back.
        self.driver.find_element(By.CSS_SELECTOR, "[aria-label='Edit legend row 1']").send_keys(Keys.ENTER)
        self.assertEqual(self.driver.switch_to.active_element.get_attribute("aria-label"), "Edit legend row 1")
        self.field("add-row-button").click()
        self.assertEqual(self.driver.switch_to.active_element.get_attribute("aria-label"), "Edit legend row 1")

    def test_no_accessibility_violations(self):
        # axe-core (npm, pinned in package-lock.json) on the designer with a
        # legend, the gallery and a downloaded legend page.
        axe = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "node_modules", "axe-core", "axe.min.js")
        if not os.path.exists(axe):
            self.skipTest("axe-core is missing: npm ci")
        with open(axe) as source:
            axe_source = source.read()

        def violations():
            self.driver.execute_script(axe_source)
            return self.driver.execute_async_script(
                "const done = arguments[arguments.length - 1];"
                "axe.run().then(r => done(r.violations.map(v => v.id + ': ' +"
                " v.nodes.map(n => n.target.join(' ')).join(', '))));")

        legend = urllib.parse.quote(json.dumps({"t": "Land use", "r": [
            ["/40/20/0/128/0?LineType=Hatch&HatchType=5", "Forest"], ["/16/16/200/0/0?SymbolId=5", "Town"]]}))
        self.open(f"#/40/20/0/64/255?LineWidth=4!legend={legend}")
        self.assertEqual(violations(), [])
        download = self.driver.execute_script(
            "return fetch(document.getElementById('download-legend').href).then(r => r.text());")
        page = os.path.join(ARTIFACTS, "legend-download.html")
        with open(page, "w") as out:
            out.write(download)
        self.driver.get("file://" + page)
        self.assertEqual(violations(), [])
        self.driver.get(self.base + "/")
        WebDriverWait(self.driver, 10).until(
            lambda d: d.execute_script("return document.documentElement.dataset.imagesChecked"))
        self.assertEqual(violations(), [])

    def test_import_a_style(self):
        """A style dropped on the legend and one chosen with the file picker
        become rows with their notes; labels stay text; the legend leaves as
        SVG; a dash array typed as a map library writes it is drawn as the
        map draws it."""
        downloads = tempfile.mkdtemp()
        self.driver.execute_cdp_cmd("Browser.setDownloadBehavior", {"behavior": "allow", "downloadPath": downloads})
        self.open("#/40/20/255/0/0")
        styles = os.path.join(os.path.dirname(os.path.abspath(__file__)), "data", "styles")
        with open(os.path.join(styles, "pophatch.sld")) as f:
            sld = f.read().replace("<Title>Boundary</Title>", "<Title>Boundary &lt;img src=x onerror=alert(1)&gt;</Title>")
            # A see-through boundary, for a note on its row.
            sld = sld.replace("<Stroke />", '<Stroke><CssParameter name="stroke-opacity">0.5</CssParameter></Stroke>')
        self.driver.execute_script("""
            const file = new File([arguments[0]], "pophatch.sld", {type: "application/xml"});
            const data = new DataTransfer();
            data.items.add(file);
            const zone = document.querySelector(".legend-builder");
            for (const type of ["dragover", "drop"])
              zone.dispatchEvent(new DragEvent(type, {dataTransfer: data, bubbles: true, cancelable: true}));""", sld)
        report = lambda: self.driver.execute_script(
            "return [...document.querySelectorAll('#import-report li')].map(li => li.innerText)")
        WebDriverWait(self.driver, 20).until(lambda d: len(report()) == 4)
        self.assertEqual([r.split("\n")[0] for r in report()],
                         ["< 2M", "2M - 4M", "> 4M", "Boundary <img src=x onerror=alert(1)>"])
        self.assertIn("The line is 50% opaque", report()[3])
        self.assertEqual(len(self.driver.find_elements(By.CSS_SELECTOR, "#import-report img")), 4)
        self.assertEqual(self.driver.find_elements(By.CSS_SELECTOR, "img[src='x'], img[onerror]"), [])
        self.assertEqual(self.field("legend-title").get_attribute("value"), "Population in the United States")
        preview = [li.text for li in self.driver.find_elements(By.CSS_SELECTOR, "#legend-preview li")]
        self.assertEqual(preview[-4:], ["< 2M", "2M - 4M", "> 4M", "Boundary <img src=x onerror=alert(1)>"])
        self.assertIn("HatchSpacing=15", self.field("snippet").get_attribute("value"))
        # A QGIS style chosen with the file picker, in place of those rows.
        self.field("import-replace").click()
        self.field("style-file").send_keys(os.path.join(styles, "line_pattern_30_degree.qml"))
        WebDriverWait(self.driver, 20).until(lambda d: len(report()) == 1 and "30°" in report()[0])
        self.assertEqual(len(self.driver.find_elements(By.CSS_SELECTOR, "#rows li")), 1)
        self.field("import-replace").click()
        # Its row opened in the form: the 2x preview and the tag's 2x image
        # are those drawn from the style's lengths at 2x (11 px hatches 15
        # apart are 21 px 32 apart, not 22 and 30), and they stay with the row.
        dense = "/cgi-bin/swatch/40/40/88/139/7?LineType=Hatch&LineWidth=21&HatchSpacing=32"
        self.driver.find_element(By.CSS_SELECTOR, "[aria-label='Edit legend row 1']").click()
        WebDriverWait(self.driver, 20).until(lambda d: d.execute_script(
            "return performance.getEntriesByType('resource').some(e => e.name.endsWith(arguments[0]))", dense))
        self.assertIn(f"{dense} 2x", self.field("tag").get_attribute("value"))
        self.field("add-row-button").click()
        self.assertIn(f"{dense} 2x".replace("&", "&amp;"), self.field("snippet").get_attribute("value"))
        self.assertIn(dense.replace("/cgi-bin/swatch", ""), urllib.parse.unquote(self.driver.current_url))
        # Bad input is said in words, and the legend is left as it was.
        self.driver.find_element(By.CSS_SELECTOR, "#paste-style summary").click()
        self.type_into("style-text", '{"type": "FeatureCollection", "features": []}')
        self.field("import-pasted").click()
        WebDriverWait(self.driver, 20).until(lambda d: "not a style document" in self.field("import-message").text)
        self.assertEqual(len(self.driver.find_elements(By.CSS_SELECTOR, "#rows li")), 1)
        self.screenshots("import", "import")

        # The legend as one SVG document, the program's swatches inside.
        svg = self.download("download-svg", downloads, "legend.svg")
        self.assertIn("<title>line_pattern_30_degree.qml</title>", svg)
        self.assertEqual(svg.count("<svg x="), 1)
        self.assertIn('stroke="#588b07"', svg)

        # A dash array as map libraries write it: 6 3 with round ends at
        # width 1 draws dashes of 7 and gaps of 2.
        self.open("#/40/20/0/0/0?LineStyle=x")
        self.type_into("dash", "6 3")
        self.choose("dashCap", "round")
        self.wait_for_preview("LineStyle=xxxxxxx%20%20")
        self.assertIn("Pattern: xxxxxxx··", self.field("dash-ruler").text)

    def test_legend_json_groups_and_selection(self):
        """A legend's JSON imported whole (groups, a stack, a ramp, the
        background); a group selected and moved, rows shift-selected and
        grouped; the JSON downloaded again with all of it."""
        downloads = tempfile.mkdtemp()
        self.driver.execute_cdp_cmd("Browser.setDownloadBehavior", {"behavior": "allow", "downloadPath": downloads})
        self.open("#/20/20/0/0/0")
        legend = {"version": 1, "title": "Kept", "background": "F2F3F0", "rows": [
            {"label": "Motorway", "group": "Roads", "swatch": "/20/20/255/255/255?LineWidth=5",
             "beneath": ["/20/20/213/213/213?LineWidth=8"]},
            {"label": "Track", "group": "Roads", "swatch": "/20/20/0/0/0?LineStyle=xx%20%20"},
            {"label": "Lake", "group": "Water", "swatch": "/20/20/0/0/255"},
            {"label": "Depth", "ramp": {"min": 0, "max": 10, "stops": [[0, "FFFFFF"], [10, "0000FF"]],
                                        "colors": ["FFFFFF", "0000FF"]}}]}
        self.driver.find_element(By.CSS_SELECTOR, "#paste-style summary").click()
        self.field("style-text").send_keys(json.dumps(legend))
        self.field("import-pasted").click()
        rows = lambda: self.driver.execute_script("""return [...document.querySelectorAll('#rows li')].map(li =>
            li.classList.contains('group') ? 'group ' + li.querySelector('input[type=text]').value
            : li.querySelector('input[type=text]').value + ' ' + li.querySelectorAll('img').length)""")
        WebDriverWait(self.driver, 20).until(lambda d: len(rows()) == 6)
        self.assertEqual(rows(), ["group Roads", "Motorway 2", "Track 1", "group Water", "Lake 1", "Depth 0"])
        self.assertEqual(self.field("legend-background").get_attribute("value"), "F2F3F0")
        self.assertIn("background:#F2F3F0", self.field("snippet").get_attribute("value"))
        # The group Water selected and moved up, before Roads.
        self.driver.find_element(By.CSS_SELECTOR, "[aria-label='Select group Water']").click()
        self.assertEqual(self.field("selection-count").text, "1 row selected")
        # (What the selection's buttons do loads when first asked for.)
        self.field("move-selected-up").click()
        WebDriverWait(self.driver, 10).until(lambda d: rows() == [
            "group Roads", "Motorway 2", "group Water", "Lake 1", "group Roads", "Track 1", "Depth 0"])
        self.field("move-selected-up").click()
        WebDriverWait(self.driver, 10).until(
            lambda d: rows() == ["group Water", "Lake 1", "group Roads", "Motorway 2", "Track 1", "Depth 0"])
        # Rows 2 to 4 picked with a shift-click and grouped as one.
        self.field("clear-selection").click()
        self.driver.find_element(By.CSS_SELECTOR, "[aria-label='Select legend row 2']").click()
        ActionChains(self.driver).key_down(Keys.SHIFT).click(
            self.driver.find_element(By.CSS_SELECTOR, "[aria-label='Select legend row 4']")).key_up(Keys.SHIFT).perform()
        self.assertEqual(self.field("selection-count").text, "3 rows selected")
        self.type_into("group-name", "Ways")
        self.field("group-selected").click()
        WebDriverWait(self.driver, 10).until(
            lambda d: rows() == ["group Water", "Lake 1", "group Ways", "Motorway 2", "Track 1", "Depth 0"])
        self.screenshots("legend-groups", "rows")
        # Downloaded again, all of it is in the JSON.
        back = json.loads(self.download("download-json", downloads, "legend.json"))
        self.assertEqual((back["title"], back["background"]), ("Kept", "F2F3F0"))
        self.assertEqual([(r["label"], r.get("group"), len(r.get("beneath", [])), "ramp" in r) for r in back["rows"]],
                         [("Lake", "Water", 0, False), ("Motorway", "Ways", 1, False), ("Track", "Ways", 0, False),
                          ("Depth", "Ways", 0, True)])
        # As PDF on A4 paper, written in the page: one A4 page, the lake's
        # 20-pixel square on it at its size.
        pdf = self.download("download-pdf", downloads, "legend.pdf", "rb")
        if not shutil.which("pdftoppm"):
            print("SKIP: the PDF's pages: pdftoppm and pdfinfo are not installed (Debian: poppler-utils)")
        else:
            self.assertTrue(pdf.startswith(b"%PDF-"))
            path = os.path.join(downloads, "legend.pdf")
            info = subprocess.run(["pdfinfo", path], capture_output=True, text=True, check=True).stdout
            self.assertRegex(info, r"Pages: +1\n")
            self.assertIn("595.276 x 841.89 pts (A4)", info)
            page = subprocess.run(["pdftoppm", "-r", "96", "-png", path], capture_output=True, check=True).stdout
            _, _, px = decode_png(page)
            blue = sum(1 for line in px for p in line if p[0] < 8 and p[1] < 8 and p[2] > 247)
            self.assertTrue(18 * 18 <= blue <= 20 * 20, blue)
        # As SVG, drawn by Chromium: each label's middle within a CSS pixel
        # of its swatch's.
        self.download("download-svg", downloads, "legend.svg")
        self.driver.execute_cdp_cmd("Emulation.setDeviceMetricsOverride",
                                    {"width": 600, "height": 400, "deviceScaleFactor": 2, "mobile": False})
        try:
            self.driver.get("file://" + os.path.join(downloads, "legend.svg"))
            offsets = self.labels_off_centre("""
                // Each label with the swatch left of it on its line.
                const swatches = [...document.querySelectorAll('svg svg')];
                return [...document.querySelectorAll('text:not([font-weight])')].flatMap(text => {
                  const [l, t, , b] = box(text);
                  const swatch = swatches.find(s => { const [, st, sr, sb] = box(s); return sr <= l && st < b && sb > t; });
                  return swatch ? [[text, swatch]] : [];
                });""")
            self.assertEqual(len(offsets), 2)
            self.assertTrue(all(o <= 1 for o in offsets), offsets)
        finally:
            self.driver.execute_cdp_cmd("Emulation.clearDeviceMetricsOverride", {})

    def test_phone(self):
        self.driver.set_window_size(390, 844)
        try:
            self.open("#/48/24/200/120/0?LineType=ZigZag&LineWidth=2")
            overflow = self.driver.execute_script(
                "return document.documentElement.scrollWidth - document.documentElement.clientWidth;")
            self.assertLessEqual(overflow, 0)
            # The enlarged preview is as large as its caption says (it was
            # drawn at 1x under "Enlarged 8 times").
            shown = self.driver.execute_script(
                "return document.querySelector('img.enlarged').getBoundingClientRect().width;")
            times = int(re.search(r"Enlarged (\d+) times", self.field("scale-note").text).group(1))
            self.assertGreaterEqual(times, 1)
            self.assertAlmostEqual(shown, 48 * times, delta=1)
            # A swatch far wider than the phone is previewed scaled down.
            self.type_into("width", "5000")
            self.wait_for_preview("/5000/24/")
            overflow = self.driver.execute_script(
                "return document.documentElement.scrollWidth - document.documentElement.clientWidth;")
            self.assertLessEqual(overflow, 0)
            # Down among the fields, the preview is still in view.
            self.driver.execute_script("document.getElementById('corners').scrollIntoView({block: 'center'});")
            self.field("corners").click()
            self.wait_for_preview("Corner=")
            top, bottom = self.driver.execute_script(
                "const r = document.getElementById('actual').getBoundingClientRect(); return [r.top, r.bottom];")
            self.assertGreaterEqual(top, 0)
            self.assertLess(bottom, 300)
            self.driver.save_screenshot(os.path.join(ARTIFACTS, "designer-phone.png"))
            # The sticky preview takes at most a quarter of the screen, and
            # no field that takes the focus from the keyboard is under it.
            self.open("#/48/24/200/120/0?LineType=ZigZag&LineWidth=2")
            hidden = self.driver.execute_script("""
                const fields = [...document.querySelectorAll('#design input, #design select')]
                  .filter(e => e.offsetParent !== null && !e.disabled);
                const under = [];
                for (const e of fields) {
                  e.focus();
                  const p = document.querySelector('.preview').getBoundingClientRect();
                  if (p.height > innerHeight / 4 + 1 || e.getBoundingClientRect().top < p.bottom - 1)
                    under.push(e.id);
                }
                return [fields.length, under];""")
            self.assertGreater(hidden[0], 8)
            hidden = hidden[1]
            self.assertEqual(hidden, [])
            self.driver.save_screenshot(os.path.join(ARTIFACTS, "designer-phone-fields.png"))
            # Legend rows fit the phone: a label wide enough to read, buttons
            # big enough for a finger, nothing past the screen's edge.
            self.field("row-label").send_keys("Road", Keys.ENTER)
            rows = self.driver.execute_script("""
                return [...document.querySelectorAll('#rows li')].map(li => [
                  li.querySelector('input[type=text]').getBoundingClientRect().width,
                  Math.min(...[...li.querySelectorAll('button')].map(b => Math.min(b.offsetWidth, b.offsetHeight))),
                  li.getBoundingClientRect().right]);""")
            self.assertTrue(rows and all(w >= 128 and b >= 44 and r <= 390 for w, b, r in rows), rows)
            self.driver.execute_script("document.getElementById('legend-heading').scrollIntoView();")
            self.driver.save_screenshot(os.path.join(ARTIFACTS, "legend-phone.png"))
        finally:
            self.driver.set_window_size(1280, 1400)


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1] + sys.argv[4:], verbosity=2)
