"""What bench/ocr_accuracy and bench/ocr_windows share: the edit distance, the Chinese character
class, and a frame passed through libx264 the way a screen recording passes it."""
import os
import subprocess

# Chinese characters, CJK signs and full-width forms.
CJK = "\u2e80-\u303f\u3400-\u4dbf\u4e00-\u9fff\uf900-\ufaff\ufe30-\ufe4f\uff00-\uffef"


def distance(a, b):
    """Levenshtein distance between two strings."""
    if len(a) < len(b):
        a, b = b, a
    previous = list(range(len(b) + 1))
    for i, ca in enumerate(a, 1):
        current = [i]
        for j, cb in enumerate(b, 1):
            current.append(min(previous[j] + 1, current[j - 1] + 1, previous[j - 1] + (ca != cb)))
        previous = current
    return previous[-1]


def encode(source, target, filters, crf):
    """|source| through libx264 at |crf| in 4:2:0 after the ffmpeg |filters| (empty, or ending in a
    comma), one decoded frame written as |target|."""
    movie = target + ".mp4"
    quiet = ["ffmpeg", "-nostdin", "-v", "error", "-y"]
    subprocess.run(quiet + ["-i", source, "-vf", filters + "format=yuv420p", "-c:v", "libx264",
                            "-threads", "1", "-crf", str(crf), "-frames:v", "1", movie], check=True)
    subprocess.run(quiet + ["-i", movie, "-frames:v", "1", target + ".tmp.png"], check=True)
    os.replace(target + ".tmp.png", target)
    os.remove(movie)
