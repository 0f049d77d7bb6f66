"""Python client of the Pellary file server: the SRPC value encoding, the packet framing and a
connection with one method per server procedure, plus a file object over remote files,
uploads and downloads of files and trees, and `python -m pellary_client`, a command line
with the main commands of pellary-cli.

Standard library only; copy this one file next to a program or install the package.

    from pellary_client import connect
    with connect("127.0.0.1", 7027) as client:     # or connect(): $PELLARY_HOST, $PELLARY_PORT
        client.upload("report.pdf", "/srv/pellary/files/report.pdf")
        print(client.file_read("/srv/pellary/files/report.pdf", 0, 4))

Values travel as tagged values. Python values map to them so: int -> 'i' (32-bit), SuperLong
-> 'l' (64-bit), float -> 'd', Float -> 'f', str -> 's', bytes -> 'b', LString -> 'u',
datetime / DateTimeRecord -> 't', Table -> 'r', Null(tag) -> a NULL of that type. Decoded
results come back as the same types, NULL as None (or as Null(tag) on request, and then a
decoded list encodes to the same bytes).

Everything read from the network is checked: malformed bytes raise SrpcProtocolError, a
connection that breaks or stays silent past its time-out raises SrpcConnectionError, and an
error answer of the server raises SrpcError with its code and text. A Client serves one
thread at a time.
"""

from __future__ import annotations

import argparse
import collections
import datetime
import errno
import io
import os
import shutil
import socket
import struct
import sys
import time

__version__ = "1.1.0"

__all__ = [
    "LONG", "SUPERLONG", "FLOAT", "DOUBLE", "STRING", "BINARY", "DATETIME", "TABLE",
    "LSTRING", "CSTRING", "PROC_NOT_SUPPORTED", "ARG_FORMAT_ERROR", "MAX_PACKET",
    "READ_LIMIT", "DEFAULT_HOST", "DEFAULT_PORT", "PellaryError", "SrpcError",
    "SrpcProtocolError", "SrpcConnectionError", "ExtensionsNotOffered", "SuperLong", "Float",
    "LString", "Null", "DateTimeRecord", "Column", "Table", "Procedure", "encode_values",
    "decode_values", "encode_table", "decode_table", "build_request", "build_answer",
    "build_error_answer", "parse_packet", "Packet", "DirEntry", "Client", "RemoteFile",
    "resolve_address", "connect", "main",
]

# Value tags: the letters that name a value's type on the wire. CSTRING is a column type of
# tables only; its cells travel as STRING. The server's own table is kValueTags in
# values/wirecodec.h (and the 'v' column tag in values/nettable.cc): keep the two alike.
LONG = "i"
SUPERLONG = "l"
FLOAT = "f"
DOUBLE = "d"
STRING = "s"
BINARY = "b"
DATETIME = "t"
TABLE = "r"
LSTRING = "u"
CSTRING = "v"

NULL_FLAG = 0x80
# Error codes of the server's dispatcher.
PROC_NOT_SUPPORTED = -1
ARG_FORMAT_ERROR = -2
# The largest packet the server takes, header and trailer included.
MAX_PACKET = 419430400
# The most bytes one plif_file_read answers.
READ_LIMIT = 0x10000
DEFAULT_HOST = "127.0.0.1"
DEFAULT_PORT = 7027
# Bounds the server also keeps when it decodes tables.
MAX_COLUMNS = 127
MAX_COLUMN_SIZE = 1 << 20
MAX_TABLE_DEPTH = 32
# The longest pattern plif_dir_list takes, in bytes.
MAX_PATTERN = 1024
# Bytes per local read or write when files are copied.
_COPY_SIZE = 4 << 20

_KIND_REQUEST = b"R"[0]
_KIND_ONE_WAY = b"Y"[0]
_KIND_EXTENDED = b"X"[0]
_KIND_ANSWER = b"A"[0]
_KIND_ERROR = b"B"[0]
_KEEP_ALIVE = b"P"[0]
_TRAILER = b"\x35\x67"
_PLAIN_HEADER = 6
_EXTENDED_HEADER = 7

_VALUE_TAGS = frozenset("ilfdsbtru")
_COLUMN_TAGS = frozenset("ilfdsbtrv")
_INT32 = struct.Struct(">i")
_UINT32 = struct.Struct(">I")
_INT64_LOW_FIRST = struct.Struct("<q")
_DATETIME = struct.Struct(">HBBBBBBH")
_TABLE_HEADER = struct.Struct(">IH")
_TEXT_ERRORS = "surrogateescape"  # server texts are bytes: keep any that are not UTF-8


# ---- Errors -------------------------------------------------------------------------------


class PellaryError(Exception):
    """Base of every error this module raises about the server or the connection."""


class SrpcError(PellaryError):
    """An error answer of the server: its code (-1 no such procedure, -2 the arguments do
    not fit the procedure) and its text."""

    def __init__(self, code, text, procedure=None):
        self.code = code
        self.text = text
        self.procedure = procedure
        where = f"{procedure}: " if procedure is not None else ""
        super().__init__(f"{where}{text} ({code})")


class SrpcProtocolError(PellaryError):
    """Bytes that break the value encoding or the packet framing."""


class SrpcConnectionError(PellaryError, ConnectionError):
    """The connection could not be made, broke, or brought no answer in time. The client is
    closed afterwards: the stream can no longer be trusted to be in step."""


class ExtensionsNotOffered(SrpcError):
    """The server answered "PROC NOT SUPPORT" to one of its opt-in procedures
    (plif_dir_list, plif_file_stat, plif_file_checksum): its profile does not turn them on."""

    def __str__(self):
        return (f"the server does not offer {self.procedure} ({self.text}): plif_dir_list, "
                f"plif_file_stat and plif_file_checksum are served only when the server's "
                f"profile sets Extensions=1")


# ---- Typed values -------------------------------------------------------------------------


class SuperLong(int):
    """An integer that travels as a 64-bit value ('l') rather than a 32-bit one ('i')."""

    __slots__ = ()

    def __repr__(self):
        return f"SuperLong({int(self)})"


class Float(float):
    """A number that travels as single precision ('f'); it holds the value rounded to it."""

    __slots__ = ()

    def __new__(cls, value=0.0):
        return super().__new__(cls, _to_single(float(value)))

    def __repr__(self):
        return f"Float({float(self)!r})"


class LString(bytes):
    """Bytes that travel as a long string ('u') rather than as binary ('b')."""

    __slots__ = ()


class Null:
    """A NULL value of one type: Null(STRING) travels as the 's' tag with the NULL flag."""

    __slots__ = ("tag",)

    def __init__(self, tag):
        if tag not in _VALUE_TAGS:
            raise ValueError(f"no value type has the tag {tag!r}")
        self.tag = tag

    def __eq__(self, other):
        return isinstance(other, Null) and other.tag == self.tag

    def __hash__(self):
        return hash(("Null", self.tag))

    def __repr__(self):
        return f"Null({self.tag!r})"


# A date-time that datetime cannot hold: the empty one (year 0) or fields out of range.
DateTimeRecord = collections.namedtuple(
    "DateTimeRecord", "year month day hour minute second millisecond")

Column = collections.namedtuple("Column", "name tag size", defaults=(None,))
Column.__doc__ = """A table column: name, tag (one of 'ilfdsbtrv') and, for 's' and 'b', the
declared size in bytes, which a server table keeps of each cell (None when encoding: the
longest cell's)."""


class Table:
    """Rows of typed cells under named columns, as a table value ('r') carries them.

    `columns` is a sequence of Column or (name, tag[, size]) tuples; `rows` a sequence of
    sequences with one cell per column (None for NULL)."""

    def __init__(self, columns, rows=()):
        self.columns = [Column(*c) for c in columns]
        for column in self.columns:
            if column.tag not in _COLUMN_TAGS:
                raise ValueError(f"column {column.name!r}: no column type has the tag "
                                 f"{column.tag!r}")
        self.rows = [list(row) for row in rows]

    def column_index(self, name):
        """0-based index of the column `name`; KeyError when there is none."""
        for i, column in enumerate(self.columns):
            if column.name == name:
                return i
        raise KeyError(name)

    def records(self):
        """Every row as a dict from column name to cell."""
        names = [column.name for column in self.columns]
        return [dict(zip(names, row)) for row in self.rows]

    def __len__(self):
        return len(self.rows)

    def __iter__(self):
        return iter(self.rows)

    def __getitem__(self, i):
        return self.rows[i]

    def __eq__(self, other):
        return (isinstance(other, Table) and
                [c[:2] for c in self.columns] == [c[:2] for c in other.columns] and
                self.rows == other.rows)

    def __repr__(self):
        return f"Table({self.columns!r}, {self.rows!r})"


