"""Traffic schedules for the process tests: .SCH records written at their
byte positions, and the verification file (.VER) read back by them."""
import os


def record(kind, date, start, minutes, brk, pos, seconds, spot):
    """One record: kind LOI or NUL, date MMDD, window start HHMM and duration
    HHMM, break number, position, scheduled length in seconds, spot id."""
    return " ".join([kind, date, "120000", start, minutes, "%03d" % brk, "%03d" % pos,
                     "0000%02d" % seconds, "000000", "00000000", "000", spot.ljust(11), "0000",
                     "Kestrow Tests".ljust(32), "Spot".ljust(20), "SCHD", "000000"])


def write(path, lines):
    """The schedule at path (CR LF line ends), replaced whole as traffic systems drop theirs."""
    with open(path + ".part", "w", newline="") as f:
        f.write("".join(line + "\r\n" for line in ["REM Kestrow tests"] + lines + ["END"]))
    os.replace(path + ".part", path)


def read_ver(path):
    """The LOI and NUL records of a verification file, by byte position:
    (type, break, position, spot id, aired time, aired length, aired position, status)."""
    with open(path, newline="") as f:
        lines = f.read().split("\r\n")
    return [(l[0:3], int(l[26:29]), int(l[30:33] or 0), l[61:72].strip(), l[41:47], l[48:56], l[57:60], l[73:77])
            for l in lines if l[:3] in ("LOI", "NUL")]
