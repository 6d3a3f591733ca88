"""The stream checker: continuity errors are found where they are, output
formats agree, a live UDP input is read like a file, failures are reported."""
import json
import os
import socket
import subprocess
import sys
import time
import unittest

import kt
from scte35_reader import ts_packets

sys.path.insert(0, os.environ["KESTROW_TOOLS"])
import kestrow_gen  # noqa: E402

CHECK = os.path.join(kt.TOOLS_BIN, "kestrow_check")


def run(*args, timeout=60):
    return subprocess.run([CHECK] + list(args), stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          timeout=timeout)


class Checker(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = kt.scratch()
        cls.path = os.path.join(cls.tmp.name, "prog.ts")
        cls.info = kestrow_gen.generate(cls.path, duration=4,
                                        cues=["at=2,dur=1,lead=1,id=3", "type=null,send=0.5"])
        cls.packets = list(ts_packets(cls.path))

    @classmethod
    def tearDownClass(cls):
        cls.tmp.cleanup()

    def write(self, name, packets):
        path = os.path.join(self.tmp.name, name)
        with open(path, "wb") as f:
            for p in packets:
                f.write(p)
        return path

    def cc(self, path):
        res = run("--cc", path)
        return res.returncode, kestrow_gen.parse_check(res.stdout.decode())

    def test_continuity_errors_counted_per_pid(self):
        raw = [p for _, _, p in self.packets]
        code, r = self.cc(self.path)
        self.assertEqual((code, r["total"]["errors"]), (0, 0))
        self.assertEqual(r["total"]["packets"], len(raw))
        self.assertEqual(sum(n for n, _ in r["cc"].values()), len(raw))

        audio = [n for n, (_, pid, _) in enumerate(self.packets) if pid == 0x101]
        video = [n for n, (_, pid, _) in enumerate(self.packets) if pid == 0x100]
        # One lost audio packet, two lost video packets far apart.
        lost = set([audio[10], video[40], video[400]])
        code, r = self.cc(self.write("lost.ts", [p for n, p in enumerate(raw) if n not in lost]))
        self.assertEqual(code, 1)
        self.assertEqual({pid: e for pid, (_, e) in r["cc"].items() if e}, {0x101: 1, 0x100: 2})

        # A packet sent twice is allowed once (ISO/IEC 13818-1), not three times.
        twice = raw[:audio[5] + 1] + [raw[audio[5]]] + raw[audio[5] + 1:]
        code, r = self.cc(self.write("dup.ts", twice))
        self.assertEqual((code, r["total"]["errors"]), (0, 0))
        thrice = raw[:audio[5] + 1] + [raw[audio[5]]] * 2 + raw[audio[5] + 1:]
        code, r = self.cc(self.write("dup3.ts", thrice))
        self.assertEqual((code, r["cc"][0x101][1]), (1, 1))

        # A jump marked with discontinuity_indicator is no error.
        n = next(n for n in audio[20:] if raw[n][3] & 0x20 and raw[n][4] > 0)
        marked = [self.bump(p, 5) if i >= n and self.packets[i][1] == 0x101 else p
                  for i, p in enumerate(raw)]
        p = bytearray(marked[n])
        p[5] |= 0x80
        marked[n] = bytes(p)
        code, r = self.cc(self.write("disc.ts", marked))
        self.assertEqual((code, r["total"]["errors"]), (0, 0))
        marked[n] = self.bump(raw[n], 5)             # the same jump unmarked
        code, r = self.cc(self.write("jump.ts", marked))
        self.assertEqual((code, r["cc"][0x101][1]), (1, 1))

        # Garbage between packets: one sync loss, then packets found again.
        path = os.path.join(self.tmp.name, "garbage.ts")
        with open(path, "wb") as f:
            f.write(b"".join(raw[:100]) + b"\x00" * 50 + b"".join(raw[100:]))
        code, r = self.cc(path)
        self.assertEqual((code, r["total"]["sync_losses"], r["total"]["packets"]), (1, 1, len(raw)))

    @staticmethod
    def bump(packet, k):
        p = bytearray(packet)
        p[3] = (p[3] & 0xF0) | ((p[3] + k) & 0x0F)
        return bytes(p)

    def test_json_matches_tab_separated(self):
        tsv = kestrow_gen.parse_check(run("--hex", self.path).stdout.decode())
        js = json.loads(run("--json", "--hex", self.path).stdout)
        self.assertEqual(js["version"], 1)
        self.assertEqual(js["programs"][0]["descriptors"], ["reg=CUEI"])
        self.assertEqual([(s["pid"], s["stream_type"], s["codec"]) for s in js["streams"]],
                         [(s["pid"], s["stream_type"], s["codec"]) for s in tsv["streams"]])
        self.assertEqual(len(js["packets"]), len(tsv["packets"]))
        for a, b in zip(js["packets"], tsv["packets"]):
            self.assertEqual((a["pid"], a["pts"], a["dts"], a["duration"], a["key"], a["hash"]),
                             (b["pid"], b["pts"], b["dts"], b["duration"], b["key"], b["hash"]))
            self.assertEqual(a["data"], None if b["data"] is None else b["data"].hex())
        self.assertEqual(js["end"], tsv["end"])
        self.assertEqual(tsv["end"]["packets"], len(tsv["packets"]))
        # --count stops early and says so.
        r = kestrow_gen.parse_check(run("--count", "7", self.path).stdout.decode())
        self.assertEqual((len(r["packets"]), r["end"]["status"]), (7, "count"))
        # --hex-all dumps every packet, and the hash is of those bytes.
        r = kestrow_gen.parse_check(run("--hex-all", "--count", "30", self.path).stdout.decode())
        self.assertTrue(all(p["data"] is not None and len(p["data"]) == p["size"] for p in r["packets"]))

    def test_udp_input_like_a_file(self):
        port = kt.free_port(socket.SOCK_DGRAM)
        proc = subprocess.Popen([CHECK, "--hex", "--duration", "4",
                                 "udp://127.0.0.1:%d?fifo_size=100000" % port],
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        try:
            time.sleep(0.7)
            data = b"".join(p for _, _, p in self.packets)
            with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
                for i in range(0, len(data), 1316):
                    s.sendto(data[i:i + 1316], ("127.0.0.1", port))
                    if i % (1316 * 10) == 0:
                        time.sleep(0.005)
            out, err = proc.communicate(timeout=20)
        finally:
            kt.stop(proc)
        self.assertEqual(proc.returncode, 0, err.decode())
        r = kestrow_gen.parse_check(out.decode())
        self.assertEqual(r["end"]["status"], "stopped")
        self.assertEqual([(s["pid"], s["stream_type"]) for s in r["streams"]],
                         [(0x100, 0x1B), (0x101, 0x0F), (0x102, 0x03), (0x590, 0x86)])
        self.assertIn("reg=CUEI", r["programs"][0]["descriptors"])
        got = [p["data"].hex() for p in r["packets"] if p["pid"] == 0x590]
        self.assertEqual(got, [c["section"] for c in sorted(self.info["cues"], key=lambda c: c["packet"])])
        file_list = kestrow_gen.parse_check(run(self.path).stdout.decode())
        self.assertEqual(len(r["packets"]), len(file_list["packets"]))

    def test_failures(self):
        res = run()
        self.assertEqual(res.returncode, 2)
        self.assertIn("usage: kestrow_check", res.stderr.decode())
        self.assertEqual(run("--bogus", self.path).returncode, 2)
        res = run(os.path.join(self.tmp.name, "missing.ts"))
        self.assertEqual(res.returncode, 2)
        self.assertIn("cannot open", res.stderr.decode())
        empty = self.write("empty.ts", [])
        res = run(empty)
        self.assertEqual(res.returncode, 2)
        self.assertIn("kestrow_check", res.stderr.decode())
        # A cut-off file is read to its end: what it holds is listed.
        half = self.write("half.ts", [p for _, _, p in self.packets[:len(self.packets) // 2]])
        with open(half, "ab") as f:
            f.write(self.packets[-1][2][:100])
        r = kestrow_gen.parse_check(run(half).stdout.decode())
        self.assertEqual(r["end"]["status"], "eof")
        self.assertGreater(len(r["packets"]), 100)


if __name__ == "__main__":
    unittest.main(verbosity=2)
