"""The page of leafid-serve in headless Chromium, as docs/serve.md's Tests section says; fails
when Chromium, its driver or Selenium is missing, skips (77) without the shared photos.
Usage: browser_test.py SERVE LEAFID NETWORK LEAVES_DIR SCREENSHOT.png"""
import os
import socket
import sys
import tempfile
import time

from serve_support import dialogue_line, started_server

serve, leafid, network, leaves, screenshot = sys.argv[1:6]
leaves = os.path.realpath(leaves)  # Chromium takes only canonical paths
try:
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service
    from selenium.webdriver.common.by import By
    from selenium.webdriver.support.ui import WebDriverWait
except ImportError:
    sys.exit("FAILED: python3-selenium is not installed (scripts/setup installs it)")
driver_path = "/usr/bin/chromedriver"
if not os.path.exists(driver_path):
    sys.exit("FAILED: chromium-driver is not installed (scripts/setup installs it)")
if not os.path.isdir(leaves):
    sys.exit(print(f"SKIPPED: the shared photos are not in {leaves}") or 77)

photos = [os.path.join(leaves, "maple", "maple_flav_001.jpg"),
          os.path.join(leaves, "oak", sorted(os.listdir(os.path.join(leaves, "oak")))[0])]
options = webdriver.ChromeOptions()
for argument in ["--headless=new", "--no-sandbox", "--disable-dev-shm-usage"]:
    options.add_argument(argument)
# A phone's screen: 390 x 844 CSS pixels, touch, a phone's user agent.
options.add_experimental_option(
    "mobileEmulation", {"deviceMetrics": {"width": 390, "height": 844, "pixelRatio": 1.0}})
# One place for photos: the test can make the server busy.
with tempfile.TemporaryDirectory() as work, \
        started_server(serve, network, work, "--threads", "1", "--queue", "0") as (url, _, log):
    browser = webdriver.Chrome(service=Service(driver_path), options=options)
    try:
        browser.get(url)
        wait = WebDriverWait(browser, 20)
        chooser = browser.find_element(By.ID, "photo")
        assert chooser.get_attribute("accept") == "image/*", "the chooser must take pictures"
        assert chooser.get_attribute("capture") == "environment", "the chooser must open the camera"
        for photo in photos:
            expected = dialogue_line(leafid, network, photo)
            browser.execute_script("document.getElementById('answer').textContent = ''")
            if photo == photos[1]:  # a photo under way holds the place until after the 503
                held = socket.create_connection(url.split("/")[2].split(":"), timeout=10)
                held.sendall(b"POST /api/identify HTTP/1.1\r\nContent-Length: 2\r\n\r\n.")
                time.sleep(0.2)
            chooser.send_keys(photo)
            if photo == photos[1]:
                time.sleep(0.4)
                held.sendall(b".")
                assert held.recv(100).startswith(b"HTTP/1.1 415"), "the held photo's answer"
            wait.until(lambda b: b.find_element(By.ID, "answer").text)
            shown = browser.find_element(By.ID, "answer").text
            assert expected in ("tree = " + shown, shown), f"{photo}: {shown!r}, not {expected!r}"
            for name in ["measured", "silhouette", "outline"]:
                size = browser.execute_script(
                    f"const i = document.getElementById('{name}');"
                    "return i.complete && i.naturalWidth")
                assert size == 128, f"{photo}: the picture '{name}' is not shown ({size})"
            bars = browser.find_elements(By.CSS_SELECTOR, "#bars .bar")
            assert len(bars) == 6, f"{photo}: {len(bars)} bars instead of one per output"
            if photo == photos[0]:
                browser.save_screenshot(screenshot)
        not_picture = os.path.join(work, "notes.jpg")
        open(not_picture, "w").write("not a picture at all\n")
        chooser.send_keys(not_picture)
        wait.until(lambda b: b.find_element(By.ID, "error").is_displayed())
        error = browser.find_element(By.ID, "error").text
        assert error.startswith("This file is not a picture"), f"error shown: {error!r}"
        assert not browser.find_element(By.ID, "result").is_displayed(), "an old answer stays"
        assert " POST /api/identify 503 " in open(log).read(), "the page was not refused as busy"
    finally:
        browser.quit()
print("page answered", len(photos), "photos as leafid does; screenshot in", screenshot)
