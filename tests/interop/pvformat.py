"""Reference implementation of Pavlane's data formats, for cross-checking.

Written for readability, not speed, and sharing no code with the C++ tools,
so that a fault has to be made twice, independently, to go unnoticed:

* the compressed-data format: a bit writer, a token-level stream writer, a
  simple lazy-matching encoder (both literal modes, all three dictionary
  sizes) and a decoder that reproduces the C++ decoder's result codes and
  output exactly, also for damaged or truncated input;
* the CRC-32 register (preset by the caller, no final complement);
* the scrambling stream of the archive body (key sum and 32-bit LCG);
* the archive: records, scrambled body, trailer; a writer that can also
  produce deliberately damaged archives, and a reader;
* the setup executable's layout (stub, marker, archive).

Python 3.8 or later, standard library only.
"""

import struct
import time
from dataclasses import dataclass, field
from typing import List, Optional, Sequence, Tuple

# ---------------------------------------------------------------------------
# Prefix codes of the compressed-data format
# ---------------------------------------------------------------------------

# Code length of each length symbol 0..15.
LENGTH_BITS = (3, 2, 3, 3, 4, 4, 4, 5, 5, 5, 5, 6, 6, 6, 7, 7)
# Extra bits after each length symbol, and its length value before them.
LENGTH_EXTRA = (0, 0, 0, 0, 0, 0, 0, 0, 1, 2, 3, 4, 5, 6, 7, 8)
LENGTH_BASE = tuple(range(8)) + (8, 10, 14, 22, 38, 70, 134, 262)

# Code length of each distance high part 0..63.
DISTANCE_BITS = (2,) + (4,) * 2 + (5,) * 4 + (6,) * 15 + (7,) * 26 + (8,) * 16

# Code length of each literal byte in ASCII mode, sixteen to a row.
LITERAL_BITS = (
    11, 12, 12, 12, 12, 12, 12, 12, 12, 8, 7, 12, 12, 7, 12, 12,
    12, 12, 12, 12, 12, 12, 12, 12, 12, 12, 13, 12, 12, 12, 12, 12,
    4, 10, 8, 12, 10, 12, 10, 8, 7, 7, 8, 9, 7, 6, 7, 8,
    7, 6, 7, 7, 7, 7, 8, 7, 7, 8, 8, 12, 11, 7, 9, 11,
    12, 6, 7, 6, 6, 5, 7, 8, 8, 6, 11, 9, 6, 7, 6, 6,
    7, 11, 6, 6, 6, 7, 9, 8, 9, 9, 11, 8, 11, 9, 12, 8,
    12, 5, 6, 6, 6, 5, 6, 6, 6, 5, 11, 7, 5, 6, 5, 5,
    6, 10, 5, 5, 5, 5, 8, 7, 8, 8, 10, 11, 11, 12, 12, 12,
    13, 13, 13, 13, 13, 13, 13, 13, 13, 13, 13, 13, 13, 13, 13, 13,
    13, 13, 13, 13, 13, 13, 13, 13, 13, 13, 13, 13, 13, 13, 13, 13,
    13, 13, 13, 13, 13, 13, 13, 13, 13, 13, 13, 13, 13, 13, 13, 13,
    12, 12, 12, 12, 12, 12, 12, 12, 12, 12, 12, 12, 12, 12, 12, 12,
    12, 12, 12, 12, 12, 12, 12, 12, 12, 12, 12, 12, 12, 12, 12, 12,
    12, 12, 12, 12, 12, 12, 12, 12, 12, 12, 12, 12, 12, 12, 12, 12,
    13, 12, 13, 13, 13, 12, 13, 13, 13, 12, 13, 13, 13, 13, 12, 13,
    13, 13, 12, 12, 12, 13, 13, 13, 13, 13, 13, 13, 13, 13, 13, 13,
)

END_LENGTH_VALUE = 517          # symbol 15 with all 8 extra bits set
MAX_COPY = 518                  # longest copy: length value 516 + 2
MARKER = b"<PVZIP FILE BEGINS HERE>"


def reverse_bits(value: int, n: int) -> int:
    result = 0
    for _ in range(n):
        result = (result << 1) | (value & 1)
        value >>= 1
    return result


