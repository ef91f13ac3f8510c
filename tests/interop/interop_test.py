#!/usr/bin/env python3
"""Cross-checks the C++ tools against the reference implementation in
pvformat.py, through pvpack's command line.

    interop_test.py --pvpack PATH [unittest options, e.g. -v or a test name]

Streams go both ways between the two encoders and decoders; damaged streams
must give the reference decoder's result and output; archives written here
must extract exactly, damaged ones with the documented exit status and,
where the whole-archive check fails, without touching the destination;
archives that pvpack packs must read back here.
"""

import argparse
import errno
import json
import os
import pty
import random
import resource
import shutil
import signal
import stat
import subprocess
import sys
import tempfile
import time
import unittest

sys.dont_write_bytecode = True   # keep the source tree clean
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import pvformat as pf  # noqa: E402

PVPACK = ""

# A fixed zone three hours east of UTC without daylight saving: a time
# written as UTC instead of local time shows, and no local hour is ambiguous.
os.environ["TZ"] = "PVT-3"
time.tzset()


def line():
    """The caller's line number, to name a row of a table."""
    return sys._getframe(1).f_lineno


def pvpack(*args, stdin=None, cwd=None):
    return subprocess.run([PVPACK, *args], input=stdin, capture_output=True, cwd=cwd, timeout=120)


def make_samples():
    rnd = random.Random(7)
    words = [b"orbit", b"planner", b"epoch", b"node", b"Pavlane", b"chart", b"\r\n", b"the", b"of"]
    return {
        "empty": b"",
        "one byte": b"x",
        "text": pf.SAMPLE_TEXT * 40,
        "words": b" ".join(rnd.choice(words) for _ in range(6000)),
        "noise": bytes(rnd.randrange(256) for _ in range(6000)),
        "zeros": bytes(9000),
        "all bytes": bytes(range(256)) * 3 + bytes(range(255, -1, -1)),
        # repeats just inside and just beyond each dictionary size
        "far repeats": b"".join(bytes(rnd.randrange(256) for _ in range(n)) * 2
                                for n in (1020, 1030, 2040, 2060, 4090, 4100)),
    }


SAMPLES = make_samples()
MODES = [(ascii_mode, dict_bits) for ascii_mode in (False, True) for dict_bits in (4, 5, 6)]


class TempDirTest(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="pvinterop-")

    def tearDown(self):
        shutil.rmtree(self.tmp)

    def path(self, *parts):
        return os.path.join(self.tmp, *parts)

    def write(self, name, data):
        p = self.path(name)
        os.makedirs(os.path.dirname(p), exist_ok=True)
        with open(p, "wb") as f:
            f.write(data)
        return p

    def read(self, path):
        with open(path, "rb") as f:
            return f.read()


class ReferenceSelfCheck(unittest.TestCase):
    """The reference against known values, so that pvpack is not compared
    with a reference that is wrong in the same way."""

    def test_codes(self):
        for got, want in ((pf.LENGTH_CODES[1], 0x03), (pf.LENGTH_CODES[0], 0x05),
                          (pf.LENGTH_CODES[15], 0x00), (pf.DISTANCE_CODES[0], 0x03),
                          (pf.LITERAL_CODES[ord(" ")], 0x0F), (pf.LITERAL_CODES[ord("E")], 0x17)):
            self.assertEqual(got, want)
        for bits in (pf.LENGTH_BITS, pf.DISTANCE_BITS, pf.LITERAL_BITS):
            self.assertEqual(sum(2 ** -b for b in bits), 1.0)   # complete codes

    def test_crc_register(self):
        self.assertEqual(pf.crc_register(b"abc"), 0xCADBBE3D)
        self.assertEqual(pf.crc_register(b""), 0xFFFFFFFF)
        # the complements of the common check values of CRC-32
        self.assertEqual(pf.crc_register(b"123456789"), 0xCBF43926 ^ 0xFFFFFFFF)
        self.assertEqual(pf.crc_register(b"The quick brown fox jumps over the lazy dog"),
                         0x414FA339 ^ 0xFFFFFFFF)
        part = pf.crc_register(b"12345")
        self.assertEqual(pf.crc_register(b"6789", part), pf.crc_register(b"123456789"))

    def test_scrambling(self):
        self.assertEqual(pf.key_state(b""), 0)
        self.assertEqual(pf.key_state(b"A"), 0x4100)
        self.assertEqual(pf.key_state(b"\0\0\0Z"), 0x5A)
        self.assertEqual(pf.key_state(b"k" * 65536), 0)
        self.assertEqual(pf.Scrambler().crypt(b"\x42")[0], 0x42)   # first state 1, top byte 0
        data = SAMPLES["text"]
        whole = pf.Scrambler(b"key").crypt(data)
        s = pf.Scrambler(b"key")
        self.assertEqual(s.crypt(data[:1000]) + s.crypt(data[1000:]), whole)
        self.assertEqual(pf.Scrambler(b"key").crypt(whole), data)

    def test_known_stream(self):
        self.assertEqual(pf.StreamWriter(False, 4).literal(0x41).end().getvalue(),
                         bytes.fromhex("00 04 82 02 FE 01"))


