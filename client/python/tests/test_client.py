"""Tests of pellary_client: the encodings against byte images of the C++ encoders, framing and
time-outs against a scripted peer, and every procedure against the real server executable
(PELLARY_EXE), run in a program directory of its own and stopped with SIGINT."""

import contextlib
import datetime
import fnmatch
import io
import os
import pathlib
import shutil
import signal
import socket
import stat
import subprocess
import sys
import tempfile
import threading
import time
import unittest
import unittest.mock
import zlib

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
import pellary_client as pc  # noqa: E402
from pellary_client import Null, SuperLong, Float, LString, Table  # noqa: E402

# Printed by a throwaway C++ program from NetValueList::Encode of the list in VALUES below
# (NULLs of types s, l, r, b, t at its end).
CPP_VALUES = bytes.fromhex(
    "69fffffffe6c080706050403020166312e353030303030303030303030303030"
    "3030303030303030303030303030303030303030303030303030303030303030"
    "30652b303000642d312e30303030303030303030303030303030353535313131"
    "3531323331323537383237303231313831353833343034353431652d30310073"
    "68c3a96c6c6f0062000000030001ff75000000036100627407ea0c0604293b00"
    "007bf3ecf2e2f4")
WHEN = datetime.datetime(2026, 12, 6, 4, 41, 59, 123000)
VALUES = [-2, SuperLong(0x0102030405060708), Float(1.5), -0.1, "héllo", b"\x00\x01\xff",
          LString(b"a\0b"), WHEN, Null("s"), Null("l"), Null("r"), Null("b"), Null("t")]

# PutTable of a NetTable with one column of every image type ("i" "l" "f" "d" "s"(16) "b"(8)
# "t" "r" "v"): row 1 as in TABLE below, row 2 all NULL; the nested table has a NET_LONG "n".
CPP_TABLE = bytes.fromhex(
    "7200000106000000020009690069000000006c006c0000000066006600000000"
    "6400640000000073007300000010620062000000087400740000000072007200"
    "00000076007600000000690001e2406cfbffffffffffffff66322e3530303030"
    "3030303030303030303030303030303030303030303030303030303030303030"
    "3030303030303030303030652d30310064312e30303030303030303030303030"
    "3030303532353034373630323535323034343230323438373034343638353831"
    "313038652b333030007361626300620000000201027407ea0c0604293b00007b"
    "72000000120000000100016e0069000000006900000007736c6f6e6720746578"
    "7400e9ece6e4f3e2f4f2f3")
TABLE = Table([("i", "i"), ("l", "l"), ("f", "f"), ("d", "d"), ("s", "s", 16), ("b", "b", 8),
               ("t", "t"), ("r", "r"), ("v", "v")],
              [[123456, -5, 0.25, 1e300, "abc", b"\x01\x02", WHEN,
                Table([("n", "i")], [[7]]), "long text"], [None] * 9])

# SrpcPacketWriter output: plif_file_read("/srv/a.txt", l 65536, i 100) by name and as
# index 9, a one-way plif_get_version, the answer "1.0", the error answer -2.
CPP_READ = bytes.fromhex("520000003136706c69665f66696c655f7265616400732f7372762f612e7478"
                         "74006c000001000000000069000000643567")
CPP_READ_BY_INDEX = bytes.fromhex("5852000000277800000009732f7372762f612e747874006c00000100"
                                  "0000000069000000643567")
CPP_ONE_WAY = bytes.fromhex("590000001915706c69665f6765745f76657273696f6e003567")
CPP_ANSWER = bytes.fromhex("410000000d1973312e30003567")
CPP_ERROR = bytes.fromhex("420000001f0869fffffffe7341524720464f524d4154204552524f52003567")
READ_ARGS = ["/srv/a.txt", SuperLong(65536), 100]


def header(kind, total):
    """A plain packet header declaring `total` bytes, with its checksum."""
    head = kind + total.to_bytes(4, "big")
    checksum = 0x55
    for byte in head:
        checksum ^= byte
    return head + bytes([checksum])


