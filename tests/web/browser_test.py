#!/usr/bin/python3
"""The page in headless Chromium (driven by Selenium through chromedriver), served by a
static server on 127.0.0.1 that this test starts and stops: what it shows and lets one
download must be what the native program writes for the same parameters and seed.

usage: browser_test.py NATIVE_HOSTSWITCH WEB_BUILD_DIR
"""
import os
import re
import shutil
import socket
import subprocess
import sys
import tempfile
import time
import urllib.parse
import urllib.request
import xml.etree.ElementTree as ET

from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.action_chains import ActionChains
from selenium.webdriver.common.by import By
from selenium.webdriver.support.ui import Select, WebDriverWait

NATIVE, WEB_DIR = (os.path.abspath(path) for path in sys.argv[1:3])
PAGE = os.path.join(WEB_DIR, "hostswitch.html")
FLAGS = {"n_pop": "--n-pop", "birth_rate": "--birth-rate", "capacity": "--capacity",
         "emig_rate": "--emig-rate", "sdr": "--sdr", "sdv": "--sdv", "max_dist": "--max-dist",
         "n_gen": "--n-gen", "seed": "--seed", "replicates": "--replicates"}
MODEL = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "docs", "model.md")
WORK = tempfile.mkdtemp(prefix="hostswitch-browser-")
DOWNLOADS = os.path.join(WORK, "downloads")
os.mkdir(DOWNLOADS)
failures = []


def check(condition, what):
    print(("ok: " if condition else "FAILED: ") + what)
    if not condition:
        failures.append(what)


def native(command, query, extra=()):
    """Runs the native program in a fresh directory; returns (status, out, err, directory)."""
    directory = tempfile.mkdtemp(dir=WORK)
    args = [NATIVE, command]
    for name, value in query.items():
        if name in FLAGS:
            args.append(f"{FLAGS[name]}={value}")
    completed = subprocess.run(args + list(extra), cwd=directory, capture_output=True,
                               text=True, timeout=600)
    return completed.returncode, completed.stdout, completed.stderr, directory


def read(path):
    with open(path, "rb") as f:
        return f.read()


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def downloaded(name, timeout=30):
    path = os.path.join(DOWNLOADS, name)
    deadline = time.time() + timeout
    while time.time() < deadline:
        if os.path.exists(path) and not os.path.exists(path + ".crdownload"):
            return read(path)
        time.sleep(0.1)
    return None


def text(driver, id_):
    return driver.find_element(By.ID, id_).text


def wait_for_text(driver, id_, timeout=120):
    """Waits for the element to show something, or for the page to show a message."""
    WebDriverWait(driver, timeout).until(lambda d: text(d, id_) != "" or text(d, "message"))
    return text(driver, id_)


def bar(driver):
    return float(driver.find_element(By.ID, "progress").get_attribute("value"))


def start_browser():
    options = webdriver.ChromeOptions()
    options.binary_location = "/usr/bin/chromium"
    for flag in ("--headless", "--no-sandbox", "--disable-gpu", "--disable-quic",
                 "--no-first-run", "--disable-background-networking",
                 "--disable-component-update", "--disable-sync",
                 "--user-data-dir=" + os.path.join(WORK, "profile")):
        options.add_argument(flag)
    options.add_experimental_option("prefs", {"download.default_directory": DOWNLOADS,
                                              "download.prompt_for_download": False})
    return webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)


def table1():
    """Table 1 of docs/model.md: name -> [meaning, unit, domain, typical value]."""
    with open(MODEL, encoding="utf-8") as f:
        lines = f.read().split("**Table 1.**", 1)[1].splitlines()
    rows = [[cell.strip().replace("`", "") for cell in line.strip("|").split("|")]
            for line in lines if line.startswith("| `")]
    return {row[0]: row[1:] for row in rows}


