"""Decoded pictures of a transport stream, as a viewer sees them: where the
programme is back after a break (its own pictures, or pictures re-encoded
from them), read on the pictures themselves rather than on the packets."""
import math
import subprocess

FFMPEG = ["ffmpeg", "-v", "error", "-nostdin", "-copyts"]


def decode_errors(path):
    """What the library's decoders say about the whole file (empty: nothing)."""
    return subprocess.run(FFMPEG + ["-i", path, "-f", "null", "-"], stdout=subprocess.DEVNULL,
                          stderr=subprocess.PIPE, text=True).stderr


def key_frames(path):
    """pts of the video's key frames, in order."""
    out = subprocess.run(["ffprobe", "-v", "error", "-select_streams", "v:0", "-show_entries", "packet=pts,flags",
                          "-of", "csv=p=0", path], stdout=subprocess.PIPE, text=True).stdout
    return sorted(int(pts) for pts, flags in (l.split(",")[:2] for l in out.split()) if "K" in flags)


def luma(path, lo, hi, size):
    """{pts: luma plane} of the pictures shown in [lo, hi] (90 kHz)."""
    pts = subprocess.run(["ffprobe", "-v", "error", "-select_streams", "v:0", "-show_entries", "frame=pts",
                          "-of", "csv=p=0", path], stdout=subprocess.PIPE, text=True).stdout.split()
    pts = [t.split(",")[0] for t in pts if t.split(",")[0].isdigit()]
    raw = subprocess.run(FFMPEG + ["-i", path, "-map", "0:v:0", "-fps_mode", "passthrough", "-f", "rawvideo",
                                   "-pix_fmt", "gray", "-"], stdout=subprocess.PIPE).stdout
    assert len(raw) == len(pts) * size, "%s: %d pictures, %d bytes" % (path, len(pts), len(raw))
    return {int(t): raw[i * size:(i + 1) * size] for i, t in enumerate(pts) if lo <= int(t) <= hi}


def psnr(a, b):
    mse = sum((x - y) * (x - y) for x, y in zip(a, b)) / len(a)
    return math.inf if mse == 0 else 10 * math.log10(255 * 255 / mse)


def programme_back(out, prog, end, key, frame, size=320 * 240, floor=38.0):
    """Where the programme's pictures are back in out around a return
    announced at end whose next key frame in prog is key: the first pts from
    which every picture of out up to one GOP after key is the programme's
    (the same from key on, at least floor dB against it before). Returns
    (that pts, {pts: PSNR} of the pictures before key)."""
    lo, hi = end - 2 * frame, key + 2 * frame
    got, want = luma(out, lo, hi, size), luma(prog, lo, hi, size)
    scores = {t: psnr(got[t], want[t]) for t in sorted(want) if t in got}
    back = None
    for t in sorted(scores, reverse=True):
        if scores[t] < (math.inf if t >= key else floor):
            break
        back = t
    return back, {t: s for t, s in scores.items() if back is not None and back <= t < key}
