#!/usr/bin/python3
"""The model benchmark's run (see web_bench.py) on the page in headless Chromium, opened from
file://: the page's own figure ("done in ... s", from the request to the worker until the
answer) of the first run, which includes starting the worker and compiling the module, and
the best of REPEATS further runs in the same worker.

usage: bench/web_browser_bench.py [WEB_BUILD_DIR] [REPEATS]
"""
import os
import sys
import tempfile
import urllib.parse

from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.support.ui import WebDriverWait

web_dir = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else "build/web")
repeats = int(sys.argv[2]) if len(sys.argv) > 2 else 3
query = {"n_pop": 1000, "birth_rate": 2, "capacity": 1000000, "emig_rate": 0, "sdr": 1,
         "sdv": 0.5, "max_dist": 2, "n_gen": 100, "seed": 123450, "run": 1}

with tempfile.TemporaryDirectory() as profile:
    options = webdriver.ChromeOptions()
    options.binary_location = "/usr/bin/chromium"
    for flag in ("--headless", "--no-sandbox", "--disable-gpu", "--disable-quic",
                 "--no-first-run", "--disable-background-networking",
                 "--disable-component-update", "--disable-sync", "--user-data-dir=" + profile):
        options.add_argument(flag)
    driver = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
    try:
        driver.get(f"file://{web_dir}/hostswitch.html?{urllib.parse.urlencode(query)}")
        times = []
        for attempt in range(repeats + 1):
            if attempt > 0:
                driver.find_element(By.ID, "run").click()
            WebDriverWait(driver, 600).until(
                lambda d: d.find_element(By.ID, "progress-text").text.startswith("done in"))
            times.append(float(driver.find_element(By.ID, "progress-text").text.split()[2]))
        outcome = driver.find_element(By.ID, "outcome").text
    finally:
        driver.quit()
print(f"model benchmark run in the page: {outcome}")
print(f"  first run (worker start and compile included): {times[0]:.3f} s")
print(f"  best of {repeats} further runs:                 {min(times[1:]):.3f} s")
