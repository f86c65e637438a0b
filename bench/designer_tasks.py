#!/usr/bin/python3
"""The designer's longest main-thread task while it starts, in Chromium:
with nothing in its address, and with a legend of 500 rows in groups in its
address (the most it reads). The page is served as scripts/serve serves it;
the median of RUNS loads of each, and every load's tasks over 50 ms.

    designer_tasks.py SERVE_SCRIPT SWATCH [RUNS]
"""
import json
import os
import statistics
import subprocess
import sys
import tempfile
import time
import urllib.parse

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "support"))
from support import free_port, wait_for_port  # noqa: E402
from selenium import webdriver  # noqa: E402
from selenium.webdriver.chrome.service import Service  # noqa: E402

SERVE, SWATCH = sys.argv[1:3]
RUNS = int(sys.argv[3]) if len(sys.argv) > 3 else 5

# Every task over 50 ms, from the page's start.
OBSERVE = """window.__tasks = [];
new PerformanceObserver(l => { for (const e of l.getEntries()) window.__tasks.push(Math.round(e.duration)); })
  .observe({type: "longtask", buffered: true});"""

port = free_port()
server = subprocess.Popen([SERVE, "--port", str(port)], stdout=subprocess.DEVNULL, stderr=subprocess.STDOUT,
                          env=dict(os.environ, SWATCH_BIN=SWATCH))
profile = tempfile.TemporaryDirectory()
try:
    wait_for_port(port, 20)
    options = webdriver.ChromeOptions()
    options.binary_location = "/usr/bin/chromium"
    for flag in ["--headless", "--no-sandbox", "--disable-gpu", "--no-first-run", "--disable-background-networking",
                 "--disable-component-update", "--disable-sync", f"--user-data-dir={profile.name}",
                 "--window-size=1280,1400"]:
        options.add_argument(flag)
    driver = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
    driver.execute_cdp_cmd("Page.addScriptToEvaluateOnNewDocument", {"source": OBSERVE})
    rows = [[f"/20/20/{i % 256}/0/0?LineWidth={1 + i % 4}", f"row {i + 1}", f"group {i // 20}"] for i in range(500)]
    addresses = {"nothing in the address": "#/20/20/0/0/0",
                 "500 rows in the address": "#/20/20/0/0/0!legend=" +
                 urllib.parse.quote(json.dumps({"t": "Many", "r": [{"swatch": s, "label": l, "group": g}
                                                                   for s, l, g in rows]}))}
    print(f"{os.cpu_count()} cores; the designer's longest task while it starts, median of {RUNS} loads")
    for name, fragment in addresses.items():
        longest, seen = [], []
        for _ in range(RUNS):
            driver.get("about:blank")
            driver.get(f"http://127.0.0.1:{port}/designer.html{fragment}")
            time.sleep(3)
            tasks = driver.execute_script("return window.__tasks")
            longest.append(max(tasks, default=0))
            seen.append(tasks)
        print(f"{name}: {statistics.median(longest)} ms (tasks over 50 ms, each load: {seen})")
    driver.quit()
finally:
    server.terminate()
    server.wait(20)