class Streams(TempDirTest):
    def explode(self, stream):
        """(exit status, output) of pvpack explode on stream."""
        src = self.write("in.imp", stream)
        out = self.path("out.bin")
        p = pvpack("explode", src, out)
        return p.returncode, self.read(out) if os.path.exists(out) else None

    def test_reference_streams_explode_in_pvpack(self):
        for name, data in SAMPLES.items():
            for ascii_mode, dict_bits in MODES:
                with self.subTest(sample=name, ascii=ascii_mode, dict_bits=dict_bits):
                    # An empty file's 4-byte stream is taken as the setup's
                    # reader takes it: empty, and sound.
                    want = (0, data)
                    self.assertEqual(self.explode(pf.implode(data, ascii_mode, dict_bits)), want)

    def test_pvpack_streams_decode_in_reference(self):
        for name, data in SAMPLES.items():
            src = self.write("in.bin", data)
            for ascii_mode, dict_bits in MODES:
                with self.subTest(sample=name, ascii=ascii_mode, dict_bits=dict_bits):
                    out = self.path("out.imp")
                    args = (["--ascii"] if ascii_mode else []) + ["--dict", str(64 << dict_bits)]
                    p = pvpack("implode", *args, src, out)
                    self.assertEqual(p.returncode, 0, p.stderr)
                    stream = self.read(out)
                    self.assertEqual(stream[:2], bytes([int(ascii_mode), dict_bits]))
                    want = (pf.DCL_OK, data) if data else (pf.DCL_TOO_SHORT, b"")
                    self.assertEqual(pf.explode(stream), want)

    def test_standard_input_and_output(self):
        data = SAMPLES["words"]
        p = pvpack("implode", "--ascii", "-", "-", stdin=data)
        self.assertEqual(p.returncode, 0, p.stderr)
        self.assertEqual(pf.explode(p.stdout), (0, data))
        p = pvpack("explode", "-", "-", stdin=pf.implode(data, True, 5))
        self.assertEqual((p.returncode, p.stdout), (0, data))

    def test_damaged_streams_decode_as_the_reference_says(self):
        rnd = random.Random(11)
        good = pf.implode(SAMPLES["words"][:3000] + SAMPLES["noise"][:300], True, 5)
        cases = [("cut at %d" % n, good[:n])
                 for n in sorted(set(list(range(12)) + rnd.sample(range(len(good)), 40)))]
        for _ in range(60):
            bit = rnd.randrange(8 * len(good))
            damaged = bytearray(good)
            damaged[bit // 8] ^= 1 << (bit % 8)
            cases.append(("bit %d flipped" % bit, bytes(damaged)))
        cases.append(("garbage after the end", good + b"\xff" * 5))
        cases.append(("noise", SAMPLES["noise"][:700]))
        for label, stream in cases:
            with self.subTest(label):
                empty = len(stream) == 4 and stream[0] in (0, 1) and stream[1] in (4, 5, 6)
                self.assertEqual(self.explode(stream), (0, b"") if empty else pf.explode(stream))


def tree_of(root):
    """{relative path with "\\": (bytes, mode, mtime)} of the files below root."""
    files = {}
    for dirpath, _, names in os.walk(root):
        for n in names:
            p = os.path.join(dirpath, n)
            st = os.stat(p)
            with open(p, "rb") as f:
                files[os.path.relpath(p, root).replace(os.sep, "\\")] = (f.read(), st.st_mode, st.st_mtime)
    return files


def is_read_only(mode):
    return not mode & stat.S_IWUSR


ENTRIES = [
    pf.Entry(b"readme.txt", pf.SAMPLE_TEXT, pf.dos_datetime(2004, 6, 15, 12, 30, 44)),
    pf.Entry(b"bin\\orbit.dat", SAMPLES["noise"], pf.dos_datetime(1999, 12, 31, 23, 59, 58)),
    pf.Entry(b"bin\\locked.cfg", b"[orbit]\r\nepoch=2451545.0\r\n",
             pf.dos_datetime(2003, 3, 1, 0, 0, 0), attributes=pf.ATTR_ARCHIVE | pf.ATTR_READONLY),
    pf.Entry(b"empty.log", b"", pf.dos_datetime(2010, 1, 2, 3, 4, 6)),
    pf.Entry(b"Charts\\Deep\\Sky\\m31.chart", SAMPLES["far repeats"], pf.dos_datetime(1980, 1, 1, 0, 0, 0)),
]


class Archives(TempDirTest):
    def extract(self, archive, dest=None):
        """Runs pvpack extract on archive bytes; returns (exit status, stderr)."""
        src = self.write("archive.pvz", archive)
        p = pvpack("extract", src, dest or self.path("dest"))
        return p.returncode, p.stderr.decode(errors="replace")

    def assert_extracted(self, root, entries):
        got = tree_of(root)
        self.assertEqual(sorted(got), sorted(e.name.decode() for e in entries))
        for e in entries:
            data, mode, mtime = got[e.name.decode()]
            self.assertEqual(data, e.data, e.name)
            self.assertEqual(is_read_only(mode), bool(e.attributes & pf.ATTR_READONLY), e.name)
            self.assertLessEqual(abs(mtime - pf.dos_to_timestamp(e.dos_time)), 2, e.name)

    def test_reference_archive_extracts_exactly(self):
        dest = self.path("dest")
        os.mkdir(dest)
        status, err = self.extract(pf.write_archive(ENTRIES), dest + "\\\\")
        self.assertEqual(status, 0, err)
        self.assert_extracted(dest, ENTRIES)

    def test_damaged_archives(self):
        good = pf.write_archive(ENTRIES)
        bad_stream = pf.implode(b"ABCDEFGH" * 50, True, 4)

        def with_second(**damage):
            second = ENTRIES[1]
            fields = dict(name=second.name, data=second.data, dos_time=second.dos_time)
            fields.update(damage)
            return pf.write_archive([ENTRIES[0], pf.Entry(**fields)] + ENTRIES[2:])

        # One or two rows for each exit status: the reader's own tests try
        # every byte and field; these check what pvpack makes of its codes.
        # (label, archive, exit status, whether the destination must stay empty)
        rows = [
            ("first body byte flipped", pf.flip_body_byte(good, 0), 5, True),
            ("three bytes", good[:3], 5, True),
            ("size one too large", with_second(size=len(ENTRIES[1].data) + 1), 6, False),
            # Bytes behind the end code go unread only beyond the decoder's
            # last 2048-byte read; a shorter excess is read and passes.
            ("stream with bytes never read",
             with_second(packed=pf.pack_stream(ENTRIES[1].data) + bytes(4096)), 6, False),
            ("stream of other data", with_second(packed=bad_stream), 6, False),
            # Refused by the rules of names before anything is written.
            ("a file where a folder must go",
             pf.write_archive([pf.Entry(b"bin", b"x"), pf.Entry(b"bin\\orbit.dat", b"y")]), 6, True),
        ]
        for label, archive, want, stays_empty in rows:
            with self.subTest(label):
                dest = self.path("dest")
                shutil.rmtree(dest, ignore_errors=True)
                os.mkdir(dest)
                status, err = self.extract(archive, dest)
                self.assertEqual(status, want, err)
                self.assertEqual(len(err.strip().splitlines()), 1, err)
                if stays_empty:
                    self.assertEqual(os.listdir(dest), [])
                elif want == 6:
                    # Files before the failing record stay written, and none
                    # after it is, though it may have been decoded first.
                    self.assertEqual(self.read(os.path.join(dest, "readme.txt")), ENTRIES[0].data)
                    for later in ENTRIES[2:]:
                        path = os.path.join(dest, *later.name.decode().split("\\"))
                        self.assertFalse(os.path.isfile(path), path)
        # Behind a sound first record, a flipped byte makes a damaged archive, not another file.
        status, err = self.extract(pf.flip_body_byte(good, len(good) - 5))
        self.assertEqual((status, "its check value does not match" in err), (5, True), err)

    def test_missing_archive(self):
        p = pvpack("extract", self.path("nothing.pvz"), self.path("dest"))
        self.assertEqual(p.returncode, 1, p.stderr)

    def test_pvpack_archives_read_back(self):
        src = self.path("product")
        os.mkdir(src)
        rnd = random.Random(3)
        letters = bytes(rnd.choice(b"etaoin shrdlu") for _ in range(12000))
        files = {
            "readme.txt": pf.SAMPLE_TEXT * 3,
            "empty.log": b"",
            os.path.join("bin", "orbit.dat"): SAMPLES["noise"],
            os.path.join("bin", "locked.cfg"): b"[orbit]\r\n",
            os.path.join("Charts", "Deep", "m31.chart"): SAMPLES["far repeats"],
            # Letters of text, then noise: ASCII literals lead on the first
            # part, so that pack's race keeps them, where binary ones end
            # smaller.
            os.path.join("Charts", "lead.dat"): letters + SAMPLES["noise"] * 4,
        }
        # An odd second: the DOS time drops it rather than rounding up.
        stamp = time.mktime((2005, 7, 8, 9, 10, 13, 0, 0, -1))
        for i, (rel, data) in enumerate(sorted(files.items())):
            p = self.write(os.path.join("product", rel), data)
            os.utime(p, (stamp + 86400 * i, stamp + 86400 * i))
        os.chmod(os.path.join(src, "bin", "locked.cfg"), 0o444)

        archive = self.path("product.pvz")
        p = pvpack("pack", src, archive)
        self.assertEqual(p.returncode, 0, p.stderr)
        p = pvpack("pack", "-j", "09", src, self.path("again.pvz"))  # 9, both end digits
        again = self.read(self.path("again.pvz"))
        self.assertEqual((p.returncode, again), (0, self.read(archive)), p.stderr)
        result = pf.read_archive(self.read(archive))
        self.assertEqual(result.status, 0)
        want = {rel.replace(os.sep, "\\"): data for rel, data in files.items()}
        self.assertEqual(sorted(r.name.decode() for r in result.records), sorted(want))
        for r in result.records:
            rel = r.name.decode()
            with self.subTest(rel):
                st = os.stat(os.path.join(src, rel.replace("\\", os.sep)))
                self.assertEqual((r.data, r.size, r.check, r.decoder_result),
                                 (want[rel], len(want[rel]), pf.crc_register(want[rel]), 0))
                self.assertEqual(r.dos_time, pf.timestamp_to_dos(st.st_mtime))
                self.assertEqual(bool(r.attributes & pf.ATTR_READONLY), is_read_only(st.st_mode))

        # All six encodings to the end (--smallest): as sound, never larger,
        # and smaller where the race kept the encoding that led early.
        p = pvpack("pack", "--smallest", src, self.path("smallest.pvz"))
        self.assertEqual(p.returncode, 0, p.stderr)
        smallest = pf.read_archive(self.read(self.path("smallest.pvz")))
        self.assertEqual(smallest.status, 0)
        self.assertEqual({r.name.decode(): r.data for r in smallest.records}, want)
        raced = {r.name.decode(): r.packed_size for r in result.records}
        for r in smallest.records:
            self.assertLessEqual(r.packed_size, raced[r.name.decode()], r.name)
            if r.name == b"Charts\\lead.dat":
                self.assertLess(r.packed_size, raced[r.name.decode()])

        # An archive dated past 2038 reads as any other.
        far = time.mktime((2040, 1, 2, 3, 4, 5, 0, 0, -1))
        os.utime(archive, (far, far))
        p = pvpack("list", archive)
        self.assertEqual(p.returncode, 0, p.stderr)
        for name in want:
            self.assertIn(name.encode(), p.stdout)

        dest = self.path("dest")
        status, err = self.extract(self.read(archive), dest)
        self.assertEqual(status, 0, err)
        self.assertEqual({k: v[0] for k, v in tree_of(dest).items()}, want)
        self.assert_extracted(dest, [pf.Entry(r.name, r.data, r.dos_time, r.attributes)
                                     for r in result.records])

    def test_setup_and_verify(self):
        archive = pf.write_archive(ENTRIES)
        # The stub holds the marker text in lower case, as the real one does.
        stub = pf.make_stub() + pf.MARKER.lower() + bytes(range(256)) * 4
        stub_path = self.write("stub.exe", stub)
        archive_path = self.write("payload.pvz", archive)
        setup = self.path("setup.exe")
        p = pvpack("setup", stub_path, archive_path, setup)
        self.assertEqual(p.returncode, 0, p.stderr)
        # pvpack may put a few zero bytes between stub and marker (padding
        # for a later signature); the marker search skips them.
        out = self.read(setup)
        filler = len(out) - len(pf.make_setup(stub, archive))
        self.assertTrue(0 <= filler < 8, filler)
        self.assertEqual(out, pf.make_setup(stub + bytes(filler), archive))
        self.assertEqual(pf.payload_of(out), archive)
        # A setup unpacks as its archive does.
        status, err = self.extract(out)
        self.assertEqual(status, 0, err)
        self.assert_extracted(self.path("dest"), ENTRIES)

        damaged_setup = bytearray(out)
        damaged_setup[out.find(pf.MARKER) + len(pf.MARKER) + 10] ^= 0x10
        rows = [
            ("setup", out, 0),
            ("archive", archive, 0),
            ("setup with a damaged body", bytes(damaged_setup), 5),
            ("archive with a wrong check", pf.write_archive(
                [pf.Entry(b"a.txt", b"data", check=0x12345678)]), 6),
            ("archive with an unsafe name", pf.write_archive([pf.Entry(b"..\\a.txt", b"data")]), 6),
            ("archive with bytes the decoder never reads", pf.write_archive(
                [pf.Entry(b"a.txt", b"data", packed=pf.pack_stream(b"data") + bytes(4096))]), 6),
        ]
        for label, data, want in rows:
            with self.subTest(label):
                p = pvpack("verify", self.write("checked.bin", data))
                self.assertEqual(p.returncode, want, p.stderr)


class TreesAndDates(TempDirTest):
    """What pvpack pack makes of links, special files and SOURCE_DATE_EPOCH."""

    def pack(self, epoch=None):
        """(exit status, stderr, {name: record}) of pvpack pack on tree/."""
        archive = self.path("tree.pvz")
        if os.path.exists(archive):
            os.remove(archive)
        env = {k: v for k, v in os.environ.items() if k != "SOURCE_DATE_EPOCH"}
        if epoch is not None:
            env["SOURCE_DATE_EPOCH"] = epoch
        p = subprocess.run([PVPACK, "pack", self.path("tree"), archive], capture_output=True,
                           timeout=120, env=env)
        records = {}
        if os.path.exists(archive):
            records = {r.name.decode("cp1252"): r
                       for r in pf.read_archive(self.read(archive)).records}
        return p.returncode, p.stderr.decode(), records

    def test_links_are_followed_and_what_cannot_be_stored_is_named(self):
        stamp = time.mktime((2003, 4, 5, 6, 7, 8, 0, 0, -1))
        for rel in ("tree/dir/inner.txt", "outside/target.txt", "outside/sub/deep.txt"):
            os.utime(self.write(rel, rel.encode()), (stamp, stamp))
        os.chmod(self.path("outside", "target.txt"), 0o444)
        os.symlink(self.path("outside", "target.txt"), self.path("tree", "file-link"))
        os.symlink(os.path.join("..", "outside"), self.path("tree", "dir-link"))
        os.symlink(os.path.join("dir", "inner.txt"), self.path("tree", "in-link"))
        # A warning for each link out of the tree, none for the link within it.
        status, err, records = self.pack()
        self.assertEqual((status, err.count(": a link to ")), (0, 2), err)
        self.assertEqual(sorted(records), ["dir-link\\sub\\deep.txt", "dir-link\\target.txt",
                                           "dir\\inner.txt", "file-link", "in-link"])
        for link, target in (("file-link", "outside/target.txt"), ("dir-link", "outside")):
            self.assertIn("pvpack: warning: %s: a link to %s, outside %s;" % (
                self.path("tree", link), self.path(*target.split("/")), self.path("tree")), err)
        self.assertNotIn("dir/inner.txt:", err)
        link = records["file-link"]   # the target's contents, time and attributes
        self.assertEqual((link.data, link.dos_time, link.attributes & pf.ATTR_READONLY),
                         (b"outside/target.txt", pf.dos_datetime(2003, 4, 5, 6, 7, 8), 1))

        rows = [  # (what is added, path named in the refusal, why)
            ("a dangling link", lambda p: os.symlink("missing.txt", p), "tree/dir/bad", "nowhere"),
            ("a link to itself", lambda p: os.symlink("bad", p), "tree/dir/bad", "nowhere"),
            ("a link to the root", lambda p: os.symlink(self.path("tree"), p), "tree/dir/bad",
             "a link back to " + self.path("tree") + ","),
            ("a loop behind a link", lambda p: os.symlink("../tree", self.path("outside", "up")),
             "tree/dir-link/up", "a link back to " + self.path("tree") + ","),
            ("a FIFO", os.mkfifo, "tree/dir/bad", "a FIFO"),
            # Refused from its size, before anything is read: packing 4 GiB
            # would outlast the time pack() allows.
            ("a file over 4 GiB", lambda p: os.truncate(self.write(p, b""), 1 << 32),
             "tree/dir/bad", "4294967296 bytes"),
        ]
        for label, make, named, why in rows:
            with self.subTest(label):
                make(self.path("tree", "dir", "bad"))
                status, err, records = self.pack()
                for p in (self.path("tree", "dir", "bad"), self.path("outside", "up")):
                    if os.path.lexists(p):
                        os.remove(p)
                self.assertEqual((status, records), (74, {}), err)
                self.assertEqual(err.count("\n"), 1, err)
                self.assertIn(self.path(*named.split("/")) + ": ", err)
                self.assertIn(why, err)

    def test_names_windows_cannot_hold_are_refused_by_name(self):
        long_name = "d" * 100 + "/" + "f" * 118   # 219 bytes below the destination
        rows = [  # (files to make below tree/, the path named, why)
            (["a?b"], "a?b", "character ?"),
            (["a\\b.txt"], "a\\b.txt", "character \\"),
            (['q"'], 'q"', 'character "'),
            (["tab\tx"], "tab\tx", "control character 9"),
            (["nul.txt"], "nul.txt", "device"),
            (["Com9.tar.gz"], "Com9.tar.gz", "device"),
            (["lpt1 .log"], "lpt1 .log", "device"),
            (["COM0"], "COM0", "device"),
            (["lpt\u00b2.txt"], "lpt\u00b2.txt", "device"),
            (["Docs/CONIN$"], "Docs/CONIN$", "device"),
            (["CON/inner.txt"], "CON", "device"),
            (["trailing."], "trailing.", "ends in a dot"),
            (["sub /x"], "sub ", "ends in a blank"),
            (["TempFile.$$$"], "TempFile.$$$", "tempfile.$$$"),
            (["README", "readme"], "readme", "Windows takes it for " + self.path("tree", "README")),
            (["Docs/a", "docs/b"], "docs", "Windows takes it for " + self.path("tree", "Docs")),
            (["ПАПКА/a", "папка"], "папка", "Windows takes it for "),
            ([long_name + "x"], long_name + "x", "220 characters"),
        ]
        # What Windows takes: COM10 and CONSOLE are no devices, a folder of
        # that name deeper down is no temporary file, the longest name fits.
        fine = ["com10", "CONSOLE.txt", "sub/tempfile.$$$", "folder/same", long_name]
        for made, named, why in rows + [(fine, None, None)]:
            with self.subTest(named):
                shutil.rmtree(self.path("tree"), ignore_errors=True)
                for rel in made:
                    self.write(os.path.join("tree", rel), b"x")
                status, err, records = self.pack()
                if named is None:
                    self.assertEqual((status, len(records)), (0, 5), err)
                    continue
                self.assertEqual((status, records), (65, {}), err)
                lines = [l for l in err.splitlines()
                         if l.startswith("pvpack: " + self.path("tree", named) + ": ")]
                self.assertTrue(any(why in l for l in lines), err)
        # Every name refused in one run, in order, then 65; with a link to
        # nothing, those the walk found before it, then the link, and 74.
        shutil.rmtree(self.path("tree"))
        for rel in ("z/trailing.", "a?b", "ok.txt", "OK.txt", "m/nul.txt"):
            self.write(os.path.join("tree", rel), b"x")
        for want, last in ((65, ["ok.txt", "z/trailing."]), (74, ["n"])):
            if want == 74:
                os.symlink("nowhere", self.path("tree", "n"))
            status, err, _ = self.pack()
            named = [l.split(": ")[1] for l in err.splitlines() if not l.startswith("pvpack: warning")]
            self.assertEqual((status, named), (want, [self.path("tree", n) for n in
                                                      ["a?b", "m/nul.txt"] + last]), err)

    def test_what_the_tree_lacks_is_named(self):
        product = ["Pavlane.exe", "Help/contents.htm", "Library/a", "SiteMaps/b", "uninst.exe",
                   "Queries/Sample.pvf", "Wininet.dl_", "Shlwapi.dl_"]
        rows = [  # (files below tree/, empty folders, exit status, warnings and error)
            (product, [], 0, []),
            ([p.upper() for p in product], ["LIBRARY/x/y", "Docs"], 0, [
                "warning: tree/Docs: a folder without files, dropped",
                "warning: tree/LIBRARY/x: a folder without files, dropped"]),
            (product[1:], [], 0, ['warning: tree/Pavlane.exe: missing, and the Programs-menu '
                                  'shortcut "Pavlane  " leads to it']),
            (product[:2] + product[3:], [], 0, ["warning: tree/Library: missing"]),
            (product[:4] + product[5:], [], 0, ["warning: tree/uninst.exe: missing, and the "
                                                "uninstall entry starts it"]),
            (product[:5] + product[6:], [], 0, ["warning: tree/Queries/Sample.pvf: missing"]),
            (product[:7], [], 0, ["warning: tree/Shlwapi.dl_: missing"]),
            ([], ["a/b"], 74, ["tree: no file to pack"]),
        ]
        for made, folders, want, lines in rows:
            with self.subTest(lines=lines):
                shutil.rmtree(self.path("tree"), ignore_errors=True)
                os.mkdir(self.path("tree"))
                for rel in made:
                    self.write(os.path.join("tree", rel), b"x")
                for rel in folders:
                    os.makedirs(self.path("tree", rel))
                status, err, _ = self.pack()
                self.assertEqual(status, want, err)
                self.assertEqual(len(err.splitlines()), len(lines), err)
                for got, line in zip(err.splitlines(), lines):
                    want_start = "pvpack: " + line.replace("tree", self.path("tree"), 1)
                    self.assertTrue(got.startswith(want_start), got)

    def test_names_go_to_the_code_page_and_come_back(self):
        rows = [  # (code page, file below tree/, exit status, what stderr holds)
            (None, "café/résumé.txt", 0, ""),
            ("1252", "€ & ÿ.txt", 0, ""),
            ("1251", "Отчёт.txt", 0, ""),
            ("1253", "Ωμέγα.txt", 0, ""),
            ("874", "ไทย.txt", 0, ""),
            (None, "中文文件.txt", 65, "/中文文件.txt: holds U+4E2D 中, which code page 1252"),
            ("1251", "café.txt", 65, "/café.txt: holds U+00E9 é, which code page 1251"),
            ("932", "a.txt", 64, "code page 932 is a double-byte code page, whose second bytes "
             "may be 0x5C"),
            ("65001", "a.txt", 64, "code page 65001 is not a single-byte"),
        ]
        archive, dest = self.path("cp.pvz"), self.path("dest")
        for page, name, want, why in rows:
            with self.subTest(name):
                shutil.rmtree(self.path("tree"), ignore_errors=True)
                shutil.rmtree(dest, ignore_errors=True)
                self.write(os.path.join("tree", name), b"x")
                option = ["--codepage", page] if page else []
                p = pvpack("pack", *option, self.path("tree"), archive)
                self.assertEqual(p.returncode, want, p.stderr)
                self.assertIn(why.encode(), p.stderr)
                if want:
                    continue
                stored = name.replace("/", "\\").encode("cp" + (page or "1252"))
                self.assertEqual([r.name for r in pf.read_archive(self.read(archive)).records],
                                 [stored])
                listed = pvpack("list", *option, archive).stdout.decode()
                self.assertTrue(listed.startswith(name.replace("/", "\\") + " "), listed)
                self.assertEqual(pvpack("extract", *option, archive, dest).returncode, 0)
                self.assertEqual(self.read(os.path.join(dest, name)), b"x")

    def test_a_time_outside_the_dos_range_is_said(self):
        for rel, year in (("tree/early.txt", 1975), ("tree/late.txt", 2110)):
            stamp = time.mktime((year, 4, 5, 6, 7, 8, 0, 0, -1))
            os.utime(self.write(rel, b"x"), (stamp, stamp))
        status, err, _ = self.pack()
        self.assertEqual(status, 0, err)
        for rel, told, stored in (("early.txt", "1975-04-05 06:07:08", "1980-01-01 00:00:00"),
                                  ("late.txt", "2110-04-05 06:07:08", "2107-12-31 23:59:58")):
            self.assertIn("pvpack: warning: %s: its time %s is outside what an archive can hold "
                          "(1980 to 2107); stored as %s\n" % (self.path("tree", rel), told, stored), err)

    def test_source_date_epoch_holds_later_times_back(self):
        # far.txt is past 2038, where a 32-bit time would not reach.
        for rel, year in (("tree/old.txt", 2003), ("tree/new.txt", 2011), ("tree/far.txt", 2040)):
            stamp = time.mktime((year, 4, 5, 6, 7, 8, 0, 0, -1))
            os.utime(self.write(rel, b"x"), (stamp, stamp))
        old, new = pf.dos_datetime(2003, 4, 5, 6, 7, 8), pf.dos_datetime(2011, 4, 5, 6, 7, 8)
        far = pf.dos_datetime(2040, 4, 5, 6, 7, 8)
        # 1100000001 is 2004-11-09 11:33:21 UTC, 14:33:21 in this zone; DOS
        # times keep even seconds.
        epoch = pf.dos_datetime(2004, 11, 9, 14, 33, 20)
        first = pf.dos_datetime(1980, 1, 1, 0, 0, 0)
        rows = [  # (SOURCE_DATE_EPOCH or None, exit status, times of old.txt, new.txt, far.txt)
            (None, 0, (old, new, far)),
            ("", 0, (old, new, far)),
            ("1100000001", 0, (old, epoch, epoch)),
            ("0", 0, (first, first, first)),
            ("1100000001 ", 64, None),
            ("-1", 64, None),
            ("253402300799", 0, (old, new, far)),   # the last second of 9999
            ("253402300800", 64, None),
            ("99999999999999999999", 64, None),
        ]
        for value, want_status, want_times in rows:
            with self.subTest(value=value):
                status, err, records = self.pack(value)
                self.assertEqual(status, want_status, err)
                if want_status:
                    self.assertIn("SOURCE_DATE_EPOCH", err)
                    continue
                self.assertEqual(tuple(records[n].dos_time for n in ("old.txt", "new.txt", "far.txt")),
                                 want_times)


class CommandLine(TempDirTest):
    def test_help_version_and_usage_errors(self):
        usage = b"usage: pvpack implode"
        rows = [  # (arguments, exit status, start of stdout, start of stderr; empty: nothing)
            ([], 64, b"", usage),
            (["--help"], 0, usage, b""),
            (["-h"], 0, usage, b""),
            (["--version"], 0, b"pvpack 3.03\n", b""),
            (["pack", "DIR"], 64, b"", b"pvpack: pack: missing ARCHIVE\nusage: pvpack pack "),
            (["unpack"], 64, b"", b"pvpack: unknown command unpack\n" + usage),
        ] + [([command, "--help"], 0, b"usage: pvpack " + command.encode() + b" ", b"")
             for command in ("implode", "explode", "pack", "list", "extract", "setup", "verify")]
        for args, want_status, want_out, want_err in rows:
            with self.subTest(args=args):
                p = pvpack(*args)
                self.assertEqual(p.returncode, want_status, p.stderr)
                for got, want in ((p.stdout, want_out), (p.stderr, want_err)):
                    self.assertTrue(got.startswith(want) and bool(got) == bool(want), got)
                if "--help" in args[1:]:
                    self.assertGreater(len(p.stdout.splitlines()), 1, p.stdout)

    def test_bad_inputs_are_named_and_never_crash(self):
        archive = self.write("a.pvz", pf.write_archive([pf.Entry(b"a.txt", b"data")]))
        bad_record = self.write("bad.pvz", pf.write_archive([pf.Entry(b"a.txt", b"x", check=1)]))
        stub = self.write("stub.exe", pf.make_stub())
        setup = self.write("setup.exe", pf.make_setup(b"MZ" + bytes(300), self.read(archive)))
        empty, text = self.write("empty", b""), self.write("text", b"root:x:0:0:root:/root\n" * 9)
        bare = self.write("bare.exe", pf.make_setup(b"MZ" + bytes(300), b""))
        foreign = self.write("foreign.exe", pf.make_setup(b"MZ" + bytes(300), self.read(text)))
        # Whole record heads, but a name that would leave the destination:
        # noise that failed its check, not a damaged archive.
        escaping = pf.write_archive([pf.Entry(b"\\a.txt", b"data")])
        escaping = self.write("escaping.pvz", pf.flip_body_byte(escaping, len(escaping) - 1))
        plain = self.write("plain.exe", b"MZ" + bytes(300))
        two = self.write("two.exe", pf.make_stub(dialogs=(100, 200)))
        folder, missing, out = self.path("dir"), self.path("missing"), self.path("out")
        os.mkdir(folder)
        rows = [  # (line, arguments, exit status, path named, why)
            (line(), ["list", folder], 1, folder, "a folder, not a file"),
            (line(), ["verify", "/dev/zero"], 1, "/dev/zero", "a device, not a file"),
            (line(), ["verify", missing], 1, missing, ""),
            (line(), ["verify", "/proc/self/mem"], 1, "/proc/self/mem", "cannot read"),  # fails to read
            (line(), ["list", empty], 5, empty, "no archive: the file is empty"),
            (line(), ["verify", text], 5, text, "no archive: neither"),
            (line(), ["verify", stub], 5, stub, "no archive: a Windows executable without"),
            (line(), ["verify", bare], 5, bare, "no archive: nothing follows the marker"),
            (line(), ["verify", foreign], 5, foreign, "no archive: what follows the marker is not"),
            (line(), ["verify", escaping], 5, escaping, "no archive: neither"),
            (line(), ["list", "--codepage", "x", archive], 64, "--codepage x", "not a number"),
            (line(), ["extract", folder, out], 1, folder, "a folder"),
            (line(), ["extract", text, out], 5, text, "no archive"),
            (line(), ["implode", folder, out], 74, folder, "a folder"),
            (line(), ["explode", "/dev/zero", out], 74, "/dev/zero", "a device"),
            (line(), ["setup", folder, archive, out], 74, folder, "a folder"),
            (line(), ["setup", stub, "/dev/zero", out], 74, "/dev/zero", "a device"),
            (line(), ["setup", stub, text, out], 5, text, "no archive"),
            (line(), ["setup", stub, empty, out], 5, empty, "no archive"),
            (line(), ["setup", stub, setup, out], 64, setup, "a setup executable, not an archive"),
            (line(), ["setup", stub, bad_record, out], 6, bad_record, "a.txt: a file in the archive"),
            # Only the setup program's own image makes a setup.
            (line(), ["setup", text, archive, out], 64, text, "not a Windows executable"),
            (line(), ["setup", plain, archive, out], 64, plain,
             'lacks the version block of "Installation program for Pavlane" 1.0.2.10 (040904E4), '
             "dialog 100 (Choose Directory), dialog 200 (the welcome window), dialog 300"),
            (line(), ["setup", two, archive, out], 64, two, "lacks dialog 300 (the progress window)"),
            (line(), ["list", archive, "extra"], 64, "list", "extra argument extra"),
            (line(), ["verify", "--quiet", archive], 64, "verify", "unknown option --quiet"),
            (line(), ["extract", archive], 64, "extract", "missing DIR"),
            (line(), ["implode", "--dict"], 64, "implode", "--dict needs a value"),
            (line(), ["pack", "-j0", folder, out], 64, "pack", "-j takes"),
        ]
        for at, args, want, named, why in rows:
            with self.subTest(line=at):
                p = pvpack(*args)
                self.assertEqual(p.returncode, want, p.stderr)
                self.assertTrue(p.stderr.startswith(b"pvpack: " + named.encode() + b": "), p.stderr)
                self.assertIn(why.encode(), p.stderr)
                self.assertFalse(os.path.exists(out))
        with open("/dev/zero", "rb") as zero:
            p = subprocess.run([PVPACK, "verify", "-"], stdin=zero, capture_output=True, timeout=120)
        self.assertEqual((p.returncode, p.stderr), (1, b"pvpack: standard input: a device, not a file\n"))

    def test_summary_progress_and_json(self):
        self.write("tree/café.txt", b"cafe")
        self.write("tree/sub/b.bin", bytes(range(256)) * 40)
        archive, stub = self.path("a.pvz"), self.write("stub.exe", pf.make_stub())
        summary = r"pvpack %s: 2 files, 10244 bytes, packed %d bytes \(\d+\.\d%%\)%s, \d+\.\d\d s\n$"
        runs = [  # (arguments, what the summary adds); -j at its two bounds
            (["pack", "-j1", self.path("tree"), archive], ""),
            (["verify", archive], ", sound"),
            (["extract", archive, self.path("out")], ""),
            (["setup", stub, archive, self.path("setup.exe")], r", setup \d+ bytes"),
        ]
        for args, more in runs:
            with self.subTest(args[0]):
                p = pvpack(*args)
                self.assertEqual(p.returncode, 0, p.stderr)
                self.assertRegex(p.stdout.decode(), summary % (args[0], os.path.getsize(archive), more))
                self.assertNotIn(b"%", p.stderr)   # no progress off a terminal
                quiet = pvpack(args[0], "-q", *args[1:])
                self.assertEqual((quiet.returncode, quiet.stdout), (0, b""), quiet.stderr)
        for args, last in ((["pack", "-j32", self.path("tree"), archive],
                            b"packing 2/2 files, 0.0/0.0 MB\n"),
                           (["extract", archive, self.path("again")], b"extracting 100%\n")):
            p = pvpack(args[0], "--progress", *args[1:])
            self.assertTrue(p.stderr.endswith(last), p.stderr)

        entries = [pf.Entry(b"caf\xe9\\x.txt", b"data", dos_time=pf.dos_datetime(2003, 4, 5, 6, 7, 8),
                            attributes=0x21),
                   pf.Entry(b"q", b""), pf.Entry(b"t", b"", dos_time=0xFFFFFFFF)]
        data = pf.write_archive(entries)
        p = pvpack("list", "--json", self.write("j.pvz", data))
        self.assertEqual(p.returncode, 0, p.stderr)
        packed = [r.packed_size for r in pf.read_archive(data).records]
        self.assertEqual(json.loads(p.stdout), [
            {"name": "café\\x.txt", "size": 4, "packedSize": packed[0], "attributes": 0x21,
             "time": "2003-04-05T06:07:08", "check": "%08X" % pf.crc_register(b"data")},
            {"name": "q", "size": 0, "packedSize": packed[1], "attributes": pf.ATTR_ARCHIVE,
             "time": "2004-06-15T12:30:44", "check": "FFFFFFFF"},
            # No calendar has month 15, hour 31: no time, the DOS value beside.
            {"name": "t", "size": 0, "packedSize": packed[2], "attributes": pf.ATTR_ARCHIVE,
             "time": None, "dosTime": 0xFFFFFFFF, "check": "FFFFFFFF"}])

    def test_an_error_names_the_folder_that_failed(self):
        archive = self.write("a.pvz", pf.write_archive([pf.Entry(b"sub\\a.txt", b"a")]))
        blocker = self.write("blocker", b"a file where a folder must go")
        p = pvpack("extract", archive, os.path.join(blocker, "dest"))
        self.assertEqual(p.returncode, 2, p.stderr)
        self.assertTrue(p.stderr.startswith(b"pvpack: " + blocker.encode() + b": "), p.stderr)


class SafeOutputs(TempDirTest):
    """A command's result replaces its target whole or not at all, and never
    overwrites one of its inputs."""

    def setUp(self):
        super().setUp()
        self.old = pf.write_archive([pf.Entry(b"old.txt", b"the old archive")])

    def assert_untouched(self, target, p, old=None):
        self.assertEqual(self.read(target), self.old if old is None else old, p.stderr)
        self.assertEqual([n for n in os.listdir(os.path.dirname(target)) if "pvpack-" in n], [])

    def test_an_interrupted_command_leaves_the_old_file(self):
        # Large enough that the result is still being written when the signal comes.
        self.write("tree/big.bin", random.Random(5).getrandbits(8 * (12 << 20)).to_bytes(12 << 20, "little"))
        for signo, args in ((signal.SIGINT, ["pack", "-q", self.path("tree")]),
                            (signal.SIGTERM, ["implode", self.path("tree", "big.bin")]),
                            (signal.SIGHUP, ["implode", "--ascii", self.path("tree", "big.bin")])):
            with self.subTest(signo.name):
                target = self.write("out.pvz", self.old)
                p = subprocess.Popen([PVPACK, *args, target], stderr=subprocess.PIPE)
                deadline = time.monotonic() + 60
                # Once the result is being written: a new file beside it, or
                # (what must not happen) the target itself changing.
                while (not [n for n in os.listdir(self.tmp) if "pvpack-" in n] and
                       os.path.getsize(target) == len(self.old)):
                    self.assertIsNone(p.poll(), "finished before it could be interrupted")
                    self.assertLess(time.monotonic(), deadline)
                    time.sleep(0.005)
                p.send_signal(signo)
                p.communicate(timeout=60)
                self.assertEqual(p.returncode, -signo)
                self.assert_untouched(target, p)

    def test_a_full_disk_leaves_the_old_file(self):
        noise = random.Random(6).getrandbits(800000).to_bytes(100000, "little")
        self.write("tree/noise.bin", noise)
        stream = self.write("noise.imp", pf.implode(noise))
        archive = self.write("a.pvz", pf.write_archive([pf.Entry(b"noise.bin", noise)]))
        stub = self.write("stub.exe", pf.make_stub())

        def no_room():  # every file ends at 64 KiB, as on a full disk
            signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
            resource.setrlimit(resource.RLIMIT_FSIZE, (65536, 65536))
        for args in (["pack", self.path("tree")], ["setup", stub, archive],
                     ["implode", self.path("tree", "noise.bin")], ["explode", stream]):
            with self.subTest(args[0]):
                target = self.write("out.bin", self.old)
                p = subprocess.run([PVPACK, *args, target], capture_output=True, timeout=120,
                                   preexec_fn=no_room)
                self.assertEqual(p.returncode, 74, p.stderr)
                self.assertIn(("pvpack: %s: cannot write (%s)" % (target, os.strerror(errno.EFBIG))
                               ).encode(), p.stderr)
                self.assert_untouched(target, p)

    def test_no_output_over_an_input(self):
        archive = self.write("a.pvz", self.old)
        stub = self.write("stub.exe", pf.make_stub())
        stream = self.write("s.imp", pf.implode(b"stream"))
        self.write("tree/x.txt", b"x")
        os.link(archive, self.path("tree", "inside.pvz"))
        os.symlink(stream, self.path("link.imp"))
        for args, target, old in ((["setup", stub, archive, archive], archive, self.old),
                                  (["setup", stub, archive, stub], stub, pf.make_stub()),
                                  (["explode", stream, stream], stream, pf.implode(b"stream")),
                                  (["implode", stream, self.path("link.imp")], stream, pf.implode(b"stream")),
                                  (["pack", self.path("tree"), archive], archive, self.old)):
            with self.subTest(args[0], target=target):
                p = pvpack(*args)
                self.assertEqual(p.returncode, 74, p.stderr)
                self.assertIn(b": the same file as ", p.stderr)
                self.assert_untouched(target, p, old)

    def test_a_terminal_gets_no_binary_data_and_a_whole_progress_line(self):
        self.write("tree/only.txt", b"one file")
        master, slave = pty.openpty()
        try:
            p = subprocess.run([PVPACK, "pack", self.path("tree"), "-"], stdout=slave,
                               stderr=subprocess.PIPE, timeout=120)
            self.assertEqual(p.returncode, 64, p.stderr)
            self.assertIn(b"ARCHIVE is standard output, a terminal", p.stderr)
            p = subprocess.run([PVPACK, "pack", self.path("tree"), self.path("a.pvz")],
                               stdout=slave, stderr=slave, timeout=120)
            os.close(slave)
            shown = b""
            try:
                while chunk := os.read(master, 4096):
                    shown += chunk
            except OSError:   # EIO: nothing more, the other side is closed
                pass
        finally:
            os.close(master)
        self.assertEqual(p.returncode, 0, shown)
        self.assertRegex(shown, rb"\rpacking 1/1 files, 0\.0/0\.0 MB\r?\npvpack pack: 1 file, ")

    def test_a_size_this_build_cannot_hold_is_refused_by_name(self):
        with open(PVPACK, "rb") as f:
            if f.read(5)[4] != 1:
                self.skipTest("a 64-bit build holds 3 GiB")
        big = self.path("big.bin")
        with open(big, "wb") as f:
            f.truncate(3 << 30)   # sparse: no disk taken
        archive = self.write("a.pvz", self.old)
        for args in (["implode", big, self.path("out")], ["setup", big, archive, self.path("out")]):
            with self.subTest(args[0]):
                p = pvpack(*args)
                self.assertEqual((p.returncode, p.stderr), (74, (
                    "pvpack: %s: 3221225472 bytes, more than this 32-bit build can hold in memory\n"
                    % big).encode()))


def main():
    global PVPACK
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--pvpack", required=True)
    args, rest = parser.parse_known_args()
    PVPACK = os.path.abspath(args.pvpack)
    if not os.access(PVPACK, os.X_OK):
        sys.exit("interop_test: no pvpack at " + PVPACK)
    unittest.main(argv=[sys.argv[0]] + rest)


if __name__ == "__main__":
    main()
