#!/usr/bin/python3
"""The page in a real browser: headless Chromium, driven by Selenium, loads
the page of `tavrin serve`, takes the built-in portrait, and for each effect
(and "all four") shows the very bytes the API answers. Also a file that is
not a picture, the keyboard, and a phone-sized screen. Screenshots go to
--out. Where Chromium cannot start, the test says so and fails."""

import argparse
import base64
import os
import signal
import subprocess
import sys
import tempfile
import time
import urllib.error
import urllib.request

from selenium import webdriver
from selenium.common.exceptions import TimeoutException, WebDriverException
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.common.keys import Keys
from selenium.webdriver.support.ui import WebDriverWait

EFFECTS = ["sunglasses", "mustache", "hat", "beard"]
# The line each plug-in prints when it finds the face.
FACE_LINES = {"sunglasses": "Left eye:", "mustache": "Skin blob top", "hat": "Face at (", "beard": "Face region:"}
WAIT = 60  # seconds for any one thing the page does

# Reads a shown picture back as base64, from its blob: URL.
READ_IMG = """
const img = arguments[0], done = arguments[arguments.length - 1];
fetch(img.src).then(r => r.arrayBuffer()).then(buffer => {
  const bytes = new Uint8Array(buffer);
  let text = "";
  for (let i = 0; i < bytes.length; i += 0x8000)
    text += String.fromCharCode.apply(null, bytes.subarray(i, i + 0x8000));
  done(btoa(text));
}).catch(e => done("ERROR " + e));
"""


class Failure(Exception):
    pass


def check(condition, message):
    if not condition:
        raise Failure(message)


def start_server(tavrin, tmpdir, log_path):
    env = dict(os.environ, TMPDIR=tmpdir)
    log = open(log_path, "wb")
    process = subprocess.Popen([tavrin, "serve", "--port", "0", "--jobs", "2"],
                               stdout=log, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL, env=env)
    for _ in range(500):
        with open(log_path, "rb") as f:
            first = f.readline().decode(errors="replace")
        if first.startswith("Serving on ") and first.endswith("\n"):
            return process, first[len("Serving on "):].strip()
        if process.poll() is not None:
            break
        time.sleep(0.02)
    process.kill()
    raise Failure("the server did not start: " + open(log_path, errors="replace").read())


def api_answer(url, effect, body):
    request = urllib.request.Request(url + "api/apply/" + effect, data=body, method="POST")
    with urllib.request.urlopen(request, timeout=WAIT) as response:
        return response.read()


def start_browser():
    options = webdriver.ChromeOptions()
    options.binary_location = "/usr/bin/chromium"
    for flag in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage", "--disable-gpu",
                 "--window-size=1280,1800", "--no-first-run", "--disable-extensions"):
        options.add_argument(flag)
    try:
        driver = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
    except WebDriverException as e:
        raise Failure("Chromium could not start under chromedriver: " + str(e).strip())
    driver.set_page_load_timeout(WAIT)
    driver.set_script_timeout(WAIT)
    return driver


def wait(driver, what, condition):
    try:
        return WebDriverWait(driver, WAIT).until(lambda d: condition(d))
    except TimeoutException:
        raise Failure("timed out waiting for " + what)


def results_of(article):
    return article.find_elements(By.CSS_SELECTOR, "figure.result")


def wait_for_results(driver, article, count):
    def settled(_):
        figures = results_of(article)
        return len(figures) == count and all(f.get_attribute("data-state") != "working" for f in figures)
    wait(driver, "%d result(s)" % count, settled)
    return results_of(article)


def check_shown(driver, figure, effect, expected):
    check(figure.get_attribute("data-effect") == effect, "result for %s is labelled %s"
          % (effect, figure.get_attribute("data-effect")))
    state = figure.get_attribute("data-state")
    check(state == "done", "%s: result is %s: %s" % (effect, state, figure.text))
    img = figure.find_element(By.CSS_SELECTOR, "img.result-image")
    check(driver.execute_script("return arguments[0].naturalWidth", img) == 480,
          effect + ": the result is not shown at its size")
    shown = driver.execute_async_script(READ_IMG, img)
    check(not shown.startswith("ERROR"), effect + ": cannot read the shown picture: " + shown)
    check(base64.b64decode(shown) == expected, effect + ": the shown picture differs from the API's answer")
    check("face found" in figure.text, effect + ": no 'face found' under the result: " + figure.text)
    lines = figure.find_element(By.CSS_SELECTOR, ".lines pre").get_attribute("textContent")
    check(FACE_LINES[effect] in lines and "/tmp" not in lines and "tavrin-" not in lines,
          effect + ": the plug-in's lines are not shown as said: " + lines)
    link = figure.find_element(By.CSS_SELECTOR, "a.download")
    check(link.get_attribute("href").startswith("blob:") and
          link.get_attribute("download") == "portrait-%s.bmp" % effect,
          effect + ": download link is %s / %s" % (link.get_attribute("href"), link.get_attribute("download")))