class EncodingTest(unittest.TestCase):
    def test_images_match_the_cpp_encoders_both_ways(self):
        for built, image in ((pc.encode_values(VALUES), CPP_VALUES),
                             (pc.encode_values([TABLE]), CPP_TABLE),
                             (pc.build_request("plif_file_read", READ_ARGS), CPP_READ),
                             (pc.build_request(9, READ_ARGS), CPP_READ_BY_INDEX),
                             (pc.build_request("plif_get_version", one_way=True), CPP_ONE_WAY),
                             (pc.build_answer(["1.0"]), CPP_ANSWER),
                             (pc.build_error_answer(-2, "ARG FORMAT ERROR"), CPP_ERROR)):
            self.assertEqual(built, image)
        self.assertEqual(pc.parse_packet(CPP_READ_BY_INDEX),
                         ("R", True, CPP_READ_BY_INDEX[7:-2]))
        self.assertEqual(pc.decode_values(CPP_VALUES), VALUES[:8] + [None] * 5)
        decoded = pc.decode_values(CPP_VALUES, typed_nulls=True)
        self.assertEqual([type(v) for v in decoded], [type(v) for v in VALUES])
        self.assertEqual(pc.encode_values(decoded), CPP_VALUES)
        (table,) = pc.decode_values(CPP_TABLE)
        self.assertEqual(table, TABLE)
        self.assertEqual([c.size for c in table.columns], [0, 0, 0, 0, 16, 8, 0, 0, 0])
        self.assertEqual(table.records()[0]["v"], "long text")
        # Undeclared sizes become the longest cell's bytes, so a server table keeps them whole.
        sized = pc.decode_table(pc.encode_table(
            Table([("s", "s"), ("b", "b")], [["héllo", b"12"], [None, b""]])))
        self.assertEqual([c.size for c in sized.columns], [6, 2])

    def test_numbers_keep_their_width_and_unsendable_values_are_refused(self):
        self.assertEqual(float(Float(0.1)), 0.10000000149011612)
        self.assertEqual(Float(1e300), float("inf"))
        for value in (-2**63, 2**63 - 1):
            self.assertEqual(pc.decode_values(pc.encode_values([SuperLong(value)])), [value])
        self.assertTrue(pc.decode_values(pc.encode_values([float("nan")]))[0] != 0)
        for bad, error in ((2**31, ValueError), (SuperLong(2**63), ValueError),
                           (None, TypeError), (True, TypeError), (object(), TypeError),
                           ("a\0b", ValueError), (Table([("a", "i")], [["x"]]), TypeError),
                           (Table([("a", "i")], [[1, 2]]), ValueError),
                           (Table([("b", "b")], [[bytes(pc.MAX_COLUMN_SIZE + 1)]]), ValueError)):
            with self.subTest(bad=bad):
                self.assertRaises(error, pc.encode_values, [bad])
        self.assertRaises(ValueError, pc.build_request, "x", [b"\0" * pc.MAX_PACKET])


class MalformedInputTest(unittest.TestCase):
    def assert_decodes_or_refuses(self, data, decode):
        try:
            decode(data)
        except pc.SrpcProtocolError:
            pass  # the only error bad bytes may cause

    def test_cut_and_corrupted_images_never_raise_anything_else(self):
        for image, decode in ((CPP_VALUES, pc.decode_values),
                              (CPP_TABLE[5:], pc.decode_table)):
            for n in range(len(image)):
                self.assert_decodes_or_refuses(image[:n], decode)
                for flip in (0x01, 0x80, 0xFF):
                    bad = bytearray(image)
                    bad[n] ^= flip
                    self.assert_decodes_or_refuses(bytes(bad), decode)
        # Cut inside the date-time: a value short of its bytes.
        self.assertRaises(pc.SrpcProtocolError, pc.decode_values, CPP_VALUES[:-7])

    def test_tables_that_lie_are_refused(self):
        image = CPP_TABLE[5:]  # column "i" is at 6, the size of column "s" at 37
        self.assertEqual((image[6:9], image[34:41]), (b"i\0i", b"s\0s\0\0\0\x10"))
        lies = {"rows": b"\x7f\xff\xff\xff" + image[4:],
                "size": image[:37] + b"\x00\x10\x00\x01" + image[41:],
                "type": image[:8] + b"z" + image[9:],
                "left over": image + b"\x00"}
        for lie, bad in lies.items():
            with self.subTest(lie=lie):
                self.assertRaises(pc.SrpcProtocolError, pc.decode_table, bad)
        deep = Table([("n", "i")], [[1]])
        for _ in range(pc.MAX_TABLE_DEPTH - 1):
            deep = Table([("t", "r")], [[deep]])
        self.assertEqual(pc.decode_table(pc.encode_table(deep)), deep)  # 32 levels pass
        self.assertRaises(ValueError, pc.encode_table, Table([("t", "r")], [[deep]]))
        # One table column "t" whose one cell holds the 32 levels: 33 in all.
        too_deep = b"\0\0\0\1\0\1t\0r\0\0\0\0" + pc.encode_values([deep])
        self.assertRaises(pc.SrpcProtocolError, pc.decode_table, too_deep)