def _to_single(number):
    """`number` rounded to single precision; beyond its range it saturates to infinity, as
    the server narrows."""
    try:
        return struct.unpack("<f", struct.pack("<f", number))[0]
    except OverflowError:
        return float("inf") if number > 0 else float("-inf")


# ---- Value encoding -----------------------------------------------------------------------


def _tag_of(value):
    """The tag a Python value travels with (Null excluded)."""
    if isinstance(value, bool):
        raise TypeError("a bool has no value type: send int(value)")
    if isinstance(value, SuperLong):
        return SUPERLONG
    if isinstance(value, int):
        return LONG
    if isinstance(value, Float):
        return FLOAT
    if isinstance(value, float):
        return DOUBLE
    if isinstance(value, str):
        return STRING
    if isinstance(value, LString):
        return LSTRING
    if isinstance(value, (bytes, bytearray, memoryview)):
        return BINARY
    if isinstance(value, (datetime.datetime, DateTimeRecord)):
        return DATETIME
    if isinstance(value, Table):
        return TABLE
    if value is None:
        raise TypeError("a NULL needs its type: pass Null(STRING), Null(LONG), ...")
    raise TypeError(f"no value type for {type(value).__name__}")


def _text_bytes(text, encoding):
    data = text.encode(encoding, _TEXT_ERRORS)
    if b"\0" in data:
        raise ValueError(f"a text value cannot hold a NUL character: {text!r}")
    return data


def _counted(out, tag, data):
    if len(data) > 0x7FFFFFFF:
        raise ValueError(f"a value of {len(data)} bytes is too long to send")
    out += tag
    out += _UINT32.pack(len(data))
    out += data