def check_help(driver):
    """Each field's Table 1 row, shown on keyboard focus and on hover."""
    WebDriverWait(driver, 60).until(lambda d: d.find_elements(By.ID, "help-n_gen"))
    rows = table1()
    check(len(rows) == 8, "Table 1 has the eight parameters")
    for name, cells in rows.items():
        field = driver.find_element(By.ID, name)
        help_ = driver.find_element(By.ID, field.get_attribute("aria-describedby"))
        check(all(cell in help_.get_attribute("textContent") for cell in cells),
              f"{name}: the help holds Table 1's {cells}")
    help_ = driver.find_element(By.ID, "help-capacity")
    hidden = not help_.is_displayed()
    driver.execute_script("document.getElementById('capacity').focus()")
    check(hidden and help_.is_displayed(), "focusing a field shows its help")
    driver.execute_script("document.activeElement.blur()")
    ActionChains(driver).move_to_element(driver.find_element(By.ID, "sdr")).perform()
    check(not help_.is_displayed() and driver.find_element(By.ID, "help-sdr").is_displayed(),
          "the pointer on another field shows that field's help instead")
    ActionChains(driver).move_to_element(driver.find_element(By.TAG_NAME, "h1")).perform()


def matches(page, field):
    """Whether the page prints a field of stats.csv as the report does: 4 significant digits."""
    if not re.search("[.eE]", field):
        return page == field
    return page != "" and float(page) == float(f"{float(field):.4g}")


def check_report(driver, directory, axes=()):
    """The page's table and figures against `hostswitch report` of the same summary."""
    subprocess.run([NATIVE, "report", "summary.csv", "--trajectories", "trajectories.csv",
                    *axes], cwd=directory, check=True, capture_output=True, timeout=600)
    with open(os.path.join(directory, "stats.csv"), encoding="utf-8") as f:
        expected = [line.split(",") for line in f.read().splitlines()]
    table = driver.find_element(By.CSS_SELECTOR, "#replicates-report #stats-table")
    header = [cell.get_attribute("textContent") for cell in
              table.find_elements(By.CSS_SELECTOR, "thead th")]
    shown = [[cell.get_attribute("textContent") for cell in row.find_elements(By.TAG_NAME, "td")]
             for row in table.find_elements(By.CSS_SELECTOR, "tbody tr")]
    check(header == expected[0] and len(shown) == len(expected) - 1 and
          all(len(row) == len(want) and all(map(matches, row, want))
              for row, want in zip(shown, expected[1:])),
          f"the page's table is stats.csv to 4 significant digits: {shown}")
    digits = [re.sub(r"[-.]", "", cell.split("e")[0]).strip("0") for row in shown
              for cell in row if re.search("[.eE]", cell)]
    check(digits and all(len(d) <= 4 for d in digits), "no number has more than 4 digits")
    with open(os.path.join(directory, "report.html"), encoding="utf-8") as f:
        native_page = f.read()
    figures = re.findall(r'<figure id="([^"]+)">(.*?)</figure>', native_page, re.S)
    for id_, content in figures:
        svg = driver.find_elements(By.CSS_SELECTOR, f"#replicates-report figure#{id_} svg")
        marks = [len(svg[0].find_elements(By.TAG_NAME, tag)) if svg else 0
                 for tag in ("circle", "path", "rect")]
        want = [content.count("<" + tag) for tag in ("circle", "path", "rect")]
        check(marks == want, f"figure {id_}: the report's {want} circles, paths and rectangles")
    check("figure-trajectories" in dict(figures), f"{len(figures)} figures, n_pop's among them")


def single_run(driver, base, query, label, build="simd128"):
    """Opens the page with the query and run=1, compares with the native run; the page must
    have run the given build of the module (kernel=scalar in the query forces the scalar)."""
    driver.get(base + "?" + urllib.parse.urlencode({**query, "run": "1"}))
    outcome = wait_for_text(driver, "outcome")
    status, out, err, directory = native("run", query, ["--plot=output.svg"])
    check(status == 0 and outcome == out.strip(), f"{label}: outcome line {outcome!r}")
    check(text(driver, "progress-text").endswith(f"({build})"), f"{label}: the {build} build ran")
    check(text(driver, "seed-used") == query["seed"], f"{label}: seed shown")
    check(f"seed={query['seed']}" in driver.current_url, f"{label}: the address holds the seed")
    svg = ET.fromstring(read(os.path.join(directory, "output.svg")))
    shown = driver.find_elements(By.CSS_SELECTOR, "#plot > svg")
    rects = driver.find_elements(By.CSS_SELECTOR, "#plot rect")
    check(len(shown) == 1 and len(rects) == len(svg.findall(".//{*}rect")),
          f"{label}: the plot is inline with the native picture's {len(rects)} rectangles")
    driver.find_element(By.ID, "download-output").click()
    check(downloaded("output.txt") == read(os.path.join(directory, "output.txt")),
          f"{label}: downloaded output.txt is the native bytes")
    driver.find_element(By.ID, "download-svg").click()
    check(downloaded("output.svg") == read(os.path.join(directory, "output.svg")),
          f"{label}: downloaded output.svg is the native bytes")
    for name in ("output.txt", "output.svg"):
        os.remove(os.path.join(DOWNLOADS, name))