class ScriptedPeer:
    """A loopback peer for one connection: it keeps the first packet it receives, answers
    with scripted bytes, then holds the connection open or closes it."""

    def __init__(self, reply, close=False):
        self.listener = socket.create_server(("127.0.0.1", 0))
        self.port = self.listener.getsockname()[1]
        self.reply, self.close, self.received = reply, close, b""
        self.thread = threading.Thread(target=self.serve, daemon=True)
        self.thread.start()

    def serve(self):
        connection, _ = self.listener.accept()
        with connection, self.listener:
            connection.settimeout(10)
            stream = connection.makefile("rb")
            head = stream.read(7 if stream.peek(1)[:1] == b"X" else 6)
            self.received = head + stream.read(int.from_bytes(head[-5:-1], "big") - len(head))
            try:
                connection.sendall(self.reply)
                while not self.close and connection.recv(4096):
                    pass
            except OSError:
                pass  # the client gave up first: what the test wants to see


class FramingTest(unittest.TestCase):
    def call(self, reply, *request, close=False, timeout=5.0):
        """(the peer, the results) of one call; self.left_connected tells whether the client
        still held its connection after it."""
        peer = ScriptedPeer(reply, close)
        client = pc.connect("127.0.0.1", peer.port, timeout=timeout)
        try:
            return peer, client.call(*(request or ("plif_file_read", *READ_ARGS)))
        finally:
            self.left_connected = client.connected
            client.close()
            peer.thread.join(10)

    def test_requests_go_out_as_the_cpp_writer_frames_them(self):
        peer, results = self.call(b"PPP" + CPP_ANSWER)  # keep-alives are skipped
        self.assertEqual((peer.received, results), (CPP_READ, ["1.0"]))
        self.assertEqual(self.call(CPP_ANSWER, 9, *READ_ARGS)[0].received, CPP_READ_BY_INDEX)
        # An error answer is the peer's word, not a broken stream.
        with self.assertRaises(pc.SrpcError) as raised:
            self.call(CPP_ERROR)
        self.assertEqual((raised.exception.code, raised.exception.text), (-2, "ARG FORMAT ERROR"))
        self.assertTrue(self.left_connected)

    def test_broken_streams_and_silent_peers_raise_and_close(self):
        lone_code = pc.encode_values([-2])
        cases = {"garbage": (b"Z" + CPP_ANSWER, pc.SrpcProtocolError),
                 "checksum": (CPP_ANSWER[:5] + b"\x00" + CPP_ANSWER[6:], pc.SrpcProtocolError),
                 "trailer": (CPP_ANSWER[:-1] + b"\x00", pc.SrpcProtocolError),
                 "oversized": (header(b"A", pc.MAX_PACKET + 1), pc.SrpcProtocolError),
                 "undersized": (header(b"A", 7) + b"\x35\x67", pc.SrpcProtocolError),
                 "bad error": (header(b"B", 8 + len(lone_code)) + lone_code + b"\x35\x67",
                               pc.SrpcProtocolError),
                 "closed inside": (CPP_ANSWER[:8], pc.SrpcConnectionError)}
        for case, (reply, error) in cases.items():
            with self.subTest(case=case), self.assertRaises(error):
                self.call(reply, "plif_get_version", close=True)
            self.assertFalse(self.left_connected, case)
        # Nothing; a packet's header declaring 400 MiB and none of it; endless keep-alives.
        for reply in (b"", header(b"A", pc.MAX_PACKET), b"P" * 100000):
            with self.subTest(reply=reply[:6]), self.assertRaises(pc.SrpcConnectionError):
                self.call(reply, "plif_get_version", timeout=0.5)
            self.assertFalse(self.left_connected, reply[:6])
        self.assertRaises(pc.SrpcConnectionError, pc.connect, "127.0.0.1", free_ports(1)[0], 2)


