"""Decoded pictures of a transport stream, as a viewer sees them: where the
programme is back after a break (its own pictures, or pictures re-encoded
from them), read on the pictures themselves rather than on the packets; and
the checker's judgement of every picture of an output (check)."""
import json
import math
import os
import re
import subprocess

# One decoding per file, kept for the files a test reads again (programme,
# filler, output): each decoding costs more than the test's own reading.
_decoded = {}
_KEPT = 4
_FRAME = re.compile(r"\[info\] n: *\d+ pts: *(-?\d+|NOPTS) .* s:(\d+)x(\d+) ")
_ERROR = re.compile(r"\[(error|fatal|panic)\] ")


def _decode(path):
    """(error lines, [(pts or None, luma plane)] in output order) of the
    first video stream, the audio decoded too for its errors."""
    st = os.stat(path)
    key = (os.path.realpath(path), st.st_ino, st.st_size, st.st_mtime_ns)
    if key not in _decoded:
        res = subprocess.run(["ffmpeg", "-nostdin", "-hide_banner", "-loglevel", "level+info", "-threads", "1", "-copyts", "-i", path,
                              "-map", "0:v:0", "-fps_mode", "passthrough", "-vf", "showinfo", "-f", "rawvideo",
                              "-pix_fmt", "gray", "pipe:1", "-map", "0:a?", "-f", "null", "-"],
                             stdin=subprocess.DEVNULL, capture_output=True, timeout=300)
        lines = res.stderr.decode(errors="replace").splitlines()
        errors = [_ERROR.sub("", line) for line in lines if _ERROR.search(line)]
        frames = [m.groups() for m in map(_FRAME.search, lines) if m]
        raw, pics, at = res.stdout, [], 0
        for pts, w, h in frames:
            size = int(w) * int(h)
            pics.append((None if pts == "NOPTS" else int(pts), raw[at:at + size]))
            at += size
        assert at == len(raw), "%s: %d pictures in %d bytes" % (path, len(frames), len(raw))
        if len(_decoded) >= _KEPT:
            del _decoded[next(iter(_decoded))]
        _decoded[key] = errors, pics
    return _decoded[key]


def decode_errors(path):
    """What the library's decoders say about the file's video and audio
    (empty: nothing)."""
    return "\n".join(_decode(path)[0])


def key_frames(path):
    """pts of the video's key frames, in order."""
    out = subprocess.run(["ffprobe", "-v", "error", "-select_streams", "v:0", "-show_entries", "packet=pts,flags",
                          "-of", "csv=p=0", path], stdout=subprocess.PIPE, text=True).stdout
    return sorted(int(pts) for pts, flags in (l.split(",")[:2] for l in out.split()) if "K" in flags)


def luma(path, lo=0, hi=1 << 40):
    """{pts: luma plane} of the pictures shown in [lo, hi] (90 kHz)."""
    return {t: pic for t, pic in _decode(path)[1] if t is not None and lo <= t <= hi}


def psnr(a, b):
    mse = sum((x - y) * (x - y) for x, y in zip(a, b)) / len(a)
    return math.inf if mse == 0 else 10 * math.log10(255 * 255 / mse)


def programme_back(out, prog, end, key, frame, floor=38.0):
    """Where the programme's pictures are back in out around a return
    announced at end whose next key frame in prog is key: the first pts from
    which every picture of out up to one GOP after key is the programme's
    (the same from key on, at least floor dB against it before). Returns
    (that pts, {pts: PSNR} of the pictures before key)."""
    lo, hi = end - 2 * frame, key + 2 * frame
    got, want = luma(out, lo, hi), luma(prog, lo, hi)
    scores = {t: psnr(got[t], want[t]) for t in sorted(want) if t in got}
    back = None
    for t in sorted(scores, reverse=True):
        if scores[t] < (math.inf if t >= key else floor):
            break
        back = t
    return back, {t: s for t, s in scores.items() if back is not None and back <= t < key}


def check(output, programme, fillers=(), asrun=None, points=()):
    """kestrow_check --pictures: every picture of output classed against the
    programme's and the fillers' (and spots') own decodes, the breaks with
    their frames off the announced start and return (the as-run file's
    breaks, or points: start or (start, end), 90 kHz on the output's clock),
    the holes and each file's decoding errors; the JSON parsed (its fields
    are at the head of tools/kestrow_pictures.cpp)."""
    args = [os.path.join(os.environ.get("KESTROW_TOOLS_BIN", ""), "kestrow_check"), "--pictures", output,
            "--input", programme, "--json"]
    for path in fillers:
        args += ["--filler", path]
    if asrun:
        args += ["--asrun", asrun]
    for p in points:
        args += ["--point", "%d:%d" % p if isinstance(p, tuple) else str(p)]
    res = subprocess.run(args, capture_output=True, timeout=300)
    if res.returncode != 0:
        raise RuntimeError("kestrow_check --pictures %s failed (%d): %s"
                           % (output, res.returncode, res.stderr.decode(errors="replace")))
    return json.loads(res.stdout)
