"""The page of leafid-serve in headless Chromium: choose a shared photo, wait for the answer,
compare it with the dialogue's, see the three pictures; a file that is no picture gets one
sentence. Saves a phone-sized screenshot.
Usage: browser_test.py SERVE LEAFID NETWORK LEAVES_DIR SCREENSHOT.png   Exit 77 means skipped."""
import os
import sys
import tempfile

from serve_support import dialogue_line, skip, started_server

serve, leafid, network, leaves, screenshot = sys.argv[1:6]
leaves = os.path.realpath(leaves)  # Chromium takes only canonical paths
try:
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service
    from selenium.webdriver.common.by import By
    from selenium.webdriver.support.ui import WebDriverWait
except ImportError:
    skip("python3-selenium is not installed (scripts/setup --browser installs it)")
if not os.path.isdir(leaves):
    skip(f"the shared photos are not in {leaves}")
driver_path = "/usr/bin/chromedriver"
if not os.path.exists(driver_path):
    skip("chromium-driver is not installed (scripts/setup --browser installs it)")

photos = [os.path.join(leaves, "maple", "maple_flav_001.jpg"),
          os.path.join(leaves, "oak", sorted(os.listdir(os.path.join(leaves, "oak")))[0])]
options = webdriver.ChromeOptions()
for argument in ["--headless=new", "--no-sandbox", "--disable-dev-shm-usage"]:
    options.add_argument(argument)
# A phone's screen: 390 x 844 CSS pixels, touch, a phone's user agent.
options.add_experimental_option(
    "mobileEmulation", {"deviceMetrics": {"width": 390, "height": 844, "pixelRatio": 1.0}})
with tempfile.TemporaryDirectory() as work, started_server(serve, network, work) as (url, _, _):
    try:
        browser = webdriver.Chrome(service=Service(driver_path), options=options)
    except Exception as failure:  # no display libraries, no sandbox: Chromium cannot run here
        skip(f"Chromium cannot run here: {str(failure).splitlines()[0]}")
    try:
        browser.get(url)
        wait = WebDriverWait(browser, 20)
        chooser = browser.find_element(By.ID, "photo")
        assert chooser.get_attribute("accept") == "image/*", "the chooser must take pictures"
        assert chooser.get_attribute("capture") == "environment", "the chooser must open the camera"
        for photo in photos:
            expected = dialogue_line(leafid, network, photo)
            browser.execute_script("document.getElementById('answer').textContent = ''")
            chooser.send_keys(photo)
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
        with open(not_picture, "w") as file:
            file.write("not a picture at all\n")
        chooser.send_keys(not_picture)
        wait.until(lambda b: b.find_element(By.ID, "error").is_displayed())
        error = browser.find_element(By.ID, "error").text
        assert error.startswith("This file is not a picture"), f"error shown: {error!r}"
        assert not browser.find_element(By.ID, "result").is_displayed(), "an old answer stays"
    finally:
        browser.quit()
print("page answered", len(photos), "photos as leafid does; screenshot in", screenshot)
