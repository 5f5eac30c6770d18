"""How heavy and how quick tralix view's page is: the page made from a data file, its size,
and the time from navigation to the first game drawn in headless chromium (Debian's chromium
and chromium-driver, driven by Selenium), over a few loads. With --screenshot, a picture of
the page at a chosen game and move, for the README.

    python bench/viewer_bench.py DATA.jsonl.gz [--loads 3] [--screenshot docs/viewer.png
                                  --game 0 --move 120]
"""

from __future__ import annotations

import argparse
import shutil
import statistics
import tempfile
import time
from pathlib import Path

from selenium import webdriver
from selenium.webdriver.chrome.service import Service

from tralix_harness.cli import main as tralix


def browser() -> webdriver.Chrome:
    options = webdriver.ChromeOptions()
    options.binary_location = shutil.which("chromium") or "chromium"
    for argument in ("--headless=new", "--no-sandbox", "--disable-gpu",
                     "--disable-dev-shm-usage", "--window-size=1280,900",
                     "--force-device-scale-factor=1"):
        options.add_argument(argument)
    return webdriver.Chrome(options=options,
                            service=Service(shutil.which("chromedriver") or "chromedriver"))


def wait_ready(chrome: webdriver.Chrome, seconds: float = 60.0) -> float:
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        ready = chrome.execute_script("return document.body.dataset.readyMs")
        if ready:
            return float(ready) / 1000
        time.sleep(0.02)
    raise TimeoutError("the page did not get ready")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("data", type=Path)
    parser.add_argument("--loads", type=int, default=3)
    parser.add_argument("--screenshot", type=Path)
    parser.add_argument("--game", type=int, default=0)
    parser.add_argument("--move", type=int, default=0)
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as folder:
        page = Path(folder) / "view.html"
        start = time.perf_counter()
        assert tralix(["view", str(args.data), "--output", str(page)]) == 0
        made = time.perf_counter() - start
        chrome = browser()
        try:
            seconds = []
            for _ in range(args.loads):
                chrome.get(page.as_uri())
                seconds.append(wait_ready(chrome))
            print(f"page {page.stat().st_size / 1e6:.2f} MB, made in {made:.1f} s; ready "
                  f"{statistics.median(seconds):.2f} s after navigation (median of "
                  f"{len(seconds)}, max {max(seconds):.2f} s)")
            if args.screenshot:
                chrome.execute_script(
                    f"document.getElementById('games').value = '{args.game}';"
                    f"selectGame({args.game}); show({args.move});")
                args.screenshot.parent.mkdir(parents=True, exist_ok=True)
                chrome.save_screenshot(str(args.screenshot))
                print(f"screenshot: {args.screenshot}")
        finally:
            chrome.quit()


if __name__ == "__main__":
    main()