class AddressAndPathTest(unittest.TestCase):
    def test_address_from_arguments_then_environment_then_default(self):
        both = {"PELLARY_HOST": "h:7200", "PELLARY_PORT": "7100"}
        cases = [(None, None, {}, ("127.0.0.1", 7027)),
                 (None, None, {"PELLARY_HOST": "files", "PELLARY_PORT": "7100"}, ("files", 7100)),
                 (None, None, both, ("h", 7200)),
                 ("a", None, both, ("a", 7100)),
                 ("a:1", 2, both, ("a", 2)),
                 ("[::1]:7300", None, {}, ("::1", 7300)),
                 ("::1", None, {}, ("::1", 7027)),
                 (None, None, {"PELLARY_PORT": "x"}, ValueError), ("a:99999", None, {}, ValueError),
                 ("[::1", None, {}, ValueError), (":7", None, {}, ValueError),
                 ("a", 0, {}, ValueError)]
        for host, port, environment, address in cases:
            with self.subTest(host=host, port=port, environment=environment), \
                    unittest.mock.patch.dict(os.environ, environment, clear=True):
                if address is ValueError:
                    self.assertRaises(ValueError, pc.resolve_address, host, port)
                else:
                    self.assertEqual(pc.resolve_address(host, port), address)

    def test_paths_and_data_are_checked_before_anything_is_sent(self):
        client = pc.Client()  # not connected: what passes the checks fails to be sent
        for path in ("/a", "\\\\host\\share", "c:\\a", "C:/a", b"/caf\xe9", pathlib.Path("/a")):
            with self.subTest(path=path), self.assertRaises(pc.SrpcConnectionError):
                client.file_getlength(path)
        calls = (client.file_getlength, lambda p: client.file_rename("/a", p), client.list_dir,
                 client.open_file, client.walk, lambda p: client.upload(__file__, p))
        for path, error in (("a/b", ValueError), ("c:a", ValueError), (b"", ValueError),
                            (pathlib.Path("a"), ValueError), (7, TypeError)):
            for call in calls:
                with self.subTest(path=path, call=call), self.assertRaises(error) as raised:
                    call(path)
            if error is ValueError:
                self.assertIn("program directory", str(raised.exception))
        with self.assertRaisesRegex(TypeError, "bytes, not str"):
            client.file_write("/a", 0, "text")


EXE = os.environ.get("PELLARY_EXE", "")
SERVER = None


def free_ports(n):
    probes = [socket.create_server(("127.0.0.1", 0)) for _ in range(n)]
    ports = [probe.getsockname()[1] for probe in probes]
    for probe in probes:
        probe.close()
    return ports


class ServerProcess:
    """The real executable copied into a temporary program directory with a loopback profile
    on free ports and its own TempDir and FileDir, as the C++ end-to-end tests run it;
    `more_profile` adds lines to the profile."""

    def __init__(self, more_profile=""):
        self.dir = tempfile.mkdtemp(prefix="pellary-py-")
        shutil.copy2(EXE, os.path.join(self.dir, "pellary"))
        for name in ("temp", "files", "data"):
            os.mkdir(os.path.join(self.dir, name))
        self.port, monitor = free_ports(2)
        with open(os.path.join(self.dir, "pellary.pf"), "w") as profile:
            profile.write("# written for one run by a test or benchmark\n"
                          f"srpc.server.addr=127.0.0.1\nsrpc.server.port={self.port}\n"
                          f"mon.addr=127.0.0.1\nmon.port={monitor}\n"
                          f"TempDir={self.dir}/temp/\nFileDir={self.dir}/files/\n{more_profile}")
        self.console = open(os.path.join(self.dir, "console.txt"), "wb")
        # A SIGINT ignored by whoever started the tests must not stay ignored in the server.
        self.process = subprocess.Popen(
            [os.path.join(self.dir, "pellary"), "-console"], cwd=self.dir, stdout=self.console,
            stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL,
            preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))
        for _ in range(300):
            try:
                pc.connect("127.0.0.1", self.port, 1).close()
                return
            except pc.SrpcConnectionError:
                if self.process.poll() is not None:
                    break
                time.sleep(0.05)
        self.stop(signal.SIGKILL)
        raise RuntimeError(f"the server did not start:\n{self.console_text()}")

    def path(self, name):
        return os.path.join(self.dir, name)

    def client(self):
        return pc.connect("127.0.0.1", self.port, timeout=60)

    def console_text(self):
        with open(self.path("console.txt"), "rb") as text:
            return text.read().decode("utf-8", "replace")

    def stop(self, how=signal.SIGINT):
        """Signals the server (unless it already ended) → its exit status."""
        if self.process.poll() is None:
            self.process.send_signal(how)
        try:
            return self.process.wait(60)
        finally:
            self.console.close()
            shutil.rmtree(self.dir, ignore_errors=True)


def setUpModule():
    global SERVER
    if EXE:
        SERVER = ServerProcess()


def tearDownModule():
    """_shutdown ends the server with status 0 and the client sees its connection closed."""
    if SERVER is not None:
        client = SERVER.client()
        client.shutdown()
        if client.connected or SERVER.process.wait(60) != 0:
            SERVER.stop(signal.SIGKILL)
            raise AssertionError("_shutdown did not end the server with status 0")
        SERVER.stop()