def main():
    port = free_port()
    server = subprocess.Popen([sys.executable, "-m", "http.server", str(port), "--bind",
                               "127.0.0.1", "--directory", WEB_DIR],
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    driver = None
    try:
        base = f"http://127.0.0.1:{port}/hostswitch.html"
        for _ in range(100):
            try:
                urllib.request.urlopen(base, timeout=1).close()
                break
            except OSError:
                time.sleep(0.1)
        driver = start_browser()

        typical = {"n_pop": "100", "birth_rate": "0.5", "capacity": "1000", "emig_rate": "0.1",
                   "sdr": "1.0", "sdv": "0.5", "max_dist": "2.0", "n_gen": "500"}
        driver.get(base)
        check(all(driver.find_element(By.ID, k).get_attribute("value") == v
                  for k, v in typical.items()), "the form starts at the typical run")
        label = driver.find_element(By.CSS_SELECTOR, "label[for=n_pop]").text
        check(label == "Initial population size (integer number):", "prompt wording")
        check_help(driver)

        single_run(driver, base, {**typical, "seed": "42"}, "typical run")
        single_run(driver, base, {**typical, "emig_rate": "0.5", "sdr": "3", "max_dist": "0.5",
                                  "n_gen": "2000", "seed": "11"}, "many switches")
        single_run(driver, base, {**typical, "emig_rate": "1", "sdr": "0.001", "seed": "1"},
                   "extinction at generation 1")
        # Capacities from 1,024 take the vector kernel, in either build of the module.
        vector = {**typical, "n_pop": "1000", "birth_rate": "2", "capacity": "5000",
                  "emig_rate": "0.01", "seed": "8", "n_gen": "200"}
        single_run(driver, base, vector, "the vector kernel")
        single_run(driver, base, {**vector, "kernel": "scalar"}, "the scalar build", "scalar")

        # The clock seeds a run without a seed; the seed shown reruns it.
        driver.get(base + "?" + urllib.parse.urlencode({**typical, "n_gen": "50", "run": "1"}))
        outcome = wait_for_text(driver, "outcome")
        seed = text(driver, "seed-used")
        status, out, _, _ = native("run", {**typical, "n_gen": "50", "seed": seed})
        check(outcome.endswith("(from the clock)") and
              outcome.replace(" (from the clock)", "") == out.strip(),
              f"a clock-seeded run shows its seed {seed} and reruns from it")

        for bad in ({"n_pop": "0"}, {"capacity": "50"}, {"birth_rate": "1e400"},
                    {"n_gen": "12.5"}, {"seed": "99999999999"}, {"replicates": "0"}):
            query = {**typical, **bad}
            driver.get(base + "?" + urllib.parse.urlencode({**query, "run": "1"}))
            message = wait_for_text(driver, "message")
            status, _, err, directory = native("sweep" if "replicates" in bad else "run", query)
            check(status == 2 and message == err.splitlines()[0] and
                  text(driver, "outcome") == "" and text(driver, "replicates-summary") == "" and
                  driver.find_element(By.ID, "progress").get_attribute("value") == "0" and
                  driver.find_element(By.ID, "download-output").get_attribute("disabled") and
                  not os.listdir(directory), f"refused with the native message: {message}")

        # A run whose results the page could not take back is refused before it starts:
        # 40,000,000 generations of at least one 79-byte line are more than 256 MB.
        huge = {**typical, "capacity": "100", "emig_rate": "0", "n_gen": "40000000", "seed": "1"}
        driver.get(base + "?" + urllib.parse.urlencode({**huge, "run": "1"}))
        message = wait_for_text(driver, "message")
        check(message.startswith("hostswitch run: --n-gen 40000000: ") and
              "give at most 3240506 generations" in message and "`hostswitch run`" in message and
              text(driver, "progress-text") == "refused" and
              driver.find_element(By.ID, "n_gen").get_attribute("aria-invalid") == "true",
              f"too large a run is refused up front: {message}")

        # Replicates (here over two emigration rates, one of which never switches): the
        # sweep's seeds, its summary bytes, the shares counted here.
        query = {**typical, "seed": "5", "replicates": "3", "emig_rate": "0,0.3", "n_gen": "40"}
        driver.get(base + "?" + urllib.parse.urlencode({**query, "run": "1"}))
        shares = wait_for_text(driver, "replicates-summary")
        status, out, _, directory = native("sweep", query, ["--jobs=1", "--summary=summary.csv",
                                                            "--trajectories=trajectories.csv"])
        driver.find_element(By.ID, "download-summary").click()
        expected = read(os.path.join(directory, "summary.csv"))
        check(downloaded("summary.csv") == expected, "downloaded summary.csv is the native bytes")
        driver.find_element(By.ID, "download-trajectories").click()
        check(downloaded("trajectories.csv") == read(os.path.join(directory, "trajectories.csv")),
              "downloaded trajectories.csv is the native bytes")
        check_report(driver, directory)
        # Another x axis redraws the same sweep's figures.
        Select(driver.find_element(By.ID, "report-x")).select_by_value("max_dist")
        WebDriverWait(driver, 60).until(lambda d: "p_extinct against max_dist" in text(
            d, "replicates-report"))
        check_report(driver, directory, ["--x", "max_dist"])
        rows = [line.split(",") for line in expected.decode().splitlines()]
        header, rows = rows[0], rows[1:]
        extinct = sum(row[header.index("outcome")] == "extinct" for row in rows)
        switched = sum(int(row[header.index("switch_generations")]) > 0 for row in rows)
        check(0 < extinct < 6 and 0 < switched < 6 and shares == f"6 runs: extinct {extinct} ({100 * extinct / 6:.1f} %), with a host "
                        f"switch {switched} ({100 * switched / 6:.1f} %)", f"shares: {shares}")

        # Again on the same page, whose worker still holds that sweep's summary and manifest:
        # the new sweep writes its own rows, neither resuming nor refusing the old ones.
        os.remove(os.path.join(DOWNLOADS, "summary.csv"))
        again = {**query, "seed": "6", "emig_rate": "0.3"}
        for name in ("seed", "emig_rate"):
            field = driver.find_element(By.ID, name)
            field.clear()
            field.send_keys(again[name])
        driver.find_element(By.ID, "run").click()
        wait_for_text(driver, "replicates-summary")
        _, _, _, directory = native("sweep", again, ["--jobs=1", "--summary=summary.csv"])
        driver.find_element(By.ID, "download-summary").click()
        check(downloaded("summary.csv") == read(os.path.join(directory, "summary.csv")),
              "a second sweep on the same page downloads the native bytes")

        # Cancel stops a long run: the bar stops, nothing is shown, the next run works.
        long_run = {"n_pop": "1000", "birth_rate": "2", "capacity": "1000000", "emig_rate": "0",
                    "sdr": "1", "sdv": "0.5", "max_dist": "2", "n_gen": "100000", "seed": "3"}
        driver.get(base + "?" + urllib.parse.urlencode({**long_run, "run": "1"}))
        WebDriverWait(driver, 60).until(lambda d: bar(d) > 0)
        driver.find_element(By.ID, "cancel").click()
        stopped_at = bar(driver)
        time.sleep(2)
        check(bar(driver) == stopped_at < 100000 and text(driver, "outcome") == "" and
              driver.find_element(By.ID, "run").is_enabled(),
              f"Cancel stopped the run at generation {stopped_at:.0f}")
        field = driver.find_element(By.ID, "n_gen")
        field.clear()
        field.send_keys("5")
        driver.find_element(By.ID, "run").click()
        outcome = wait_for_text(driver, "outcome")
        _, out, _, _ = native("run", {**long_run, "n_gen": "5"})
        check(outcome == out.strip(), "a run after Cancel runs")

        # The same page straight from the disk.
        driver.get("file://" + PAGE + "?" + urllib.parse.urlencode(
            {**typical, "seed": "42", "run": "1"}))
        outcome = wait_for_text(driver, "outcome")
        _, out, _, _ = native("run", {**typical, "seed": "42"})
        check(outcome == out.strip(), "the page works from file://")
    finally:
        if driver:
            driver.quit()
        server.terminate()
        server.wait(timeout=10)
        shutil.rmtree(WORK, ignore_errors=True)
    if failures:
        print(f"{len(failures)} checks failed")
        sys.exit(1)


main()
