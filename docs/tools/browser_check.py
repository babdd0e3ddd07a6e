"""Render pages of the built site in headless Chromium and check what a reader would see.

For each page: it loads without a JavaScript exception or console error, every image on it
has loaded (a figure that failed to render or a missing file has no natural width), it shows
at least the given number of images, and every formula on it has been typeset by the MathJax
the site serves (no formula left as raw TeX). A screenshot of each page is written beside the
site for a look by eye. Talks to Chromium over the DevTools protocol.

    python browser_check.py SITE_DIR PAGE:MIN_IMAGES ... [--screenshots DIR]
"""

import argparse
import base64
import itertools
import json
import shutil
import subprocess
import sys
import tempfile
import time
import urllib.request
from pathlib import Path

import websocket

# The check runs offline: requests to other hosts are blocked (the site serves everything it
# needs, MathJax included), and the console errors that blocking causes are not held against
# the page.
EXTERNAL = ("http://*", "https://*")
TIMEOUT = 60.0


class DevTools:
    """A minimal DevTools protocol client for one page target."""

    def __init__(self, url: str):
        self.socket = websocket.create_connection(url, timeout=TIMEOUT)
        self.ids = itertools.count(1)
        self.events: list[dict] = []

    def call(self, method: str, **params):
        request_id = next(self.ids)
        self.socket.send(json.dumps({"id": request_id, "method": method, "params": params}))
        while True:
            message = json.loads(self.socket.recv())
            if message.get("id") == request_id:
                if "error" in message:
                    raise RuntimeError(f"{method}: {message['error']}")
                return message.get("result", {})
            self.events.append(message)

    def wait_for(self, method: str):
        deadline = time.monotonic() + TIMEOUT
        while time.monotonic() < deadline:
            if any(event.get("method") == method for event in self.events):
                return
            self.events.append(json.loads(self.socket.recv()))
        raise TimeoutError(f"no {method} within {TIMEOUT} s")


def start_chromium(profile: Path) -> tuple[subprocess.Popen, str]:
    browser = shutil.which("chromium") or shutil.which("chromium-browser")
    if browser is None:
        sys.exit("chromium not found (Debian: apt-get install chromium)")
    process = subprocess.Popen(
        [browser, "--headless", "--no-sandbox", "--disable-gpu", "--remote-debugging-port=0",
         "--remote-allow-origins=*", f"--user-data-dir={profile}", "--window-size=1280,1600",
         "about:blank"],
        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
    )  # fmt: skip
    port_file = profile / "DevToolsActivePort"
    deadline = time.monotonic() + TIMEOUT
    while not port_file.exists() or not port_file.read_text().strip():
        if time.monotonic() > deadline or process.poll() is not None:
            process.kill()
            sys.exit("chromium did not start")
        time.sleep(0.1)
    port = port_file.read_text().split()[0]
    with urllib.request.urlopen(f"http://127.0.0.1:{port}/json/list") as response:
        pages = [t for t in json.load(response) if t["type"] == "page"]
    return process, pages[0]["webSocketDebuggerUrl"]


def problems_of(events: list[dict]) -> list[str]:
    """Exceptions and console errors among the events, except those of blocked hosts."""
    found = []
    for event in events:
        method, params = event.get("method"), event.get("params", {})
        if method == "Runtime.exceptionThrown":
            details = params["exceptionDetails"]
            found.append(details.get("exception", {}).get("description", details.get("text")))
        elif method == "Runtime.consoleAPICalled" and params["type"] in ("error", "assert"):
            found.append(
                " ".join(str(a.get("value", a.get("description"))) for a in params["args"])
            )
        elif method == "Log.entryAdded" and params["entry"]["level"] == "error":
            entry = params["entry"]
            if not entry.get("url", "").startswith(("http://", "https://")):
                found.append(f"{entry['text']} {entry.get('url', '')}")
    return found


# Formulas Sphinx marks for MathJax, and those MathJax has typeset (its own elements).
MATH = """({marked: document.querySelectorAll('.math').length,
  typeset: document.querySelectorAll('mjx-container').length})"""
IMAGES = """Array.from(document.images).map(i => ({src: i.src, complete: i.complete,
  width: i.naturalWidth})).filter(i => i.src.startsWith('file:'))"""


def check_page(tools: DevTools, page: Path, min_images: int, screenshot: Path) -> list[str]:
    tools.events.clear()
    tools.call("Page.navigate", url=page.resolve().as_uri())
    tools.wait_for("Page.loadEventFired")
    time.sleep(1.0)  # let the theme's scripts run after the load event
    tools.call("Runtime.evaluate", expression="0")  # collects the events sent meanwhile
    images = tools.call("Runtime.evaluate", expression=IMAGES, returnByValue=True)
    images = images["result"]["value"]
    problems = problems_of(tools.events)
    math = tools.call("Runtime.evaluate", expression=MATH, returnByValue=True)["result"]["value"]
    if math["typeset"] < math["marked"]:
        problems.append(f"{math['marked']} formulas, {math['typeset']} typeset by MathJax")
    broken = [i["src"] for i in images if not (i["complete"] and i["width"] > 0)]
    problems += [f"image did not load: {src}" for src in broken]
    if len(images) < min_images:
        problems.append(f"{len(images)} images shown, expected at least {min_images}")
    shot = tools.call("Page.captureScreenshot", format="png", captureBeyondViewport=False)
    screenshot.write_bytes(base64.b64decode(shot["data"]))
    print(f"{page.name}: {len(images)} images, {len(problems)} problems; screenshot {screenshot}")
    return problems


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("site", type=Path)
    parser.add_argument("pages", nargs="+", help="PAGE:MIN_IMAGES, PAGE relative to the site")
    parser.add_argument("--screenshots", type=Path, default=None)
    args = parser.parse_args()
    shots = args.screenshots or args.site.parent / "screenshots"
    shots.mkdir(parents=True, exist_ok=True)
    failures = []
    with tempfile.TemporaryDirectory() as profile:
        process, url = start_chromium(Path(profile))
        try:
            tools = DevTools(url)
            for domain in ("Page", "Runtime", "Log", "Network"):
                tools.call(f"{domain}.enable")
            tools.call("Network.setBlockedURLs", urls=list(EXTERNAL))
            for spec in args.pages:
                name, _, count = spec.rpartition(":")
                page = args.site / name
                shot = shots / (name.replace("/", "_").removesuffix(".html") + ".png")
                failures += [f"{name}: {p}" for p in check_page(tools, page, int(count), shot)]
        finally:
            process.terminate()
            process.wait(timeout=30)
    for failure in failures:
        print(f"FAIL {failure}")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