def _put(out, tag, value, encoding, depth=0):
    """Appends one tagged value of type `tag` to the bytearray `out`."""
    if value is None or isinstance(value, Null):
        out.append(ord(tag) | NULL_FLAG)
        return
    if tag == LONG:
        if not -0x80000000 <= value <= 0x7FFFFFFF:
            raise ValueError(f"{value} does not fit a 32-bit value: send SuperLong({value})")
        out += b"i" + _INT32.pack(value)
    elif tag == SUPERLONG:
        if not -0x8000000000000000 <= value <= 0x7FFFFFFFFFFFFFFF:
            raise ValueError(f"{value} does not fit a 64-bit value")
        out += b"l" + _INT64_LOW_FIRST.pack(value)  # low byte first, unlike the rest
    elif tag in (FLOAT, DOUBLE):
        number = _to_single(float(value)) if tag == FLOAT else float(value)
        out += tag.encode() + (b"%.48e" % number) + b"\0"
    elif tag in (STRING, CSTRING):
        out += b"s" + _text_bytes(value, encoding) + b"\0"
    elif tag in (BINARY, LSTRING):
        _counted(out, tag.encode(), memoryview(value).cast("B"))
    elif tag == DATETIME:
        if isinstance(value, datetime.datetime):
            fields = (value.year, value.month, value.day, value.hour, value.minute,
                      value.second, value.microsecond // 1000)
        else:
            fields = tuple(value)
        year, month, day, hour, minute, second, millisecond = fields
        try:
            out += b"t" + _DATETIME.pack(year, month, day, hour, minute, second, 0, millisecond)
        except struct.error:
            raise ValueError(f"date-time fields out of range: {fields}") from None
    elif tag == TABLE:
        if not isinstance(value, Table):
            raise TypeError(f"a table cell needs a Table, not {type(value).__name__}")
        _counted(out, b"r", _encode_image(value, encoding, depth + 1))
    else:
        raise ValueError(f"no value type has the tag {tag!r}")


def _encode(values, encoding):
    out = bytearray()
    for value in values:
        tag = value.tag if isinstance(value, Null) else _tag_of(value)
        _put(out, tag, value, encoding)
    return out


def encode_values(values, encoding="utf-8"):
    """The tagged encoding of a sequence of values, as request and answer bodies hold it."""
    return bytes(_encode(values, encoding))


def _column_size(column, cells, encoding):
    if column.tag not in (STRING, BINARY):
        return 0
    if column.size is not None:
        return column.size
    longest = 0
    for cell in cells:
        if cell is not None:
            longest = max(longest, len(_text_bytes(cell, encoding) if column.tag == STRING
                                        else memoryview(cell).cast("B")))
    if longest > MAX_COLUMN_SIZE:
        raise ValueError(f"column {column.name!r} needs {longest} bytes a cell, more than "
                         f"a column may declare ({MAX_COLUMN_SIZE})")
    return longest


# What the cells of each column type may be.
_CELL_TYPES = {
    LONG: int, SUPERLONG: int, FLOAT: (int, float), DOUBLE: (int, float), STRING: str,
    CSTRING: str, BINARY: (bytes, bytearray, memoryview),
    DATETIME: (datetime.datetime, DateTimeRecord), TABLE: Table,
}


def _encode_image(table, encoding, depth):
    if depth > MAX_TABLE_DEPTH:
        raise ValueError(f"tables nest deeper than {MAX_TABLE_DEPTH} levels")
    if len(table.columns) > MAX_COLUMNS:
        raise ValueError(f"a table has at most {MAX_COLUMNS} columns")
    width = len(table.columns)
    for r, row in enumerate(table.rows):
        if len(row) != width:
            raise ValueError(f"row {r} has {len(row)} cells for {width} columns")
    if width == 0 and table.rows:
        raise ValueError("a table without columns cannot carry rows")
    out = bytearray(_TABLE_HEADER.pack(len(table.rows), width))
    for c, column in enumerate(table.columns):
        size = _column_size(column, (row[c] for row in table.rows), encoding)
        out += _text_bytes(column.name, encoding) + b"\0"
        out += column.tag.encode() + _INT32.pack(size)
    for row in table.rows:
        for column, cell in zip(table.columns, row):
            if cell is not None and (isinstance(cell, bool) or
                                     not isinstance(cell, _CELL_TYPES[column.tag])):
                raise TypeError(f"column {column.name!r} ({column.tag}) cannot hold "
                                f"{type(cell).__name__}")
            # Text cells travel as 's', in 'v' columns too, a NULL one as well.
            _put(out, STRING if column.tag == CSTRING else column.tag, cell, encoding, depth)
    return bytes(out)


def encode_table(table, encoding="utf-8"):
    """The table image of `table`: the payload of an 'r' value."""
    return _encode_image(table, encoding, 1)


# ---- Value decoding -----------------------------------------------------------------------


class _Reader:
    """A read position in bytes from the network; every read is checked against the end."""

    __slots__ = ("data", "pos", "end", "encoding", "what")

    def __init__(self, data, encoding, what, pos=0, end=None):
        self.data = data
        self.pos = pos
        self.end = len(data) if end is None else end
        self.encoding = encoding
        self.what = what

    def fail(self, why):
        raise SrpcProtocolError(f"{self.what}: {why} (byte {self.pos})")

    def take(self, n, of):
        if self.end - self.pos < n:
            self.fail(f"{of} cut short: {n} bytes needed, {self.end - self.pos} left")
        start = self.pos
        self.pos += n
        return self.data[start:self.pos]

    def unpack(self, layout, of):
        return layout.unpack(self.take(layout.size, of))

    def text_bytes(self, of):
        nul = self.data.find(b"\0", self.pos, self.end)
        if nul < 0:
            self.fail(f"{of} without its ending NUL")
        start, self.pos = self.pos, nul + 1
        return self.data[start:nul]

    def text(self, of):
        return bytes(self.text_bytes(of)).decode(self.encoding, _TEXT_ERRORS)

    def counted(self, of):
        (count,) = self.unpack(_INT32, f"{of} length")
        if count < 0:
            self.fail(f"{of} with a negative length {count}")
        return self.take(count, of)


def _read_number(reader, of):
    text = reader.text_bytes(of)
    try:
        return float(bytes(text).decode("ascii"))
    except ValueError:
        reader.fail(f"{of} is not a number: {bytes(text)[:40]!r}")


def _read_datetime(reader):
    year, month, day, hour, minute, second, _, ms = reader.unpack(_DATETIME, "date-time")
    if year != 0 and ms < 1000:
        try:
            return datetime.datetime(year, month, day, hour, minute, second, ms * 1000)
        except ValueError:
            pass
    return DateTimeRecord(year, month, day, hour, minute, second, ms)


def _read_value(reader, tag, depth, in_table):
    """The payload of one non-NULL value with the tag `tag` (a letter)."""
    if tag == LONG:
        return reader.unpack(_INT32, "32-bit value")[0]
    if tag == SUPERLONG:
        value = reader.unpack(_INT64_LOW_FIRST, "64-bit value")[0]
        return value if in_table else SuperLong(value)
    if tag == DOUBLE:
        return _read_number(reader, "double")
    if tag == FLOAT:
        value = _to_single(_read_number(reader, "float"))
        return value if in_table else Float(value)
    if tag in (STRING, CSTRING):
        return reader.text("text")
    if tag == BINARY:
        return bytes(reader.counted("binary"))
    if tag == LSTRING:
        return LString(reader.counted("long string"))
    if tag == DATETIME:
        return _read_datetime(reader)
    if tag == TABLE:
        (count,) = reader.unpack(_INT32, "table length")
        if count < 0 or count > reader.end - reader.pos:
            reader.fail(f"table image of {count} bytes where {reader.end - reader.pos} are left")
        start = reader.pos
        reader.pos += count
        inner = _Reader(reader.data, reader.encoding, reader.what, start, start + count)
        return _decode_image(inner, depth + 1)
    reader.fail(f"unknown value tag {tag!r}")


def _decode_image(reader, depth):
    if depth > MAX_TABLE_DEPTH:
        reader.fail(f"tables nested deeper than {MAX_TABLE_DEPTH} levels")
    rows, width = reader.unpack(_TABLE_HEADER, "table header")
    if width > MAX_COLUMNS:
        reader.fail(f"a table of {width} columns")
    columns = []
    for _ in range(width):
        name = reader.text("column name")
        tag = chr(reader.take(1, "column type")[0])
        (size,) = reader.unpack(_INT32, "column size")
        if tag not in _COLUMN_TAGS:
            reader.fail(f"column {name!r} has the unknown type {tag!r}")
        if tag in (STRING, BINARY) and not 0 <= size <= MAX_COLUMN_SIZE:
            reader.fail(f"column {name!r} declares the size {size}")
        columns.append(Column(name, tag, size))
    # Every cell takes at least its tag byte: a row count the bytes cannot hold is a lie,
    # found before anything is built for it.
    left = reader.end - reader.pos
    if rows > 0 and (width == 0 or rows > left // width):
        reader.fail(f"table declares {rows} rows of {width} columns in {left} bytes")
    table = Table(columns)
    for _ in range(rows):
        row = []
        for column in columns:
            byte = reader.take(1, "cell tag")[0]
            letter = chr(byte & ~NULL_FLAG)
            fits = letter in "sv" if column.tag in "sv" else letter == column.tag
            if not fits:
                reader.fail(f"a {letter!r} cell in column {column.name!r} of type "
                            f"{column.tag!r}")
            row.append(None if byte & NULL_FLAG else
                       _read_value(reader, letter, depth, in_table=True))
        table.rows.append(row)
    if reader.pos != reader.end:
        reader.fail(f"{reader.end - reader.pos} bytes left over behind the table's rows")
    return table


def decode_table(image, encoding="utf-8"):
    """A Table from a table image (the payload of an 'r' value)."""
    return _decode_image(_Reader(image, encoding, "table image"), 1)


def _decode_tagged(data, encoding="utf-8", what="values", pos=0, end=None):
    """[(tag, value)] of every value in data[pos:end]; NULL values are (tag, None)."""
    reader = _Reader(data, encoding, what, pos, end)
    values = []
    while reader.pos < reader.end:
        byte = reader.data[reader.pos]
        reader.pos += 1
        tag = chr(byte & ~NULL_FLAG)
        if tag not in _VALUE_TAGS:
            reader.pos -= 1
            reader.fail(f"unknown value tag 0x{byte:02x}")
        values.append((tag, None if byte & NULL_FLAG else
                       _read_value(reader, tag, 0, in_table=False)))
    return values


def decode_values(data, encoding="utf-8", typed_nulls=False):
    """The values of a tagged encoding, NULL as None, or as Null(tag) with typed_nulls."""
    return [Null(tag) if value is None and typed_nulls else value
            for tag, value in _decode_tagged(data, encoding)]


# ---- Packets ------------------------------------------------------------------------------

Packet = collections.namedtuple("Packet", "kind extended body")
Packet.__doc__ = """A checked packet: kind 'R', 'Y', 'A' or 'B'; extended when it names its
procedure by index; body: the bytes between header and trailer."""


def _checksum(header):
    total = 0x55
    for byte in header:
        total ^= byte
    return total


def _frame(header, body_parts):
    """A packet from its header (length and checksum still zero) and body pieces."""
    body_length = sum(len(part) for part in body_parts)
    total = len(header) + body_length + len(_TRAILER)
    if total > MAX_PACKET:
        raise ValueError(f"a packet of {total} bytes is larger than the server takes "
                         f"({MAX_PACKET})")
    head = bytearray(header)
    head[-5:-1] = _UINT32.pack(total)
    head[-1] = _checksum(head[:-1])
    return b"".join([bytes(head), *body_parts, _TRAILER])


def build_request(procedure, values=(), one_way=False, encoding="utf-8"):
    """A request packet: `procedure` a name (plain packet) or an index (extended packet);
    one_way asks for no answer."""
    kind = _KIND_ONE_WAY if one_way else _KIND_REQUEST
    if isinstance(procedure, int) and not isinstance(procedure, bool):
        if not 0 <= procedure <= 0xFFFFFFFF:
            raise ValueError(f"procedure index {procedure} out of range")
        header, reference = bytes([_KIND_EXTENDED, kind, 0, 0, 0, 0, 0]), _UINT32.pack(procedure)
    else:
        header, reference = bytes([kind, 0, 0, 0, 0, 0]), _text_bytes(procedure, encoding) + b"\0"
    return _frame(header, [reference, _encode(values, encoding)])


def build_answer(values, encoding="utf-8"):
    """An answer packet ('A') with the results."""
    return _frame(bytes([_KIND_ANSWER, 0, 0, 0, 0, 0]), [_encode(values, encoding)])


def build_error_answer(code, text, encoding="utf-8"):
    """An error answer packet ('B') with the code and the text."""
    return _frame(bytes([_KIND_ERROR, 0, 0, 0, 0, 0]), [_encode([code, text], encoding)])


def _check_header(header):
    """The total length a header declares, after checking its checksum and range."""
    if header[-1] != _checksum(header[:-1]):
        raise SrpcProtocolError(f"packet header {bytes(header).hex()} has a wrong checksum")
    (total,) = _UINT32.unpack(header[-5:-1])
    if not len(header) + len(_TRAILER) <= total <= MAX_PACKET:
        raise SrpcProtocolError(f"packet declares {total} bytes, outside "
                                f"{len(header) + len(_TRAILER)}..{MAX_PACKET}")
    return total


def parse_packet(data):
    """The Packet that `data` holds, exactly; SrpcProtocolError when it is not one."""
    data = bytes(data)
    if not data:
        raise SrpcProtocolError("empty packet")
    extended = data[0] == _KIND_EXTENDED
    header_size = _EXTENDED_HEADER if extended else _PLAIN_HEADER
    if len(data) < header_size + len(_TRAILER):
        raise SrpcProtocolError(f"a packet of {len(data)} bytes is too short")
    kind = data[1] if extended else data[0]
    if kind not in (_KIND_REQUEST, _KIND_ONE_WAY) + (() if extended else (_KIND_ANSWER,
                                                                          _KIND_ERROR)):
        raise SrpcProtocolError(f"no packet kind 0x{kind:02x}")
    total = _check_header(data[:header_size])
    if total != len(data):
        raise SrpcProtocolError(f"packet declares {total} bytes and has {len(data)}")
    if data[-2:] != _TRAILER:
        raise SrpcProtocolError(f"packet trailer {data[-2:].hex()} is not 3567")
    return Packet(chr(kind), extended, data[header_size:-2])


# ---- Addresses and server paths -----------------------------------------------------------


def _port_number(value, what):
    """`value` (an int or its decimal text) as a port 1-65535; ValueError naming `what`."""
    text = str(value)
    if not (text.isascii() and text.isdigit() and 1 <= int(text) <= 65535):
        raise ValueError(f"{what} is not a port number: {value!r}")
    return int(text)


def _split_host(text):
    """(host, port text or None) of HOST, HOST:PORT, [V6] or [V6]:PORT; a bare IPv6 literal
    (more than one colon) has no port."""
    if text.startswith("["):
        host, bracket, rest = text[1:].partition("]")
        if not bracket or (rest and not rest.startswith(":")):
            raise ValueError(f"not a host: {text!r}")
        return host, rest[1:] or None
    if text.count(":") == 1:
        host, _, port = text.partition(":")
        return host, port
    return text, None


def resolve_address(host=None, port=None):
    """The (host, port) that connect() uses: each from the arguments, else from the
    environment (PELLARY_HOST, PELLARY_PORT), else 127.0.0.1 and 7027. The host may carry a
    port as HOST:PORT or [IPv6]:PORT; a port argument still wins over it."""
    if host is None:
        host = os.environ.get("PELLARY_HOST") or DEFAULT_HOST
    host, host_port = _split_host(host)
    if not host:
        raise ValueError("no host given")
    if port is not None:
        return host, _port_number(port, "the port")
    if host_port is not None:
        return host, _port_number(host_port, "the port after the host")
    environment = os.environ.get("PELLARY_PORT")
    return host, _port_number(environment, "PELLARY_PORT") if environment else DEFAULT_PORT


def _is_absolute(path):
    """Whether a server path is absolute on either system: /..., \\... or X:\\... (X:/...)."""
    return path[:1] in ("/", "\\") or (len(path) >= 3 and path[0].isascii() and
                                       path[0].isalpha() and path[1] == ":" and
                                       path[2] in "/\\")


def _ascii_lower(path):
    """`path` as the server's file procedures see it: ASCII letters lower-cased, nothing else."""
    return path.translate(_ASCII_LOWER)


_ASCII_LOWER = {c: c + 32 for c in range(ord("A"), ord("Z") + 1)}


def _split_path(path):
    """(parent, last name) of a server path; the parent of a root ("/", "X:\\") is None."""
    trimmed = path.rstrip("/\\")
    cut = max(trimmed.rfind("/"), trimmed.rfind("\\"))
    if cut < 0:
        return None, trimmed
    parent = trimmed[:cut]
    if not parent or (len(parent) == 2 and parent[1] == ":"):
        parent = trimmed[:cut + 1]  # the root keeps its separator
    return parent, trimmed[cut + 1:]


def _join(directory, relative):
    """`relative` (names between '/') under the server directory, with the directory's
    separator: backslashes when it uses only those."""
    separator = "\\" if "\\" in directory and "/" not in directory else "/"
    if not directory.endswith(("/", "\\")):
        directory += separator
    return directory + relative.replace("/", separator)


def _require_bytes(data, what):
    if isinstance(data, str):
        raise TypeError(f"{what} takes bytes, not str: encode the text first "
                        f"(text.encode()); the server stores bytes")


# ---- Client -------------------------------------------------------------------------------

Procedure = collections.namedtuple("Procedure", "index name formats")
Procedure.__doc__ = """A server procedure: its index (for calls by index), its name, and its
argument types, one tag letter per argument."""


DirEntry = collections.namedtuple("DirEntry", "name is_dir length mtime")
DirEntry.__doc__ = """A server directory entry: its name as on disk (bytes that are not text
kept as surrogate escapes, as in every server text), whether it is a directory, its length in
bytes (64-bit) and its last-write time in whole seconds since 1970-01-01 UTC."""


def _ensure(condition, procedure, results, expected):
    if not condition:
        shown = ", ".join(f"{tag}:{value!r}"[:60] for tag, value in results) or "nothing"
        raise SrpcProtocolError(f"{procedure} answered {shown} where {expected} was expected")


def _entries(procedure, table):
    """The DirEntry of each row of an entry table ("name", "dir", "length", "mtime")."""
    try:
        columns = [table.column_index(name) for name in ("name", "dir", "length", "mtime")]
    except KeyError as error:
        raise SrpcProtocolError(f"{procedure} answered a table without the column "
                                f"{error}") from None
    entries = []
    for row in table.rows:
        name, is_dir, length, mtime = (row[c] for c in columns)
        if not (isinstance(name, str) and is_dir in (0, 1) and isinstance(length, int) and
                isinstance(mtime, int)):
            raise SrpcProtocolError(f"{procedure} answered the row {row!r}"[:200])
        entries.append(DirEntry(name, is_dir == 1, length, mtime))
    return entries


class Client:
    """One connection to a Pellary server. Calls go one at a time: each sends its request
    and waits for its answer, at most `timeout` seconds. It connects at once when a host or
    a port is given, else on connect().

    Server paths may be str, bytes (sent byte for byte) or os.PathLike, and must be absolute
    (/..., \\\\... or X:\\...): the server would resolve a relative one in its own program
    directory, so it is refused with ValueError."""

    def __init__(self, host=None, port=None, timeout=300.0, connect_timeout=5.0,
                 encoding="utf-8"):
        self.timeout = timeout
        self.encoding = encoding
        self._socket = None
        if host is not None or port is not None:
            self.connect(host, port, timeout, connect_timeout)

    # -- Connection --

    def connect(self, host=None, port=None, timeout=None, connect_timeout=5.0):
        """Connects (closing an earlier connection) to the address resolve_address() makes of
        host and port; within connect_timeout seconds, or `timeout` when that is shorter."""
        host, port = resolve_address(host, port)
        self.close()
        if timeout is not None:
            self.timeout = timeout
        try:
            sock = socket.create_connection((host, port), min(connect_timeout, self.timeout))
        except OSError as error:
            raise SrpcConnectionError(f"connect {host}:{port}: {error}") from error
        # Without it the short tail of a request waits for the peer's delayed ack.
        sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self._socket = sock
        return self

    def close(self):
        if self._socket is not None:
            try:
                self._socket.close()
            finally:
                self._socket = None

    @property
    def connected(self):
        return self._socket is not None

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def _broken(self, what, error=None):
        self.close()
        reason = error if error is not None else "closed by the server"
        return SrpcConnectionError(f"connection broken ({what}): {reason}")

    def _send(self, packet, deadline):
        if self._socket is None:
            raise SrpcConnectionError("not connected")
        try:
            self._socket.settimeout(max(deadline - time.monotonic(), 0.001))
            self._socket.sendall(packet)
        except socket.timeout as error:
            raise self._broken("send", f"not sent within {self.timeout} s") from error
        except OSError as error:
            raise self._broken("send", error) from error

    def _receive(self, n, deadline):
        """Exactly n bytes before the deadline. The buffer grows as bytes come, so a length
        that a peer only claims costs nothing."""
        buffer = bytearray(min(n, 1 << 20))
        got = 0
        while got < n:
            if got == len(buffer):
                buffer.extend(bytes(min(len(buffer), n - len(buffer))))
            left = deadline - time.monotonic()
            if left <= 0:
                raise self._broken("receive", f"no answer within {self.timeout} s")
            try:
                self._socket.settimeout(left)
                count = self._socket.recv_into(memoryview(buffer)[got:])
            except socket.timeout as error:
                raise self._broken("receive", f"no answer within {self.timeout} s") from error
            except OSError as error:
                raise self._broken("receive", error) from error
            if count == 0:
                raise self._broken("receive")
            got += count
        return buffer

    def _read_answer(self, deadline):
        """The next answer packet: (kind byte, body). Keep-alives before it are skipped."""
        if self._socket is None:
            raise SrpcConnectionError("not connected")
        try:
            while True:
                first = self._receive(1, deadline)[0]
                if first != _KEEP_ALIVE:
                    break
            if first not in (_KIND_ANSWER, _KIND_ERROR):
                raise SrpcProtocolError(f"byte 0x{first:02x} where an answer should start")
            header = bytes([first]) + bytes(self._receive(_PLAIN_HEADER - 1, deadline))
            total = _check_header(header)
            rest = self._receive(total - _PLAIN_HEADER, deadline)
            if rest[-2:] != _TRAILER:
                raise SrpcProtocolError(f"answer trailer {bytes(rest[-2:]).hex()} is not 3567")
        except SrpcProtocolError:
            self.close()  # the stream is out of step: nothing after this can be trusted
            raise
        del rest[-2:]
        return first, rest

    def _finish(self, procedure, kind, body):
        try:
            results = _decode_tagged(body, self.encoding, f"answer of {procedure}")
        except SrpcProtocolError:
            self.close()
            raise
        if kind == _KIND_ANSWER:
            return results
        if [tag for tag, _ in results] != [LONG, STRING] or results[0][1] is None:
            self.close()
            raise SrpcProtocolError(f"malformed error answer of {procedure}: {results!r}"[:200])
        raise SrpcError(results[0][1], results[1][1] or "", procedure)

    def _call_tagged(self, procedure, values):
        deadline = time.monotonic() + self.timeout
        self._send(build_request(procedure, values, encoding=self.encoding), deadline)
        kind, body = self._read_answer(deadline)
        return self._finish(procedure, kind, body)

    # -- Generic calls --

    def call(self, procedure, *values):
        """Calls a procedure, named or by index, with the values as arguments → the result
        values (NULL as None). An error answer raises SrpcError."""
        return [value for _, value in self._call_tagged(procedure, values)]

    def call_many(self, procedure, argument_lists):
        """The same procedure with each argument list, the requests sent ahead of their
        answers so that the calls do not wait for each other → a result list per call.
        An error answer raises SrpcError after every answer was read."""
        deadline = time.monotonic() + self.timeout
        self._send(b"".join(build_request(procedure, values, encoding=self.encoding)
                            for values in argument_lists), deadline)
        answers = [self._read_answer(deadline) for _ in argument_lists]
        return [[value for _, value in self._finish(procedure, kind, body)]
                for kind, body in answers]

    def send(self, procedure, *values):
        """A one-way request: the server runs it and answers nothing."""
        self._send(build_request(procedure, values, one_way=True, encoding=self.encoding),
                   time.monotonic() + self.timeout)

    def keep_alive(self):
        """One keep-alive byte, which the server skips."""
        self._send(bytes([_KEEP_ALIVE]), time.monotonic() + self.timeout)

    def _one(self, procedure, tag, *values):
        results = self._call_tagged(procedure, values)
        _ensure(len(results) == 1 and results[0][0] == tag and results[0][1] is not None,
                procedure, results, f"one '{tag}' value")
        return results[0][1]

    def _flag(self, procedure, *values):
        return self._one(procedure, LONG, *values) == 1

    def _nothing(self, procedure):
        results = self._call_tagged(procedure, ())
        _ensure(not results, procedure, results, "no value")

    # -- Built-in procedures --

    def procedures(self):
        """The server's procedure list, in index order."""
        table = self._one("corvexa_srpc_getcmds", TABLE)
        try:
            cmd, fmt = table.column_index("cmd"), table.column_index("argfmt")
        except KeyError as error:
            raise SrpcProtocolError(f"procedure list without the column {error}") from None
        return [Procedure(i, row[cmd], (row[fmt] or "").strip())
                for i, row in enumerate(table.rows)]

    def find_proc(self, name):
        """The index of a procedure, -1 when the server has none."""
        return self._one("corvexa_srpc_findcmd", LONG, name)

    # -- File service --

    def get_version(self):
        return self._one("plif_get_version", STRING)

    def file_create(self, path):
        """True when the file was made or was there already; never truncates."""
        return self._flag("plif_file_create", self._path(path))

    def file_open(self, path):
        """True when the file exists and opens for reading and writing."""
        return self._flag("plif_file_open", self._path(path))

    def file_read(self, path, position, size=READ_LIMIT):
        """Up to `size` bytes at `position`; the server answers at most READ_LIMIT per call,
        and fewer at the end of the file. FileNotFoundError when there is no file."""
        path = self._path(path)
        data = self._one("plif_file_read", BINARY, path, SuperLong(position), size)
        if not data:
            self._require_file(path)
        return data

    def file_write(self, path, position, data):
        """Writes `data` (bytes) at `position` → the bytes written, all of them on the disk;
        0 when the write failed (or the file does not exist)."""
        _require_bytes(data, "file_write")
        return self._one("plif_file_write", LONG, self._path(path), SuperLong(position), data)

    def file_getlength(self, path):
        """The file's length; FileNotFoundError when there is no file. The server sends the
        low 32 bits, so this is right up to 4 GiB (stat() tells more)."""
        path = self._path(path)
        length = self._one("plif_file_getlength", SUPERLONG, path) & 0xFFFFFFFF
        if length == 0:
            self._require_file(path)
        return length

    def file_rename(self, old_path, new_path):
        """False when the old file is missing or the new path exists: it never overwrites."""
        return self._flag("plif_file_rename", self._path(old_path), self._path(new_path))

    def file_remove(self, path):
        """True when the file is gone; also for a file that was never there."""
        return self._flag("plif_file_remove", self._path(path))

    def file_exists(self, pattern):
        """True when anything matches the path, which may hold * and ?."""
        return self._flag("plif_file_exists", self._path(pattern))

    def file_clear(self):
        """Deletes every file directly in the server's file directories."""
        self._nothing("plif_file_clear")

    def dir_exists(self, path):
        return self._flag("plif_dir_exists", self._path(path))

    def mkdir(self, path):
        return self._flag("plif_mkdir", self._path(path))

    def rmdir(self, path):
        return self._flag("plif_rmdir", self._path(path))

    def get_freespace(self, path):
        """Whole MiB free on the volume of `path`; 0 when the server cannot tell."""
        return self._one("plif_get_freespace", LONG, self._path(path))

    def _path(self, path):
        """The text a server path travels as: bytes keep their bytes (as surrogate escapes,
        which encode back to them); a relative path raises ValueError."""
        path = self._text(os.fspath(path))
        if not _is_absolute(path):
            raise ValueError(f"{path!r} is relative: the server would resolve it in its own "
                             f"program directory; give an absolute path (/..., \\\\... or "
                             f"X:\\...)")
        return path

    def _text(self, value):
        """A server text given as str or bytes, as str."""
        return value.decode(self.encoding, _TEXT_ERRORS) if isinstance(value, bytes) else value

    def _require_file(self, path):
        """Raises FileNotFoundError when nothing is at `path`: the answers of plif_file_read
        and plif_file_getlength for a missing file are those for an empty one, so an empty
        answer is followed by this one question."""
        if not self.file_exists(path):
            raise FileNotFoundError(errno.ENOENT, "no such file on the server", path)

    def shutdown(self):
        """Stops the server. Its session ends with the answer, so the client closes."""
        try:
            self._nothing("_shutdown")
        finally:
            self.close()

    # -- Opt-in procedures: served when the server's profile sets Extensions=1, else they
    # raise ExtensionsNotOffered --

    def list_dir(self, directory, pattern=""):
        """Every entry of the server directory whose name matches `pattern` (* and ?,
        ASCII case ignored; "" matches all), sorted by the bytes of the names, fetched page
        by page. A directory the server cannot list raises FileNotFoundError,
        NotADirectoryError or PermissionError, as plif_file_stat (which looks at the
        lower-cased path) tells why."""
        directory = self._path(directory)
        if "/" in pattern:
            raise ValueError(f"a pattern cannot hold '/': {pattern!r}")
        if len(_text_bytes(pattern, self.encoding)) > MAX_PATTERN:
            raise ValueError(f"a pattern has at most {MAX_PATTERN} bytes")
        entries = []
        while True:
            # Each page goes on after the last name so far, until one comes back empty.
            argument = f"{pattern}/{entries[-1].name}" if entries else pattern
            table = self._opt_in("plif_dir_list", TABLE, directory, argument)
            if table is None:
                raise self._unlistable(directory)
            page = _entries("plif_dir_list", table)
            if not page:
                return entries
            if entries and self._name_bytes(page[-1].name) <= self._name_bytes(entries[-1].name):
                raise SrpcProtocolError(f"plif_dir_list went back to {page[-1].name!r} after "
                                        f"{entries[-1].name!r}")
            entries += page

    def stat(self, path):
        """The DirEntry of the server path (lower-cased by the server, as by the file_*
        methods; `name` is its last component). FileNotFoundError when nothing is there,
        PermissionError when the server refuses the path."""
        path = self._path(path)
        table = self._opt_in("plif_file_stat", TABLE, path)
        if table is None:
            raise PermissionError(errno.EACCES, "the server refuses the path", path)
        entries = _entries("plif_file_stat", table)
        if len(entries) > 1:
            raise SrpcProtocolError(f"plif_file_stat answered {len(entries)} rows for one path")
        if not entries:
            raise FileNotFoundError(errno.ENOENT, "nothing there on the server", path)
        return entries[0]

    def checksum(self, path, position=0, length=None):
        """The CRC-32 (as zlib.crc32 computes it) of `length` bytes of the server file from
        `position` (None: to the end), as the server sees the file, cut at its end. A file
        the server cannot read raises an OSError: FileNotFoundError, IsADirectoryError,
        PermissionError, or OSError itself."""
        path = self._path(path)
        if length is None:
            length = 2**63 - 1
        if position < 0 or length < 0:
            raise ValueError(f"negative position {position} or length {length}")
        crc = self._opt_in("plif_file_checksum", SUPERLONG, path, SuperLong(position),
                           SuperLong(length))
        if crc is None or not -1 <= crc <= 0xFFFFFFFF:
            raise SrpcProtocolError(f"plif_file_checksum answered {crc!r}")
        if crc == -1:
            raise self._unreadable(path)
        return int(crc)

    def _opt_in(self, procedure, tag, *values):
        """The one value of type `tag` an opt-in procedure answers (None for a NULL)."""
        try:
            results = self._call_tagged(procedure, values)
        except SrpcError as error:
            if error.code == PROC_NOT_SUPPORTED:
                raise ExtensionsNotOffered(error.code, error.text, procedure) from None
            raise
        _ensure(len(results) == 1 and results[0][0] == tag, procedure, results,
                f"one '{tag}' value")
        return results[0][1]

    def _name_bytes(self, name):
        return name.encode(self.encoding, _TEXT_ERRORS)

    def _unlistable(self, directory):
        """Why plif_dir_list gave no table for `directory`, as an OSError; stat raises
        itself when the path is missing or refused."""
        entry = self.stat(directory)
        if not entry.is_dir:
            return NotADirectoryError(errno.ENOTDIR, "not a directory on the server",
                                      directory)
        return PermissionError(errno.EACCES, "the server cannot list the directory",
                               directory)

    def _unreadable(self, path):
        """Why plif_file_checksum answered -1 for `path`, as an OSError; stat raises itself
        when the path is missing or refused."""
        entry = self.stat(path)
        if entry.is_dir:
            return IsADirectoryError(errno.EISDIR, "a directory on the server", path)
        return OSError(errno.EIO, "the server cannot read the file", path)

    def open_file(self, path, mode="rb", write_size=4 << 20, read_ahead=8):
        """A RemoteFile on the server file `path`; see RemoteFile for the modes."""
        return RemoteFile(self, path, mode, write_size, read_ahead)

    # -- Directories and trees, as the os and shutil functions handle local ones --

    def makedirs(self, path, exist_ok=False):
        """Makes the server directory `path` with its missing parents, as os.makedirs does.
        Directory procedures take paths as given; file procedures lower-case them."""
        path = self._path(path)
        if self.dir_exists(path):
            if exist_ok:
                return
            raise FileExistsError(errno.EEXIST, "the directory exists on the server", path)
        parent, _ = _split_path(path)
        if parent is not None:
            self.makedirs(parent, exist_ok=True)
        if not self.mkdir(path) and not self.dir_exists(path):
            if self.file_exists(path):
                raise FileExistsError(errno.EEXIST, "a file is in the way on the server", path)
            raise PermissionError(errno.EACCES, "the server cannot make the directory", path)

    def listdir(self, path):
        """The names in the server directory, sorted by their bytes; bytes for a bytes path,
        as os.listdir gives them. Needs list_dir (Extensions)."""
        name = self._namer(path)
        return [name(entry.name) for entry in self.list_dir(path)]

    def walk(self, top, topdown=True, onerror=None):
        """(dirpath, dirnames, filenames) for the server directory `top` and every one below
        it, as os.walk yields them: one list_dir per directory (Extensions), dirnames
        pruned in place top-down are not entered, an OSError of a listing goes to `onerror`
        (ignored without one), bytes in, bytes out."""
        return self._walk(self._path(top), topdown, onerror, self._namer(top))

    def _walk(self, top, topdown, onerror, name):
        try:
            entries = self.list_dir(top)
        except OSError as error:
            if onerror is not None:
                onerror(error)
            return
        directories = [name(entry.name) for entry in entries if entry.is_dir]
        files = [name(entry.name) for entry in entries if not entry.is_dir]
        if topdown:
            yield name(top), directories, files
        for directory in directories:
            yield from self._walk(_join(top, self._text(directory)), topdown, onerror, name)
        if not topdown:
            yield name(top), directories, files

    def _namer(self, path):
        """Turns server names into the type of `path`: bytes for bytes, else str."""
        if isinstance(os.fspath(path), bytes):
            return lambda text: text.encode(self.encoding, _TEXT_ERRORS)
        return lambda text: text

    def upload(self, local, remote):
        """Copies the local file, or directory tree, `local` to the server path `remote` →
        the bytes sent. An existing server directory `remote` (or one ending in a separator)
        receives the copy under `local`'s name, as cp does. Each file goes through
        open_file(..., "wb"): an old file is replaced only by a whole new one.

        The server lower-cases file paths, directories included: a tree's directories are
        made lower-cased, where its files land, and a tree holding two names that differ
        only in case is refused with ValueError before anything is sent."""
        local = os.fsdecode(local)
        remote = self._path(remote)
        if remote.endswith(("/", "\\")) or self.dir_exists(remote):
            remote = _join(remote, os.path.basename(os.path.abspath(local)))
        if os.path.isdir(local):
            return self._upload_tree(local, remote)
        return self._upload_file(local, remote)

    def _upload_file(self, local, remote):
        with open(local, "rb") as source, self.open_file(remote, "wb") as target:
            shutil.copyfileobj(source, target, _COPY_SIZE)
            return target.tell()

    def _upload_tree(self, local, remote):
        directories, files = _local_tree(local)
        twins = _case_twins(directories + files)
        if twins:
            raise ValueError(f"{local}: the server lower-cases file names, so these would "
                             f"overwrite each other: " +
                             "; ".join(" and ".join(map(repr, group)) for group in twins))
        root = _ascii_lower(remote)
        self.makedirs(root, exist_ok=True)
        for directory in directories:
            self.makedirs(_join(root, _ascii_lower(directory)), exist_ok=True)
        return sum(self._upload_file(os.path.join(local, name), _join(root, name))
                   for name in files)

    def download(self, remote, local):
        """Copies the server file, or directory tree, `remote` to the local path `local` →
        the bytes received. An existing local directory receives the copy under `remote`'s
        name. Each file arrives in LOCAL.part and takes LOCAL's place once whole. A tree is
        read with list_dir: a server without Extensions raises ExtensionsNotOffered."""
        remote = self._path(remote)
        local = os.fsdecode(local)
        if os.path.isdir(local):
            local = os.path.join(local, _split_path(remote)[1])
        if self.dir_exists(remote):
            return self._download_tree(remote, local)
        return self._download_file(remote, local)

    def _download_file(self, remote, local):
        part = local + ".part"
        with self.open_file(remote, "rb") as source:
            try:
                with open(part, "wb") as target:
                    shutil.copyfileobj(source, target, _COPY_SIZE)
                    count = target.tell()
                os.replace(part, local)
            except BaseException:
                _remove_quietly(part)
                raise
        return count

    def _download_tree(self, remote, local):
        entries = self.list_dir(remote)
        os.makedirs(local, exist_ok=True)
        count = 0
        for entry in entries:
            if entry.name in ("", os.curdir, os.pardir) or \
                    os.path.basename(entry.name) != entry.name:
                raise ValueError(f"{remote}: the server name {entry.name!r} is no local "
                                 f"file name")
            source, target = _join(remote, entry.name), os.path.join(local, entry.name)
            count += (self._download_tree if entry.is_dir else self._download_file)(source,
                                                                                     target)
        return count


def _local_tree(top):
    """(directories, files) below the local directory `top` as relative paths with '/'
    between names, every directory before what it holds."""
    directories, files = [], []
    for path, directory_names, file_names in os.walk(top, onerror=_raise):
        relative = os.path.relpath(path, top).replace(os.sep, "/")
        prefix = "" if relative == "." else relative + "/"
        directories += [prefix + name for name in directory_names]
        files += [prefix + name for name in file_names]
    return directories, files


def _case_twins(paths):
    """The groups of paths that the server's lower-casing makes one."""
    groups = collections.defaultdict(list)
    for path in paths:
        groups[_ascii_lower(path)].append(path)
    return [group for group in groups.values() if len(group) > 1]


def _raise(error):
    raise error


def _remove_quietly(path):
    try:
        os.remove(path)
    except OSError:
        pass  # never made, or already gone


def connect(host=None, port=None, timeout=300.0, connect_timeout=5.0, encoding="utf-8"):
    """A Client connected to host:port; either left out comes from the environment
    (PELLARY_HOST, which may be HOST:PORT, and PELLARY_PORT), else 127.0.0.1:7027."""
    client = Client(timeout=timeout, encoding=encoding)
    return client.connect(host, port, timeout, connect_timeout)


# ---- Remote files -------------------------------------------------------------------------


class RemoteFile(io.BufferedIOBase):
    """A binary file object on one server file.

    Modes: 'r' an existing file, read only; 'r+' an existing file, read and write; 'w' and
    'w+' a new content for the file; 'x' and 'x+' a new file that must not exist. A 'b' may
    be added; text mode is not offered. Reads take READ_LIMIT bytes per call, `read_ahead`
    calls in flight at once; writes are gathered and sent `write_size` bytes per call, each
    acknowledged on disk. A write the server refuses raises OSError.

    'w' writes to PATH.part, which close() renames into place (removing the old file just
    before, as the server's rename never overwrites), so the old file stays whole until the
    new one is: a with-block left by an exception, or a write that the server fails, leaves
    PATH as it was and removes the part. A file dropped without close() leaves PATH as it
    was (and the part)."""

    # Set before __init__ can fail, for the close() that dropping the object calls.
    _target = None  # the path that close() puts the part file at ('w' modes)
    _pending = b""

    def __init__(self, client, path, mode="rb", write_size=4 << 20, read_ahead=8):
        super().__init__()
        path = client._path(path)
        kinds = set(mode) - {"b"}
        base = kinds - {"+"}
        if len(base) != 1 or not base <= set("rwx") or not kinds <= set("rwx+") or \
                len(mode) != len(set(mode)):
            raise ValueError(f"invalid mode {mode!r}: r, r+, w, w+, x or x+, with an "
                             f"optional b")
        if write_size <= 0 or write_size > MAX_PACKET // 2:
            raise ValueError(f"write_size {write_size} out of range")
        self._client = client
        self.name = path
        self._remote = path  # the server file that reads and writes go to
        self.mode = mode
        self._readable = "r" in base or "+" in kinds
        self._writable = "r" not in base or "+" in kinds
        self._write_size = write_size
        self._read_ahead = max(1, read_ahead)
        self._position = 0
        self._pending = bytearray()  # written, not yet sent; it starts at _position
        (mode_letter,) = base
        if mode_letter == "r":
            if not client.file_open(path):
                raise FileNotFoundError(errno.ENOENT, "no such file on the server", path)
        elif mode_letter == "x":
            if client.file_open(path):
                raise FileExistsError(errno.EEXIST, "the file exists on the server", path)
            self._create()
        else:
            self._remote = path + ".part"
            # The server's create keeps what a file holds: an old part goes first.
            if not client.file_remove(self._remote):
                raise PermissionError(errno.EACCES, "the server cannot remove the old part "
                                                    "file", self._remote)
            self._create()
            self._target = path

    def _create(self):
        if self._client.file_create(self._remote):
            return
        parent, _ = _split_path(self._remote)
        # The server lower-cases the whole path of a file, its directories included.
        if parent is not None and not self._client.dir_exists(_ascii_lower(parent)):
            raise FileNotFoundError(errno.ENOENT, "no such directory on the server", parent)
        raise PermissionError(errno.EACCES, "the server cannot create the file", self._remote)

    def readable(self):
        return self._readable

    def writable(self):
        return self._writable

    def seekable(self):
        return True

    def _check(self, allowed, what):
        if self.closed:
            raise ValueError("I/O operation on closed file")
        if not allowed:
            raise io.UnsupportedOperation(f"file not open for {what}")

    @property
    def length(self):
        """The file's length on the server, pending writes included."""
        self.flush()
        return self._client.file_getlength(self._remote)

    def tell(self):
        self._check(True, "")
        return self._position + len(self._pending)

    def seek(self, offset, whence=io.SEEK_SET):
        self._check(True, "")
        self.flush()
        if whence == io.SEEK_SET:
            target = offset
        elif whence == io.SEEK_CUR:
            target = self._position + offset
        elif whence == io.SEEK_END:
            target = self.length + offset
        else:
            raise ValueError(f"invalid whence {whence}")
        if target < 0:
            raise ValueError(f"negative seek position {target}")
        self._position = target
        return target

    def flush(self):
        if self.closed or not self._pending:
            return
        data, self._pending = self._pending, bytearray()
        self._send(memoryview(data))

    def _send(self, view):
        for start in range(0, len(view), self._write_size):
            piece = view[start:start + self._write_size]
            try:
                written = self._client.file_write(self._remote, self._position, piece)
            except PellaryError:
                self._abandon()
                raise
            if written != len(piece):
                self._abandon()
                raise OSError(errno.EIO, f"the server wrote {written} of {len(piece)} bytes "
                                         f"at {self._position}", self._remote)
            self._position += len(piece)

    def close(self):
        """Sends what is pending and, in the 'w' modes, puts the part file in place."""
        if self.closed:
            return
        try:
            self.flush()
            if self._target is not None:
                self._publish()
        finally:
            super().close()

    def __exit__(self, exc_type, exc, traceback):
        if exc_type is not None:
            self._abandon()
        self.close()

    def __del__(self):
        self._target = None  # only close() publishes
        super().__del__()

    def _abandon(self):
        """Gives a 'w' file up: PATH stays as it was, and its part goes as far as the
        connection still allows."""
        if self._target is None:
            return
        self._target = None
        self._pending = bytearray()
        try:
            self._client.file_remove(self._remote)
        except PellaryError:
            pass  # the connection broke: the part stays

    def _publish(self):
        client, part, target = self._client, self._remote, self._target
        self._target = None
        if not client.file_remove(target):
            raise PermissionError(errno.EACCES, f"the server cannot remove the old file; the "
                                                f"new one stays in {part}", target)
        if not client.file_rename(part, target):
            raise OSError(errno.EIO, f"the server cannot rename {part} into place; the new "
                                     f"file stays there", target)

    def write(self, data):
        self._check(self._writable, "writing")
        _require_bytes(data, "write")
        view = memoryview(data).cast("B")
        if len(self._pending) + len(view) < self._write_size:
            self._pending += view
            return len(view)
        # A full gathered piece goes first; whole pieces then go straight from `data`.
        fill = self._write_size - len(self._pending)
        self._pending += view[:fill]
        self.flush()
        rest = view[fill:]
        whole = len(rest) - len(rest) % self._write_size
        self._send(rest[:whole])
        self._pending += rest[whole:]
        return len(view)

    def read(self, size=-1):
        self._check(self._readable, "reading")
        self.flush()
        if size is None or size < 0:
            size = 2**63 - 1  # up to the first short answer: lengths beyond 4 GiB are not told
        pieces = []
        while size > 0:
            count = min(-(-size // READ_LIMIT), self._read_ahead)
            sizes = [min(READ_LIMIT, size - k * READ_LIMIT) for k in range(count)]
            answers = self._client.call_many("plif_file_read", [
                (self._remote, SuperLong(self._position + k * READ_LIMIT), n)
                for k, n in enumerate(sizes)])
            short = False
            for wanted, results in zip(sizes, answers):
                _ensure(len(results) == 1 and type(results[0]) is bytes, "plif_file_read",
                        [(BINARY, r) for r in results], "one 'b' value")
                data = results[0]
                if len(data) > wanted:
                    raise SrpcProtocolError(f"plif_file_read answered {len(data)} bytes for "
                                            f"{wanted}")
                pieces.append(data)
                self._position += len(data)
                size -= len(data)
                if len(data) < wanted:
                    short = True  # the end of the file: later pieces are past it
                    break
            if short:
                break
        return b"".join(pieces)

    def read1(self, size=-1):
        return self.read(size if size is not None and size >= 0 else READ_LIMIT)

    def readinto(self, buffer):
        view = memoryview(buffer).cast("B")
        data = self.read(len(view))
        view[:len(data)] = data
        return len(data)

    def truncate(self, size=None):
        raise io.UnsupportedOperation("the server cannot truncate a file")

    def detach(self):
        raise io.UnsupportedOperation("a remote file has no raw stream")

    def __repr__(self):
        return f"<RemoteFile {self.name!r} mode={self.mode!r}>"


# ---- Command line: python -m pellary_client -------------------------------------------------

# Exit statuses, as pellary-cli has them.
EXIT_OK = 0
EXIT_FAILED = 1
EXIT_USAGE = 2
EXIT_UNREACHABLE = 3
EXIT_UNDECIDED = 4  # exists: neither yes nor no (1 is its "no")


def _when(mtime):
    return datetime.datetime.fromtimestamp(mtime).strftime("%Y-%m-%d %H:%M:%S")


def _cli_put(client, args, out):
    if os.path.isdir(args.local) and not args.recursive:
        raise IsADirectoryError(errno.EISDIR, "a directory: -r copies a tree", args.local)
    client.upload(args.local, args.remote)


def _cli_get(client, args, out):
    if not args.recursive and client.dir_exists(args.remote):
        raise IsADirectoryError(errno.EISDIR, "a directory on the server: -r copies a tree",
                                args.remote)
    client.download(args.remote, args.local)


def _cli_ls(client, args, out):
    for entry in client.list_dir(args.remote, args.pattern):
        name = entry.name + ("/" if entry.is_dir else "")
        if args.long:
            kind = "d" if entry.is_dir else "-"
            print(f"{kind} {entry.length:>15} {_when(entry.mtime)} {name}", file=out)
        else:
            print(name, file=out)


def _cli_stat(client, args, out):
    entry = client.stat(args.remote)
    kind = "directory" if entry.is_dir else "file"
    print(f"{args.remote}: {kind}, {entry.length} bytes, modified {_when(entry.mtime)}",
          file=out)


def _cli_exists(client, args, out):
    found = client.file_exists(args.remote)
    print("yes" if found else "no", file=out)
    return EXIT_OK if found else EXIT_FAILED


def _cli_rm(client, args, out):
    client._require_file(args.remote)  # the server answers 1 for a file never there
    if not client.file_remove(args.remote):
        raise PermissionError(errno.EACCES, "the server cannot remove it", args.remote)


def _cli_mv(client, args, out):
    if not client.file_rename(args.remote, args.target):
        raise OSError(errno.EIO, f"the server refused to rename it to {args.target} (it is "
                                 f"missing or the target exists: the server never "
                                 f"overwrites)", args.remote)


def _cli_mkdir(client, args, out):
    parent, _ = _split_path(client._path(args.remote))
    if not args.parents and parent is not None and not client.dir_exists(parent):
        raise FileNotFoundError(errno.ENOENT, "no such directory on the server (-p makes it)",
                                parent)
    client.makedirs(args.remote, exist_ok=args.parents)


def _cli_rmdir(client, args, out):
    if not client.rmdir(args.remote):
        raise OSError(errno.EIO, "the server cannot remove the directory (missing, not "
                                 "empty or refused)", args.remote)


def _cli_df(client, args, out):
    free = client.get_freespace(args.remote)
    if free == 0 and not client.dir_exists(args.remote):
        raise FileNotFoundError(errno.ENOENT, "no such directory on the server", args.remote)
    print(f"{free} MiB free", file=out)


def _cli_cat(client, args, out):
    out.flush()
    with client.open_file(args.remote, "rb") as source:
        shutil.copyfileobj(source, out.buffer, _COPY_SIZE)
    out.buffer.flush()


def _cli_version(client, args, out):
    print(client.get_version(), file=out)


def _parser():
    parser = argparse.ArgumentParser(
        prog="python -m pellary_client",
        description="The main commands of pellary-cli, in Python. Server paths are absolute.",
        epilog="Host and port default to $PELLARY_HOST (HOST or HOST:PORT) or 127.0.0.1 and "
               "$PELLARY_PORT or 7027. Exit: 0 done, 1 the operation failed (exists: no), "
               "2 usage error, 3 server not reachable, 4 exists could not tell.")
    parser.add_argument("--host", help="the server as HOST or HOST:PORT")
    parser.add_argument("--port", help="the server's port")
    parser.add_argument("--version", action="version", version=f"%(prog)s {__version__}")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    def command(name, run, text, *operands, flag=None, paths=("remote",)):
        """A subcommand whose `paths` attributes are server paths; `operands` are
        (attribute, metavar) with an optional default; `flag` one (short, long, help)."""
        sub = commands.add_parser(name, help=text, description=text)
        sub.set_defaults(run=run, paths=paths)
        if flag is not None:
            sub.add_argument(flag[0], flag[1], action="store_true", help=flag[2])
        for attribute, metavar, *default in operands:
            sub.add_argument(attribute, metavar=metavar, nargs="?" if default else None,
                             default=default[0] if default else None)

    command("put", _cli_put, "copy a local file, or a tree with -r, to the server; an existing "
            "server directory receives it under its own name", ("local", "LOCAL"),
            ("remote", "REMOTE"), flag=("-r", "--recursive", "copy a directory tree"))
    command("get", _cli_get, "copy a server file, or a tree with -r, to LOCAL (default: here, "
            "under its own name)", ("remote", "REMOTE"), ("local", "LOCAL", os.curdir),
            flag=("-r", "--recursive", "copy a directory tree"))
    command("ls", _cli_ls, "list a server directory, or its names that match PATTERN (* and ?, "
            "case ignored); needs Extensions=1", ("remote", "DIR"), ("pattern", "PATTERN", ""),
            flag=("-l", "--long", "kind, length and modification time too"))
    command("stat", _cli_stat, "print what a server path is; needs Extensions=1",
            ("remote", "REMOTE"))
    command("exists", _cli_exists, "print yes (exit 0) or no (exit 1); * and ? match",
            ("remote", "PATTERN"))
    command("rm", _cli_rm, "remove a server file", ("remote", "REMOTE"))
    command("mv", _cli_mv, "rename a server file; never onto an existing one",
            ("remote", "FROM"), ("target", "TO"), paths=("remote", "target"))
    command("mkdir", _cli_mkdir, "make a server directory", ("remote", "DIR"),
            flag=("-p", "--parents", "make missing parents too; no error if it exists"))
    command("rmdir", _cli_rmdir, "remove an empty server directory", ("remote", "DIR"))
    command("df", _cli_df, "print the free MiB of the volume of a server directory",
            ("remote", "DIR"))
    command("cat", _cli_cat, "print a server file", ("remote", "REMOTE"))
    command("version", _cli_version, "print the server's version", paths=())
    return parser


def _reason(error):
    """One line for a failure: the path first where there is one."""
    if isinstance(error, OSError) and error.filename is not None and error.strerror:
        return f"{error.filename}: {error.strerror}"
    return str(error)


def main(argv=None, out=None, err=None):
    """`python -m pellary_client COMMAND ...` → the exit status: 0 done, 1 failed, 2 usage
    error (paths and the address are checked before connecting), 3 unreachable or the
    connection broke."""
    out = sys.stdout if out is None else out
    err = sys.stderr if err is None else err
    parser = _parser()
    args = parser.parse_args(argv)
    try:
        host, port = resolve_address(args.host, args.port)
        for name in args.paths:
            Client()._path(getattr(args, name))
    except ValueError as error:
        parser.error(str(error))
    prefix = f"{parser.prog} {args.command}"
    try:
        with connect(host, port) as client:
            return args.run(client, args, out) or EXIT_OK
    except SrpcConnectionError as error:
        print(f"{prefix}: cannot reach the server or the connection broke: {error}", file=err)
        return EXIT_UNREACHABLE
    except (PellaryError, OSError, ValueError) as error:
        print(f"{prefix}: {_reason(error)}", file=err)
        return EXIT_UNDECIDED if args.command == "exists" else EXIT_FAILED


if __name__ == "__main__":
    sys.exit(main())
