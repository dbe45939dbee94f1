"""Debian's Chromium, driven headless through ChromeDriver's WebDriver protocol: it records movies
with its own MediaRecorder, the way a desktop app built on a web engine does, and plays movies to
their end in its own media stack, the way a user's browser does. Only the standard library.
"""

import base64
import json
import os
import socket
import subprocess
import time
import urllib.request

CHROMIUM = "/usr/bin/chromium"
CHROMEDRIVER = "/usr/bin/chromedriver"

# The machine has no network beyond loopback: without these Chromium keeps dialling out.
ARGS = ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
        "--disable-background-networking", "--disable-component-update", "--disable-sync",
        "--autoplay-policy=no-user-gesture-required", "--mute-audio"]


def available():
    return os.access(CHROMIUM, os.X_OK) and os.access(CHROMEDRIVER, os.X_OK)


# Records a canvas animation with a 1 kHz tone, every job [mimeType, seconds] at once from one
# stream, each about |seconds| long; resolves to the base64 bytes of each job's file, or to the
# first error.
RECORD = """
const [jobs, width, height] = arguments;
const done = arguments[arguments.length - 1];
const canvas = document.createElement('canvas');
canvas.width = width; canvas.height = height;
const g = canvas.getContext('2d');
let frame = 0;
const timer = setInterval(() => {
  g.fillStyle = `hsl(${(frame * 7) % 360} 70% 50%)`; g.fillRect(0, 0, width, height);
  g.fillStyle = '#fff'; g.font = `${height / 4}px sans-serif`; g.fillText(String(frame++), 8, height / 2);
}, 1000 / 30);
const audio = new AudioContext();
const tone = audio.createOscillator(); tone.frequency.value = 1000;
const sink = audio.createMediaStreamDestination(); tone.connect(sink); tone.start();
const stream = new MediaStream([...canvas.captureStream(30).getVideoTracks(),
                                ...sink.stream.getAudioTracks()]);
Promise.all(jobs.map(([mimeType, seconds]) => new Promise((resolve, reject) => {
  const recorder = new MediaRecorder(stream, {mimeType});
  const chunks = [];
  // On a loaded machine an encoder can take a second to deliver anything: the time counts from
  // its first data.
  recorder.ondataavailable = e => {
    if (e.data.size > 0 && chunks.length === 0) setTimeout(() => recorder.stop(), seconds * 1000);
    if (e.data.size > 0) chunks.push(e.data);
  };
  recorder.onerror = e => reject(`${mimeType}: ${e.error}`);
  recorder.onstop = () => new Blob(chunks).arrayBuffer().then(buffer => {
    const bytes = new Uint8Array(buffer);
    let text = '';
    for (let i = 0; i < bytes.length; i += 0x8000) {
      text += String.fromCharCode(...bytes.subarray(i, i + 0x8000));
    }
    resolve(btoa(text));
  });
  recorder.start(100);
}))).then(files => { clearInterval(timer); done({files}); },
          e => { clearInterval(timer); done({error: String(e)}); });
"""

# Plays every movie muted at eight times its speed, all at once, to its end; resolves to what each
# element saw: ended, duration and where it stopped, or the media error.
PLAY = """
const done = arguments[arguments.length - 1];
Promise.all(arguments[0].map(src => new Promise(resolve => {
  const v = document.createElement('video');
  v.muted = true;
  document.body.appendChild(v);
  v.onerror = () => resolve({error: `${v.error.code} ${v.error.message}`});
  v.onended = () => resolve({ended: true, duration: v.duration, currentTime: v.currentTime});
  v.onloadedmetadata = () => { v.playbackRate = 8; v.play().catch(e => resolve({error: String(e)})); };
  v.src = src;
}))).then(done);
"""


class Browser:
    """One headless Chromium session. Use as a context manager."""

    def __init__(self, script_timeout_s=60):
        sock = socket.socket()
        sock.bind(("127.0.0.1", 0))
        port = sock.getsockname()[1]
        sock.close()
        self._base = f"http://127.0.0.1:{port}"
        self._driver = subprocess.Popen([CHROMEDRIVER, f"--port={port}"],
                                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + 10
        while True:
            try:
                self._call("GET", "/status")
                break
            except OSError:
                if time.monotonic() > deadline:
                    self.close()
                    raise RuntimeError("chromedriver did not answer within 10 s")
                time.sleep(0.05)
        capabilities = {"capabilities": {"alwaysMatch": {
            "goog:chromeOptions": {"binary": CHROMIUM, "args": ARGS}}}}
        self._session = self._call("POST", "/session", capabilities)["sessionId"]
        self._call("POST", self._path("timeouts"), {"script": script_timeout_s * 1000})
        # A page of our own origin, so that file:// movies may be played from it.
        self._call("POST", self._path("url"), {"url": "file:///"})

    def _path(self, what=None):
        return f"/session/{self._session}" + (f"/{what}" if what else "")

    def _call(self, method, path, body=None):
        data = None if body is None else json.dumps(body).encode()
        request = urllib.request.Request(self._base + path, method=method, data=data,
                                         headers={"Content-Type": "application/json"})
        with urllib.request.urlopen(request, timeout=120) as response:
            return json.load(response)["value"]

    def run(self, script, *args):
        return self._call("POST", self._path("execute/async"),
                          {"script": script, "args": list(args)})

    def can_play(self, content_type):
        return self._call("POST", self._path("execute/sync"), {
            "script": "return document.createElement('video').canPlayType(arguments[0]);",
            "args": [content_type]})

    def can_record(self, mime_type):
        return self._call("POST", self._path("execute/sync"), {
            "script": "return MediaRecorder.isTypeSupported(arguments[0]);",
            "args": [mime_type]})

    def record(self, jobs, width=320, height=240):
        """Records every (mime type, seconds) job at once; returns the bytes of each file."""
        result = self.run(RECORD, [list(job) for job in jobs], width, height)
        if "error" in result:
            raise RuntimeError(f"MediaRecorder {result['error']}")
        return [base64.b64decode(text) for text in result["files"]]

    def play(self, paths):
        """Plays every movie to its end: per path a dict with ended/duration/currentTime, or with
        error."""
        return self.run(PLAY, ["file://" + os.path.abspath(path) for path in paths])

    def close(self):
        if getattr(self, "_session", None):
            try:
                self._call("DELETE", self._path())
            except OSError:
                pass
        self._driver.terminate()
        self._driver.wait(timeout=10)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
