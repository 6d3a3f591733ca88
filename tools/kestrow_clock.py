"""The wrap of MPEG-TS clocks, for the tools, tests and benchmarks.

PTS and DTS count 90 kHz ticks in 33 bits; a PCR counts 27 MHz ticks, 300
to a 90 kHz tick, and wraps with them. A stream carries each value modulo
its wrap: a difference is taken the short way round, a value read near a
reference is put on the reference's side of the wrap.
"""

WRAP = 1 << 33            # 90 kHz ticks after which a PTS or DTS starts again at 0
PCR_WRAP = WRAP * 300     # 27 MHz ticks after which a PCR starts again at 0


def diff(a, b, wrap=WRAP):
    """a - b the short way round the wrap: in [-wrap / 2, wrap / 2)."""
    return (a - b + wrap // 2) % wrap - wrap // 2


def pcr_diff(a, b):
    """a - b of two PCRs (27 MHz) the short way round."""
    return diff(a, b, PCR_WRAP)


def nearest(value, ref, wrap=WRAP):
    """value moved by whole wraps to the one nearest ref (an unwrapped time line)."""
    return value + round((ref - value) / wrap) * wrap