def run(args, tmp):
    demo = os.path.join(tmp, "demo")
    subprocess.run([args.tavrin, "demo", demo], check=True, stdout=subprocess.DEVNULL)
    portrait_path = os.path.join(demo, "portrait.bmp")
    portrait = open(portrait_path, "rb").read()
    words_path = os.path.join(tmp, "notes.bmp")
    with open(words_path, "w") as f:
        f.write("These are words, not a picture.\n")

    server_tmp = os.path.join(tmp, "server-tmp")
    os.mkdir(server_tmp)
    server, url = start_server(args.tavrin, server_tmp, os.path.join(tmp, "server.log"))
    driver = None
    try:
        expected = {e: api_answer(url, e, portrait) for e in EFFECTS}
        for e in EFFECTS:
            cli = open(os.path.join(demo, "portrait-%s.bmp" % e), "rb").read()
            check(expected[e] == cli, e + ": the API's answer differs from the command's output")

        driver = start_browser()
        driver.get(url)
        wait(driver, "the effect buttons", lambda d: d.find_elements(By.CSS_SELECTOR, "button.effect[data-effect=beard]"))
        driver.find_element(By.ID, "files").send_keys(portrait_path)
        article = wait(driver, "the chosen photo", lambda d: d.find_elements(By.CSS_SELECTOR, "article.photo"))[0]
        wait(driver, "the original", lambda d: d.execute_script(
            "return arguments[0].naturalWidth", article.find_element(By.CSS_SELECTOR, ".original img")) == 480)

        for effect in EFFECTS:
            driver.find_element(By.CSS_SELECTOR, "button.effect[data-effect=%s]" % effect).click()
            figures = wait_for_results(driver, article, 1)
            check_shown(driver, figures[0], effect, expected[effect])

        driver.find_element(By.CSS_SELECTOR, "button.effect[data-effect=all]").click()
        figures = wait_for_results(driver, article, 4)
        for figure, effect in zip(figures, EFFECTS):
            check_shown(driver, figure, effect, expected[effect])
        os.makedirs(args.out, exist_ok=True)
        driver.save_screenshot(os.path.join(args.out, "all-four.png"))

        # The keyboard alone: focus the hat button, press Enter.
        hat = driver.find_element(By.CSS_SELECTOR, "button.effect[data-effect=hat]")
        driver.execute_script("arguments[0].focus()", hat)
        check(driver.switch_to.active_element == hat, "the hat button cannot take the focus")
        hat.send_keys(Keys.ENTER)
        check_shown(driver, wait_for_results(driver, article, 1)[0], "hat", expected["hat"])

        # A file that is not a picture gets a clear message, next to the good one.
        driver.find_element(By.ID, "files").send_keys(words_path)
        articles = wait(driver, "the second photo", lambda d: len(d.find_elements(By.CSS_SELECTOR, "article.photo")) == 2
                        and d.find_elements(By.CSS_SELECTOR, "article.photo"))
        driver.find_element(By.CSS_SELECTOR, "button.effect[data-effect=mustache]").click()
        bad = wait_for_results(driver, articles[1], 1)[0]
        check(bad.get_attribute("data-state") == "error", "the non-picture was not refused: " + bad.text)
        message = bad.find_element(By.CSS_SELECTOR, "[role=alert]").text
        check("notes.bmp" in message and "not a picture" in message, "unclear message: " + message)
        check_shown(driver, wait_for_results(driver, articles[0], 1)[0], "mustache", expected["mustache"])
        driver.save_screenshot(os.path.join(args.out, "page.png"))

        # A phone's width: nothing wider than the screen.
        driver.set_window_size(390, 844)
        overflow = driver.execute_script("return document.documentElement.scrollWidth - window.innerWidth")
        check(overflow <= 0, "the page is %d px wider than a phone screen" % overflow)
        driver.save_screenshot(os.path.join(args.out, "phone.png"))

        errors = [entry for entry in driver.get_log("browser") if entry.get("level") == "SEVERE"
                  and "400 (Bad Request)" not in entry.get("message", "")]
        check(not errors, "the browser console reports: %s" % errors)
    finally:
        if driver is not None:
            driver.quit()
        server.send_signal(signal.SIGTERM)
        try:
            status = server.wait(timeout=30)
        except subprocess.TimeoutExpired:
            server.kill()
            status = "killed"
    check(status == 0, "the server exited with %s" % status)
    left = [os.path.join(root, n) for root, dirs, files in os.walk(server_tmp) for n in dirs + files]
    check(not left, "the server left files behind: %s" % left)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--tavrin", required=True)
    parser.add_argument("--out", required=True, help="folder for the screenshots")
    args = parser.parse_args()
    signal.alarm(170)  # never outlive the test's time, whatever hangs
    with tempfile.TemporaryDirectory() as tmp:
        try:
            run(args, tmp)
        except Failure as e:
            print("FAILED:", e, file=sys.stderr)
            return 1
    print("The page showed every effect as the API answers it; screenshots in", args.out)
    return 0


if __name__ == "__main__":
    sys.exit(main())
