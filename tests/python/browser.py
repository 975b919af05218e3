"""A headless Chromium driven over its DevTools pipe: open a page, evaluate
JavaScript in it, take a screenshot. Standard library only; the pipe is file
descriptors 3 (to the browser) and 4 (from it), messages are JSON ended by a
NUL byte."""

from __future__ import annotations

import base64
import json
import os
import shlex
import shutil
import subprocess
import tempfile
import time
from typing import Any


def chromium() -> str | None:
    return shutil.which("chromium") or shutil.which("chromium-browser")


class Browser:
    def __init__(self, width: int = 1280, height: int = 900, timeout: float = 60.0):
        self.timeout = timeout
        self._profile = tempfile.TemporaryDirectory(prefix="orvik-chromium-")
        to_browser, self._to = os.pipe()
        self._from, from_browser = os.pipe()
        args = [
            chromium(),
            "--headless",
            "--remote-debugging-pipe",
            "--no-sandbox",
            "--disable-gpu",
            "--no-first-run",
            "--disable-extensions",
            "--disable-background-networking",
            f"--user-data-dir={self._profile.name}",
            f"--window-size={width},{height}",
            "about:blank",
        ]
        # The browser reads its pipe on descriptor 3 and writes on 4.
        command = f"exec {shlex.join(args)} 3<&{to_browser} 4>&{from_browser}"
        self._process = subprocess.Popen(
            ["bash", "-c", command],
            pass_fds=(to_browser, from_browser),
            stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL,
        )
        os.close(to_browser)
        os.close(from_browser)
        self._buffer = b""
        self._next_id = 0
        self.events: list[dict[str, Any]] = []
        target = self.call("Target.createTarget", url="about:blank")["targetId"]
        self._session = self.call("Target.attachToTarget", targetId=target, flatten=True)[
            "sessionId"
        ]
        self.call("Page.enable", session=True)
        self.call("Runtime.enable", session=True)

    def _read(self, deadline: float) -> dict[str, Any]:
        while b"\0" not in self._buffer:
            if time.monotonic() > deadline:
                raise TimeoutError("no answer from chromium")
            chunk = os.read(self._from, 1 << 16)
            if not chunk:
                raise RuntimeError("chromium closed its pipe")
            self._buffer += chunk
        message, self._buffer = self._buffer.split(b"\0", 1)
        return json.loads(message)

    def call(self, method: str, session: bool = False, **params: Any) -> dict[str, Any]:
        self._next_id += 1
        message: dict[str, Any] = {"id": self._next_id, "method": method, "params": params}
        if session:
            message["sessionId"] = self._session
        os.write(self._to, json.dumps(message).encode() + b"\0")
        deadline = time.monotonic() + self.timeout
        while True:
            answer = self._read(deadline)
            if answer.get("id") == self._next_id:
                if "error" in answer:
                    raise RuntimeError(f"{method}: {answer['error']}")
                return answer["result"]
            self.events.append(answer)

    def open(self, url: str) -> None:
        """Navigate and wait until the page and its images have loaded."""
        self.events.clear()
        self.call("Page.navigate", session=True, url=url)
        deadline = time.monotonic() + self.timeout
        while not any(e.get("method") == "Page.loadEventFired" for e in self.events):
            self.events.append(self._read(deadline))

    def evaluate(self, expression: str) -> Any:
        result = self.call(
            "Runtime.evaluate",
            session=True,
            expression=expression,
            returnByValue=True,
            awaitPromise=True,
        )
        if "exceptionDetails" in result:
            raise RuntimeError(f"{expression}: {result['exceptionDetails']}")
        return result["result"].get("value")

    def screenshot(self) -> bytes:
        data = self.call("Page.captureScreenshot", session=True, format="png")["data"]
        return base64.b64decode(data)

    def close(self) -> None:
        try:
            self.call("Browser.close")
        except (RuntimeError, TimeoutError, OSError):
            pass
        try:
            self._process.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self._process.kill()
            self._process.wait()
        os.close(self._to)
        os.close(self._from)
        self._profile.cleanup()