def code_values(bit_counts: Sequence[int]) -> List[int]:
    """The code of each symbol as it stands in the low bits of the bit
    buffer: canonical codes (shortest first, then by symbol, counting up from
    all zeros), every bit inverted, stored bit-reversed so that the code's
    first bit is bit 0."""
    order = sorted(range(len(bit_counts)), key=lambda s: (bit_counts[s], s))
    values = [0] * len(bit_counts)
    code, length = -1, bit_counts[order[0]]
    for s in order:
        code = (code + 1) << (bit_counts[s] - length)
        length = bit_counts[s]
        values[s] = reverse_bits(~code & ((1 << length) - 1), length)
    return values


LENGTH_CODES = code_values(LENGTH_BITS)
DISTANCE_CODES = code_values(DISTANCE_BITS)
LITERAL_CODES = code_values(LITERAL_BITS)


def length_symbol(value: int) -> Tuple[int, int]:
    """(symbol, extra value) of a length value 0..517."""
    for s in range(15, -1, -1):
        if value >= LENGTH_BASE[s]:
            return s, value - LENGTH_BASE[s]
    raise ValueError(value)


# ---------------------------------------------------------------------------
# Writing streams
# ---------------------------------------------------------------------------

class BitWriter:
    """Collects bits least significant first, bytes in order."""

    def __init__(self) -> None:
        self.acc = 0
        self.nbits = 0

    def put(self, value: int, n: int) -> None:
        assert 0 <= value < (1 << n) or n == 0
        self.acc |= value << self.nbits
        self.nbits += n

    def getvalue(self) -> bytes:
        """The bits so far, the last byte padded with zero bits."""
        return self.acc.to_bytes((self.nbits + 7) // 8, "little")


class StreamWriter:
    """Builds a stream token by token; nothing checks that the tokens make
    sense, so damaged streams can be written as easily as good ones."""

    def __init__(self, ascii_mode: bool = False, dict_bits: int = 6,
                 header: Optional[bytes] = None) -> None:
        self.ascii_mode = ascii_mode
        self.dict_bits = dict_bits
        self.header = header if header is not None else bytes([int(ascii_mode), dict_bits])
        self.bits = BitWriter()

    def literal(self, byte: int) -> "StreamWriter":
        self.bits.put(0, 1)
        if self.ascii_mode:
            self.bits.put(LITERAL_CODES[byte], LITERAL_BITS[byte])
        else:
            self.bits.put(byte, 8)
        return self

    def _length(self, value: int) -> None:
        self.bits.put(1, 1)
        s, extra = length_symbol(value)
        self.bits.put(LENGTH_CODES[s], LENGTH_BITS[s])
        self.bits.put(extra, LENGTH_EXTRA[s])

    def copy(self, length: int, distance: int) -> "StreamWriter":
        """A copy of 2..518 bytes from distance 1.. back (at most 256 for a
        2-byte copy, 64 << dict_bits for a longer one)."""
        assert 2 <= length <= MAX_COPY
        self._length(length - 2)
        low_bits = 2 if length == 2 else self.dict_bits
        d = distance - 1
        assert 0 <= d >> low_bits < 64
        self.bits.put(DISTANCE_CODES[d >> low_bits], DISTANCE_BITS[d >> low_bits])
        self.bits.put(d & ((1 << low_bits) - 1), low_bits)
        return self

    def end(self) -> "StreamWriter":
        self._length(END_LENGTH_VALUE)
        return self

    def raw(self, value: int, n: int) -> "StreamWriter":
        self.bits.put(value, n)
        return self

    def getvalue(self) -> bytes:
        return self.header + self.bits.getvalue()


def literal_cost(ascii_mode: bool, byte: int) -> int:
    return 1 + (LITERAL_BITS[byte] if ascii_mode else 8)


def copy_cost(length: int, distance: int, dict_bits: int) -> int:
    s, _ = length_symbol(length - 2)
    low_bits = 2 if length == 2 else dict_bits
    return 1 + LENGTH_BITS[s] + LENGTH_EXTRA[s] + DISTANCE_BITS[(distance - 1) >> low_bits] + low_bits


def implode(data: bytes, ascii_mode: bool = False, dict_bits: int = 6,
            chain_limit: int = 24) -> bytes:
    """Compresses data into one complete stream: a lazy matcher over hash
    chains of 2-byte prefixes. Not tuned for ratio; only for being right."""
    assert dict_bits in (4, 5, 6)
    window = 64 << dict_bits
    out = StreamWriter(ascii_mode, dict_bits)
    chains = {}           # 2-byte prefix -> positions, newest last
    n = len(data)

    def insert(i: int) -> None:
        if i + 1 < n:
            chains.setdefault(data[i:i + 2], []).append(i)

    def longest(i: int) -> Tuple[int, int]:
        best_len, best_dist = 0, 0
        if i + 1 >= n:
            return 0, 0
        limit = min(MAX_COPY, n - i)
        for j in reversed(chains.get(data[i:i + 2], [])[-chain_limit:]):
            dist = i - j
            if dist > window:
                break
            k = 2
            while k < limit and data[j + k] == data[i + k]:   # may overlap i: fine
                k += 1
            if k == 2 and dist > 256:
                continue            # a 2-byte copy reaches only 256 back
            if k > best_len:
                best_len, best_dist = k, dist
                if k == limit:
                    break
        if best_len == 2 and copy_cost(2, best_dist, dict_bits) >= (
                literal_cost(ascii_mode, data[i]) + literal_cost(ascii_mode, data[i + 1])):
            return 0, 0
        return best_len, best_dist

    i = 0
    pending = longest(0)
    while i < n:
        length, dist = pending
        insert(i)
        if length >= 2:
            # Lazy step: a longer match one byte on is worth a literal now.
            later = longest(i + 1) if i + 1 < n else (0, 0)
            if later[0] > length:
                out.literal(data[i])
                i += 1
                pending = later
                continue
            out.copy(length, dist)
            for k in range(i + 1, i + length):
                insert(k)
            i += length
        else:
            out.literal(data[i])
            i += 1
        pending = longest(i) if i < n else (0, 0)
    out.end()
    return out.getvalue()


# ---------------------------------------------------------------------------
# Decoding
# ---------------------------------------------------------------------------

# Result codes, as the C++ decoder returns them.
DCL_OK, DCL_BAD_DICT, DCL_BAD_MODE, DCL_TOO_SHORT, DCL_INPUT_ENDED = range(5)


def _decode_table(bit_counts: Sequence[int], codes: Sequence[int]) -> dict:
    return {(bit_counts[s], codes[s]): s for s in range(len(bit_counts))}


_LENGTH_TABLE = _decode_table(LENGTH_BITS, LENGTH_CODES)
_DISTANCE_TABLE = _decode_table(DISTANCE_BITS, DISTANCE_CODES)
_LITERAL_TABLE = _decode_table(LITERAL_BITS, LITERAL_CODES)


class _BitReader:
    """Reads bits one at a time; past the end it reads zeros, so a token cut
    off by the end still decodes and the caller judges it by position."""

    def __init__(self, data: bytes) -> None:
        self.value = int.from_bytes(data, "little")
        self.pos = 0

    def bits(self, n: int) -> int:
        v = (self.value >> self.pos) & ((1 << n) - 1)
        self.pos += n
        return v

    def symbol(self, table: dict) -> int:
        value, n = 0, 0
        while (n, value) not in table:
            value |= self.bits(1) << n
            n += 1
        return table[(n, value)]


def explode(stream: bytes) -> Tuple[int, bytes]:
    """Decodes one stream; returns (result code, output), both exactly as the
    C++ decoder gives them when its first read delivers the first
    min(len(stream), 2048) bytes.

    The C++ bit reader keeps 8 bits of look-ahead: a token counts only when
    at least 8 more bits of input stand behind it, except the end code, which
    needs only its own bits. A copy reaching back before the first output
    byte ends decoding like input that ended."""
    if len(stream[:2048]) <= 4:
        return DCL_TOO_SHORT, b""
    ascii_mode, dict_bits = stream[0], stream[1]
    if dict_bits not in (4, 5, 6):
        return DCL_BAD_DICT, b""
    if ascii_mode not in (0, 1):
        return DCL_BAD_MODE, b""
    available = 8 * (len(stream) - 2)
    r = _BitReader(stream[2:])
    out = bytearray()
    while True:
        if r.bits(1):
            s = r.symbol(_LENGTH_TABLE)
            value = LENGTH_BASE[s] + r.bits(LENGTH_EXTRA[s])
            if value == END_LENGTH_VALUE:
                return (DCL_OK if r.pos <= available else DCL_INPUT_ENDED), bytes(out)
            length = value + 2
            low_bits = 2 if length == 2 else dict_bits
            high = r.symbol(_DISTANCE_TABLE)
            distance = ((high << low_bits) | r.bits(low_bits)) + 1
            if r.pos + 8 > available or distance > len(out):
                return DCL_INPUT_ENDED, bytes(out)
            for _ in range(length):
                out.append(out[-distance])
        else:
            byte = r.symbol(_LITERAL_TABLE) if ascii_mode else r.bits(8)
            if r.pos + 8 > available:
                return DCL_INPUT_ENDED, bytes(out)
            out.append(byte)


# ---------------------------------------------------------------------------
# CRC-32 register and scrambling
# ---------------------------------------------------------------------------

def _crc_table() -> List[int]:
    table = []
    for n in range(256):
        c = n
        for _ in range(8):
            c = (c >> 1) ^ 0xEDB88320 if c & 1 else c >> 1
        table.append(c)
    return table


CRC_TABLE = _crc_table()
CRC_PRESET = 0xFFFFFFFF


def crc_register(data: bytes, register: int = CRC_PRESET) -> int:
    """Runs the reflected CRC-32 register over data. No final complement:
    archives store the register itself."""
    for b in data:
        register = CRC_TABLE[(register ^ b) & 0xFF] ^ (register >> 8)
    return register


LCG_MULTIPLIER = 0x08088405


def key_state(key: bytes) -> int:
    """Start state of the scrambling stream: each character shifted left by
    8, 16, 24, 0, 8, ... bits by its 1-based position, summed mod 2^32. The
    character count is a 16-bit number."""
    total = 0
    for i, c in enumerate(key[:len(key) % 65536], start=1):
        total += c << ((i % 4) * 8)
    return total & 0xFFFFFFFF


class Scrambler:
    """The scrambling stream: each byte first steps the LCG, then is XORed
    with the top 8 bits of the new state. Runs on across calls."""

    def __init__(self, key: bytes = b"") -> None:
        self.state = key_state(key)

    def crypt(self, data: bytes) -> bytes:
        out = bytearray(data)
        s = self.state
        for i in range(len(out)):
            s = (s * LCG_MULTIPLIER + 1) & 0xFFFFFFFF
            out[i] ^= s >> 24
        self.state = s
        return bytes(out)


# ---------------------------------------------------------------------------
# DOS date and time
# ---------------------------------------------------------------------------

def dos_datetime(year: int, month: int, day: int, hour: int, minute: int, second: int) -> int:
    """DosDateTime of a record: the DOS date in the high 16 bits, the DOS
    time (2-second steps) in the low 16."""
    date = ((year - 1980) << 9) | (month << 5) | day
    tod = (hour << 11) | (minute << 5) | (second // 2)
    return (date << 16) | tod


def dos_fields(value: int) -> Tuple[int, int, int, int, int, int]:
    date, tod = value >> 16, value & 0xFFFF
    return (1980 + (date >> 9), (date >> 5) & 15, date & 31,
            tod >> 11, (tod >> 5) & 63, (tod & 31) * 2)


def dos_to_timestamp(value: int) -> float:
    """The POSIX time of a DosDateTime read as local time."""
    y, mo, d, h, mi, s = dos_fields(value)
    return time.mktime((y, mo, d, h, mi, s, 0, 0, -1))


def timestamp_to_dos(ts: float) -> int:
    t = time.localtime(ts)
    return dos_datetime(t.tm_year, t.tm_mon, t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec)


# ---------------------------------------------------------------------------
# Archives
# ---------------------------------------------------------------------------

ATTR_READONLY = 0x01
ATTR_ARCHIVE = 0x20
HEADER = struct.Struct("<IIIII")   # DosDateTime, Size, Attributes, PackedSize, Check


@dataclass
class Entry:
    """One file record. The optional fields override what the writer would
    compute, to make records that lie."""
    name: bytes
    data: bytes = b""
    dos_time: int = dos_datetime(2004, 6, 15, 12, 30, 44)
    attributes: int = ATTR_ARCHIVE
    packed: Optional[bytes] = None       # default: implode(data)
    size: Optional[int] = None
    check: Optional[int] = None
    packed_size: Optional[int] = None
    name_length: Optional[int] = None


def pack_stream(data: bytes) -> bytes:
    """The stream a record holds: text-like data in ASCII mode."""
    text = sum(1 for b in data if 32 <= b < 127 or b in (9, 10, 13))
    return implode(data, ascii_mode=len(data) > 0 and text * 10 >= len(data) * 9)


def record_bytes(e: Entry) -> bytes:
    packed = e.packed if e.packed is not None else pack_stream(e.data)
    return (struct.pack("<H", len(e.name) if e.name_length is None else e.name_length)
            + e.name
            + HEADER.pack(e.dos_time,
                          len(e.data) if e.size is None else e.size,
                          e.attributes,
                          len(packed) if e.packed_size is None else e.packed_size,
                          crc_register(e.data) if e.check is None else e.check)
            + packed)


def body_bytes(entries: Sequence[Entry]) -> bytes:
    return b"".join(record_bytes(e) for e in entries)


def seal(body: bytes, key: bytes = b"") -> bytes:
    """Scrambles a plain body and appends its trailer."""
    return Scrambler(key).crypt(body) + struct.pack("<I", crc_register(body))


def write_archive(entries: Sequence[Entry], key: bytes = b"") -> bytes:
    return seal(body_bytes(entries), key)


# Deliberate damage to a finished archive.

def flip_body_byte(archive: bytes, offset: int, mask: int = 0x01) -> bytes:
    b = bytearray(archive)
    b[offset] ^= mask
    return bytes(b)


@dataclass
class Record:
    name: bytes
    dos_time: int
    size: int
    attributes: int
    packed_size: int
    check: int
    data: bytes = b""
    decoder_result: int = 0


@dataclass
class ReadResult:
    status: int                       # 0, or the C++ reader's code: -5, -6
    records: List[Record] = field(default_factory=list)


def read_archive(archive: bytes, key: bytes = b"") -> ReadResult:
    """Reads an archive as the setup program's reader does, without writing
    files: checks the trailer, then decodes and checks every record. Stops at
    the first record that fails (status -6), keeping the ones before it.
    Unlike the real reader it does not notice packed bytes that the decoder
    would leave unread behind the end code."""
    if len(archive) < 4:
        return ReadResult(-5)
    body = Scrambler(key).crypt(archive[:-4])
    if crc_register(body) != struct.unpack("<I", archive[-4:])[0]:
        return ReadResult(-5)
    result = ReadResult(0)
    pos = 0
    while pos < len(body):
        if pos + 2 > len(body):
            result.status = -6
            return result
        (name_length,) = struct.unpack_from("<H", body, pos)
        name = body[pos + 2:pos + 2 + name_length]
        pos += 2 + name_length
        if pos + HEADER.size > len(body):
            result.status = -6
            return result
        rec = Record(name, *HEADER.unpack_from(body, pos))
        pos += HEADER.size
        packed = body[pos:pos + rec.packed_size]
        pos += rec.packed_size
        rec.decoder_result, rec.data = explode(packed)
        if rec.size == 0 and rec.packed_size == 4 and rec.decoder_result == DCL_TOO_SHORT:
            rec.decoder_result = DCL_OK    # the empty file's 4-byte stream
        result.records.append(rec)
        if (len(packed) != rec.packed_size or len(rec.data) != rec.size
                or crc_register(rec.data) != rec.check or rec.decoder_result != DCL_OK):
            result.status = -6
            return result
    return result


def make_setup(stub: bytes, archive: bytes) -> bytes:
    return stub + MARKER + archive


def payload_of(exe: bytes) -> bytes:
    """The archive behind the first marker; the whole file when there is none."""
    at = exe.find(MARKER)
    return exe if at < 0 else exe[at + len(MARKER):]


SAMPLE_TEXT = (b"Pavlane Orbit Suite 3.03\r\n\r\nThe orbit planner reads its settings "
               b"from the registry and its star charts from the Charts folder.\r\n")


# ---------------------------------------------------------------------------
# A stand-in for the bare setup program: a PE32 image with nothing but the
# resources a stub is known by (its version block and its three dialogs)
# ---------------------------------------------------------------------------

def _version_block(key: str, value: bytes = b"", children: bytes = b"", text: bool = False) -> bytes:
    def pad(b: bytes) -> bytes:
        return b + bytes(-len(b) % 4)
    name = pad(struct.pack("<HHH", 0, 0, 0) + (key + "\0").encode("utf-16-le"))
    body = pad(name + value) + children
    value_length = len(value) // 2 if text else len(value)
    return struct.pack("<HHH", len(body), value_length, 1 if text else 0) + body[6:]


def make_stub(dialogs: Sequence[int] = (100, 200, 300),
              description: str = "Installation program for Pavlane") -> bytes:
    fixed = struct.pack("<13I", 0xFEEF04BD, 0x10000, 0x00010000, 0x0002000A,
                        0x00030002, 0, 0x3F, 0, 0x40004, 1, 0, 0, 0)
    entry = _version_block("FileDescription", (description + "\0").encode("utf-16-le"), text=True)
    version = _version_block("VS_VERSION_INFO", fixed, _version_block(
        "StringFileInfo", b"", _version_block("040904E4", b"", entry)))
    blobs = [(5, d, bytes(24)) for d in dialogs] + [(16, 1, version)]
    types = sorted({t for t, _, _ in blobs})
    # Root, a folder per type, a language folder per resource, data entries, data.
    type_dirs = 16 + 8 * len(types)
    at, type_at = type_dirs, {}
    for t in types:
        type_at[t] = at
        at += 16 + 8 * sum(1 for b in blobs if b[0] == t)
    lang_at = at
    entries_at = lang_at + 24 * len(blobs)
    data_at = entries_at + 16 * len(blobs)
    section_rva = 0x1000
    out = bytearray(struct.pack("<IIHHHH", 0, 0, 0, 0, 0, len(types)))
    for t in types:
        out += struct.pack("<II", t, 0x80000000 | type_at[t])
    data = bytearray()
    ordered = [b for t in types for b in blobs if b[0] == t]
    for t in types:
        mine = [i for i, b in enumerate(ordered) if b[0] == t]
        out += struct.pack("<IIHHHH", 0, 0, 0, 0, 0, len(mine))
        for i in mine:
            out += struct.pack("<II", ordered[i][1], 0x80000000 | (lang_at + 24 * i))
    for i in range(len(ordered)):
        out += struct.pack("<IIHHHH", 0, 0, 0, 0, 0, 1) + struct.pack("<II", 0x409, entries_at + 16 * i)
    offsets = []
    for _, _, blob in ordered:
        offsets.append(len(data))
        data += blob + bytes(-len(blob) % 4)
    for (_, _, blob), offset in zip(ordered, offsets):
        out += struct.pack("<IIII", section_rva + data_at + offset, len(blob), 1252, 0)
    out += data
    raw = bytes(out) + bytes(-len(out) % 0x200)
    header = bytearray(0x200)
    header[0:2] = b"MZ"
    struct.pack_into("<I", header, 0x3C, 0x40)
    struct.pack_into("<4sHHIIIHH", header, 0x40, b"PE\0\0", 0x14C, 1, 0, 0, 0, 0xE0, 0x0102)
    optional = 0x40 + 24
    struct.pack_into("<H", header, optional, 0x10B)
    struct.pack_into("<I", header, optional + 92, 16)
    struct.pack_into("<II", header, optional + 96 + 2 * 8, section_rva, len(out))
    struct.pack_into("<8sIIIII", header, optional + 0xE0, b".rsrc", len(out), section_rva,
                     len(raw), 0x200, 0)
    return bytes(header) + raw