def write_tree(top, image):
    """Makes the files (bytes) and directories (None) of `image` below `top`."""
    for name, data in image.items():
        path = os.path.join(top, name)
        os.makedirs(path if data is None else os.path.dirname(path), exist_ok=True)
        if data is not None:
            with open(path, "wb") as out:
                out.write(data)


def tree_image(top):
    """Every directory (None) and file (its bytes) below `top`, by relative path."""
    image = {}
    for path, directories, files in os.walk(top):
        relative = os.path.relpath(path, top)
        for name in directories:
            image[os.path.normpath(os.path.join(relative, name))] = None
        for name in files:
            with open(os.path.join(path, name), "rb") as source:
                image[os.path.normpath(os.path.join(relative, name))] = source.read()
    return image


def local_dir(test):
    """A local temporary directory that goes with the test."""
    path = tempfile.mkdtemp(prefix="pellary-py-local-")
    test.addCleanup(shutil.rmtree, path, True)
    return path


def read_local(path):
    with open(path, "rb") as source:
        return source.read()


@unittest.skipUnless(EXE, "PELLARY_EXE names no server executable")
class ServerTest(unittest.TestCase):
    def setUp(self):
        self.client = SERVER.client()
        self.addCleanup(self.client.close)

    def test_missing_files_raise_and_bytes_paths_keep_their_bytes(self):
        empty, missing = SERVER.path("data/empty.bin"), SERVER.path("data/missing.bin")
        open(empty, "wb").close()
        self.assertEqual((self.client.file_read(empty, 0), self.client.file_getlength(empty)),
                         (b"", 0))
        for call in (lambda: self.client.file_read(missing, 0),
                     lambda: self.client.file_getlength(missing),
                     lambda: self.client.open_file(SERVER.path("data/no dir/x.bin"), "w")):
            with self.subTest(call=call), self.assertRaises(FileNotFoundError):
                call()
        raw = os.fsencode(SERVER.path("data")) + b"/caf\xe9.bin"
        with self.client.open_file(raw, "wb") as out:
            self.assertRaisesRegex(TypeError, "bytes, not str", out.write, "text")
            out.write(b"x")
        self.assertEqual(read_local(raw), b"x")

    def test_w_replaces_a_file_only_with_a_whole_new_one(self):
        path = SERVER.path("data/replaced.bin")
        write_tree(SERVER.dir, {"data/replaced.bin": b"old"})
        with self.client.open_file(path, "wb") as out:
            out.write(b"new")
            out.flush()
            self.assertEqual((read_local(path), read_local(path + ".part")), (b"old", b"new"))
        self.assertEqual((read_local(path), os.path.exists(path + ".part")), (b"new", False))

        def raise_inside():
            raise RuntimeError("the source failed")

        # The block fails; the server's write fails (the part vanished under it).
        for failure, error in ((raise_inside, RuntimeError),
                               (lambda: os.remove(path + ".part"), OSError)):
            with self.subTest(error=error), self.assertRaises(error):
                with self.client.open_file(path, "wb") as out:
                    out.write(b"broken")
                    out.flush()
                    failure()
                    out.write(b"more")
                    out.flush()
            self.assertEqual((read_local(path), os.path.exists(path + ".part")), (b"new", False))

    def test_files_and_trees_without_extensions(self):
        local = local_dir(self)
        tree = {"Top.bin": os.urandom(300000), "Sub/Deeper/b.txt": b"b", "Sub/e": b"",
                "Empty": None}
        write_tree(os.path.join(local, "Tree"), tree)
        # Into the existing directory; lower-cased, as the server's file procedures name files.
        sent = self.client.upload(os.path.join(local, "Tree"), SERVER.path("data"))
        expected = {name.lower(): data for name, data in tree_image(
            os.path.join(local, "Tree")).items()}
        self.assertEqual(tree_image(SERVER.path("data/tree")), expected)
        self.assertEqual(sent, 300001)
        self.assertEqual(self.client.download(SERVER.path("data/tree/top.bin"), local), 300000)
        self.assertEqual(read_local(os.path.join(local, "top.bin")), tree["Top.bin"])
        write_tree(local, {"twins/Read.me": b"1", "twins/read.ME": b"2"})
        with self.assertRaisesRegex(ValueError, "'Read.me' and 'read.ME'|'read.ME' and 'Read.me'"):
            self.client.upload(os.path.join(local, "twins"), SERVER.path("data"))
        self.assertFalse(os.path.exists(SERVER.path("data/twins")), "nothing is sent")

    def test_procedure_list_and_calls_by_index(self):
        procedures = self.client.procedures()
        (table,) = self.client.call("corvexa_srpc_getcmds")
        self.assertEqual([(c.name, c.tag) for c in table.columns], [("cmd", "s"), ("argfmt", "s")])
        self.assertEqual([p.name for p in procedures], [row[0] for row in table.rows])
        formats = {p.name: p.formats for p in procedures}
        self.assertEqual((formats["plif_file_read"], formats["_shutdown"]), ("sli", ""))
        self.assertEqual(self.client.find_proc("no_such_proc"), -1)
        version = self.client.find_proc("plif_get_version")
        self.assertEqual(procedures[version].name, "plif_get_version")
        self.assertEqual(self.client.call(version), [self.client.get_version()])
        # connect() without an address takes it from the environment.
        with unittest.mock.patch.dict(os.environ, {"PELLARY_HOST": f"127.0.0.1:{SERVER.port}"}), \
                pc.connect() as client:
            self.assertEqual(client.get_version(), "1.0")

    def test_errors_one_way_requests_and_keep_alives_leave_the_stream_in_step(self):
        # Which requests the server refuses is its own business; here, by name and by index.
        refused = [(("no_such_proc",), -1, "PROC NOT SUPPORT"), ((1000,), -1, "PROC NOT SUPPORT"),
                   (("plif_get_version", "extra"), -2, "ARG FORMAT ERROR")]
        for request, code, text in refused:
            with self.subTest(request=request), self.assertRaises(pc.SrpcError) as raised:
                self.client.call(*request)
            self.assertEqual((raised.exception.code, raised.exception.text), (code, text))
        self.assertEqual(self.client.get_version(), "1.0")
        path = SERVER.path("data/one-way.bin")
        self.client.send("plif_file_create", path)
        self.client.keep_alive()
        self.assertTrue(self.client.file_open(path))
        self.assertEqual(self.client.call_many("plif_file_exists", [[path], ["/none/x"]]),
                         [[1], [0]])

    def test_file_procedures_and_their_result_types(self):
        path, moved = SERVER.path("data/Mixed.BIN"), SERVER.path("data/moved.bin")
        self.assertFalse(self.client.file_open(path))
        self.assertEqual(self.client.call("plif_file_create", path), [1])
        self.assertEqual(self.client.call("plif_file_write", path, SuperLong(2), b"\0xyz"), [4])
        self.assertIsInstance(self.client.call("plif_file_getlength", path)[0], SuperLong)
        self.assertEqual(self.client.call("plif_file_read", path, SuperLong(1), 100),
                         [b"\0\0xyz"])
        self.assertEqual(self.client.file_read(path, 6), b"")
        self.assertTrue(self.client.file_exists(SERVER.path("data/m?xed.*")))
        self.assertTrue(self.client.file_rename(path, moved))
        self.assertEqual(self.client.file_getlength(moved), 6)
        self.assertTrue(self.client.file_remove(moved))
        directory = SERVER.path("data/sub")
        self.assertTrue(self.client.mkdir(directory) and self.client.dir_exists(directory))
        self.assertTrue(self.client.rmdir(directory))
        self.assertGreater(self.client.get_freespace(SERVER.dir), 0)

    def test_remote_file_modes(self):
        path = SERVER.path("data/modes.bin")
        self.assertRaises(FileNotFoundError, self.client.open_file, path, "rb")
        with self.client.open_file(path, "xb") as out:
            self.assertEqual(out.write(b"0123456789"), 10)
            self.assertEqual(out.tell(), 10)
        self.assertRaises(FileExistsError, self.client.open_file, path, "x")
        with self.client.open_file(path, "r+b") as both:
            both.seek(4)
            both.write(b"ab")
            self.assertEqual((both.read(2), both.tell()), (b"67", 8))
            self.assertEqual(both.seek(-1, io.SEEK_END), 9)
            self.assertEqual((both.read(), both.read(5), both.tell()), (b"9", b"", 10))
        with self.client.open_file(path, "rb") as source:
            self.assertEqual(source.read(), b"0123ab6789")
            self.assertRaises(io.UnsupportedOperation, source.write, b"x")
        with self.client.open_file(path, "w") as out:
            self.assertEqual(out.length, 0, "w empties the file")
        self.assertRaises(ValueError, self.client.open_file, path, "rt")

    def test_24_mib_through_remote_files(self):
        data = os.urandom(24 << 20)
        path = SERVER.path("data/large.bin")
        with self.client.open_file(path, "wb") as out:
            out.write(data[:1000])  # gathered with the next piece
            out.write(memoryview(data)[1000:])
        with self.client.open_file(path, "rb") as source:
            self.assertEqual(source.length, len(data))
            self.assertTrue(source.read() == data, "the bytes read back differ")
        with open(path, "rb") as local:
            self.assertTrue(local.read() == data, "the file on disk differs")

    def test_opt_in_procedures_are_not_offered_by_default(self):
        path = SERVER.path("data")  # a tree download needs list_dir
        for call in (lambda: self.client.list_dir(path), lambda: self.client.stat(path),
                     lambda: self.client.checksum(path),
                     lambda: self.client.download(path, local_dir(self))):
            with self.assertRaises(pc.ExtensionsNotOffered) as raised:
                call()
            self.assertIn("Extensions=1", str(raised.exception))
            self.assertEqual(raised.exception.code, pc.PROC_NOT_SUPPORTED)
        self.assertEqual(self.client.get_version(), "1.0")


