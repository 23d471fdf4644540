"""Headless Chromium for the page's tests: the system's browser and driver, named by path so that
nothing tries to download either, and screenshots kept under build/ for a person to look at."""

import base64
import os
import pathlib

from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.support.ui import WebDriverWait

CHROMIUM = "/usr/bin/chromium"
CHROMEDRIVER = "/usr/bin/chromedriver"
SCREENSHOTS = pathlib.Path(__file__).resolve().parent.parent / "build" / "page-screenshots"
DESKTOP = (1280, 900)
PHONE = (360, 780)


def start_chromium(size: tuple[int, int] = DESKTOP) -> webdriver.Chrome:
    options = webdriver.ChromeOptions()
    options.binary_location = CHROMIUM
    options.add_argument("--headless=new")
    if os.geteuid() == 0:
        options.add_argument("--no-sandbox")  # the sandbox refuses to start as root
    options.add_argument("--disable-dev-shm-usage")
    options.add_argument("--disable-gpu")
    options.add_argument(f"--window-size={size[0]},{size[1]}")
    options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
    driver = webdriver.Chrome(service=Service(CHROMEDRIVER), options=options)
    set_size(driver, size)
    return driver


def set_size(driver: webdriver.Chrome, size: tuple[int, int]) -> None:
    """Sets the viewport itself (the window is larger by the browser's own frame, if it draws one)."""
    driver.execute_cdp_cmd(
        "Emulation.setDeviceMetricsOverride",
        {"width": size[0], "height": size[1], "deviceScaleFactor": 1, "mobile": size[0] < 600},
    )


def screenshot(driver: webdriver.Chrome, name: str) -> pathlib.Path:
    """The whole page, not only the viewport, as build/page-screenshots/NAME.png."""
    SCREENSHOTS.mkdir(parents=True, exist_ok=True)
    metrics = driver.execute_cdp_cmd("Page.getLayoutMetrics", {})
    width, height = metrics["cssContentSize"]["width"], metrics["cssContentSize"]["height"]
    shot = driver.execute_cdp_cmd(
        "Page.captureScreenshot",
        {
            "format": "png",
            "captureBeyondViewport": True,
            "clip": {"x": 0, "y": 0, "width": width, "height": height, "scale": 1},
        },
    )
    path = SCREENSHOTS / f"{name}.png"
    path.write_bytes(base64.b64decode(shot["data"]))
    return path


def wait_for(driver: webdriver.Chrome, condition, timeout: float = 5.0):
    """Waits until condition(driver) is truthy and returns it; the message says what was awaited."""
    return WebDriverWait(driver, timeout, poll_frequency=0.02).until(
        condition, message=getattr(condition, "__doc__", None)
    )


def console_errors(driver: webdriver.Chrome) -> list[str]:
    return [entry["message"] for entry in driver.get_log("browser") if entry["level"] == "SEVERE"]