def local_entries(directory):
    """What list_dir should answer for a local directory: every entry, by the bytes of names,
    directories with length 0."""
    entries = []
    for name in sorted(os.listdir(os.fsencode(directory))):
        status = os.stat(os.path.join(os.fsencode(directory), name))
        is_dir = stat.S_ISDIR(status.st_mode)  # listed with length 0
        entries.append(pc.DirEntry(name.decode("utf-8", "surrogateescape"), is_dir,
                                   0 if is_dir else status.st_size, int(status.st_mtime)))
    return entries


@unittest.skipUnless(EXE, "PELLARY_EXE names no server executable")
class ExtensionsTest(unittest.TestCase):
    """The opt-in procedures, on a server of their own whose profile turns them on."""

    @classmethod
    def setUpClass(cls):
        cls.server = ServerProcess("Extensions=1\n")
        cls.addClassCleanup(cls.server.stop)

    def setUp(self):
        self.client = self.server.client()
        self.addCleanup(self.client.close)

    def test_list_dir(self):
        directory = self.server.path("data/many")
        os.mkdir(directory)
        for i in range(2500):  # three pages and the empty one
            with open(os.path.join(directory, f"n{i:04d}.bin"), "wb") as out:
                out.write(b"x" * (i % 5))
        for name in ("with space.txt", "h\u00e9llo w\u00f6rld.txt", "not utf-8 \udcff\udcfe"):
            with open(os.path.join(directory, name), "wb") as out:
                out.write(name.encode("utf-8", "surrogateescape"))
        os.mkdir(os.path.join(directory, "sub dir"))
        everything = local_entries(directory)
        self.assertEqual(self.client.list_dir(directory), everything)
        self.assertEqual(self.client.list_dir(directory, "N00?1*"),
                         [e for e in everything if fnmatch.fnmatchcase(e.name, "n00?1*")])
        self.assertEqual(self.client.list_dir(directory + "/sub dir"), [])
        for path, pattern, error in (("data/none", "", FileNotFoundError),
                                     ("data/many/n0001.bin", "", NotADirectoryError),
                                     ("data/many", "a/b", ValueError)):
            with self.subTest(path=path, pattern=pattern):
                self.assertRaises(error, self.client.list_dir, self.server.path(path), pattern)

    def test_stat_and_checksum(self):
        sparse = self.server.path("data/sparse.bin")
        with open(sparse, "wb"):
            pass
        os.truncate(sparse, (5 << 30) + 3)
        self.assertEqual(self.client.stat(sparse)[:3], ("sparse.bin", False, (5 << 30) + 3))
        self.assertTrue(self.client.stat(self.server.path("data")).is_dir)
        data = os.urandom(300000)
        path = self.server.path("data/sum.bin")
        with open(path, "wb") as out:
            out.write(data)
        ranges = [(1000, 200000), (5000, None), (len(data) - 10, 1000), (len(data) + 10, 100),
                  (7, 0)]
        for position, length in ranges:
            with self.subTest(position=position, length=length):
                end = None if length is None else position + length
                self.assertEqual(self.client.checksum(path, position, length),
                                 zlib.crc32(data[position:end]))
        missing, folder = self.server.path("data/none"), self.server.path("data")
        for method, arguments, error in ((self.client.stat, (missing,), FileNotFoundError),
                                         (self.client.checksum, (missing,), FileNotFoundError),
                                         (self.client.checksum, (folder,), IsADirectoryError),
                                         (self.client.checksum, (path, -1), ValueError)):
            with self.subTest(method=method.__name__, arguments=arguments):
                self.assertRaises(error, method, *arguments)


    def test_directories_walk_and_tree_download(self):
        base = self.server.path("data/walk")
        self.client.makedirs(base + "/a/b/c")
        self.client.makedirs(base + "/a", exist_ok=True)
        self.assertRaises(FileExistsError, self.client.makedirs, base + "/a")
        write_tree(base, {"top.bin": os.urandom(70000), "a/one.txt": b"1", "a/b/c/deep": b""})
        self.assertEqual(self.client.listdir(base), ["a", "top.bin"])
        self.assertEqual(self.client.listdir(os.fsencode(base)), [b"a", b"top.bin"])
        walked = [(top, sorted(directories), sorted(files))
                  for top, directories, files in os.walk(base)]
        self.assertEqual(list(self.client.walk(base)), walked)
        self.assertEqual(list(self.client.walk(base, topdown=False)), walked[::-1])
        self.assertEqual(next(self.client.walk(os.fsencode(base))),
                         (os.fsencode(base), [b"a"], [b"top.bin"]))
        tops = []
        for top, directories, _ in self.client.walk(base):
            tops.append(top)
            directories.clear()  # not entered
        self.assertEqual(tops, [base])
        errors = []
        self.assertEqual(list(self.client.walk(base + "/none", onerror=errors.append)), [])
        self.assertEqual([type(error) for error in errors], [FileNotFoundError])
        local = local_dir(self)
        self.assertEqual(self.client.download(base, local), 70001)
        self.assertEqual(tree_image(os.path.join(local, "walk")), tree_image(base))

    def run_cli(self, *argv):
        """(exit status, stdout, stderr) of the command line run in-process."""
        out, err = io.TextIOWrapper(io.BytesIO(), encoding="utf-8"), io.StringIO()
        with contextlib.redirect_stderr(err):
            try:
                status = pc.main(["--host", f"127.0.0.1:{self.server.port}", *argv], out, err)
            except SystemExit as usage:
                status = usage.code
        out.flush()
        return status, out.buffer.getvalue().decode(), err.getvalue()

    def test_command_line(self):
        base, local = self.server.path("data/cli"), local_dir(self)
        write_tree(local, {"f.bin": b"hello", "d/x.txt": b"x", "d/y/z": b"z"})
        cases = [  # (arguments, exit status, what standard output holds)
            (["mkdir", base + "/m/n"], 1, ""),
            (["mkdir", "-p", base + "/m/n"], 0, ""),
            (["put", local + "/f.bin", base], 0, ""),
            (["put", local + "/d", base], 1, ""),
            (["put", "-r", local + "/d", base], 0, ""),
            (["ls", base], 0, "d/\nf.bin\nm/\n"),
            (["ls", "-l", base, "F*"], 0, "-               5 "),
            (["stat", base + "/f.bin"], 0, base + "/f.bin: file, 5 bytes, modified "),
            (["cat", base + "/f.bin"], 0, "hello"),
            (["exists", base + "/f.*"], 0, "yes\n"),
            (["exists", base + "/none"], 1, "no\n"),
            (["get", base + "/f.bin", local + "/back.bin"], 0, ""),
            (["get", base + "/d", local + "/back"], 1, ""),
            (["get", "-r", base + "/d", local + "/back"], 0, ""),
            (["mv", base + "/f.bin", base + "/g.bin"], 0, ""),
            (["rm", base + "/g.bin"], 0, ""),
            (["rm", base + "/g.bin"], 1, ""),
            (["rmdir", base + "/m/n"], 0, ""),
            (["df", base], 0, " MiB free\n"),
            (["df", base + "/none"], 1, ""),
            (["version"], 0, "1.0\n"),
            (["stat", "relative/path"], 2, ""),
            (["--port", "x", "version"], 2, ""),
            (["frobnicate"], 2, ""),
        ]
        for arguments, status, output in cases:
            with self.subTest(arguments=arguments):
                got, out, err = self.run_cli(*arguments)
                self.assertEqual(got, status, err)
                if output:
                    self.assertIn(output, out)
                else:
                    self.assertEqual(out, "")
                if status == 1 and arguments[0] != "exists":
                    self.assertRegex(err, f"^python -m pellary_client {arguments[0]}: [^\n]+\n$")
        self.assertEqual(read_local(local + "/back.bin"), b"hello")
        self.assertEqual(tree_image(local + "/back"), tree_image(local + "/d"))
        # As a program: the address from the environment, an explicit port winning over it.
        environment = dict(os.environ, PELLARY_HOST=f"127.0.0.1:{self.server.port}")
        for port, status in (([], 0), (["--port", str(free_ports(1)[0])], 3)):
            done = subprocess.run([sys.executable, "-m", "pellary_client", *port, "exists", base],
                                  cwd=os.path.dirname(pc.__file__), env=environment,
                                  capture_output=True, timeout=60)
            self.assertEqual(done.returncode, status, done.stderr)


if __name__ == "__main__":
    unittest.main()
