"""pelkon.py end to end: the real ORV_Serv, lines in through its TcpDrv input and a module on
its GPRS line, records and commands through libPelkon on 127.0.0.1.

Needs ORV_SERV_PATH, ORV_TCPDRV_SEND_PATH and PELKON_LIBRARY in the environment.
"""

from __future__ import annotations

import datetime
import os
import socket
import subprocess
import sys
import tempfile
import threading
import time
import unittest
from typing import Callable
from unittest import mock

# The module beside us, without leaving a byte-code cache in the source tree.
sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import pelkon  # noqa: E402

START_S = 15.0
ANSWER_S = 5.0
EXIT_S = 10.0


def required_env(name: str) -> str:
    value = os.environ.get(name)
    if not value:
        raise RuntimeError(f"{name} must name the built binary or library")
    return value


def free_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def with_checksum(text: str) -> str:
    x = 0
    for c in text.encode("ascii"):
        x ^= c
    return f"{text}*{x:02X}"


class Process:
    """A child whose merged output is collected by a thread, so waits never block on a pipe."""

    def __init__(self, args: list[str]) -> None:
        self.proc = subprocess.Popen(
            args, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL
        )
        self._text = ""
        self._changed = threading.Condition()
        self._reader = threading.Thread(target=self._read, daemon=True)
        self._reader.start()

    def _read(self) -> None:
        assert self.proc.stdout is not None
        for raw in iter(lambda: self.proc.stdout.readline(), b""):
            with self._changed:
                self._text += raw.decode("latin-1")
                self._changed.notify_all()

    @property
    def output(self) -> str:
        with self._changed:
            return self._text

    def wait_for(self, text: str, timeout: float) -> bool:
        with self._changed:
            return self._changed.wait_for(lambda: text in self._text, timeout)

    def stop(self) -> int | None:
        """SIGTERM, then a bounded wait; killed when it does not end. Its exit code or None."""
        if self.proc.poll() is None:
            self.proc.terminate()
        try:
            code = self.proc.wait(EXIT_S)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
            code = None
        self._reader.join(EXIT_S)
        if self.proc.stdout is not None:
            self.proc.stdout.close()
        return code


class Module:
    """An alarm module on a GPRS line: a CR LF line out, its answer back."""

    def __init__(self, port: int) -> None:
        self.sock = socket.create_connection(("127.0.0.1", port), ANSWER_S)
        self.sock.settimeout(ANSWER_S)
        self._buffer = b""

    def answer(self) -> str:
        while b"\r\n" not in self._buffer:
            chunk = self.sock.recv(1024)
            if not chunk:
                return "<closed>"
            self._buffer += chunk
            if len(self._buffer) > 65536:
                return "<no line end>"
        line, self._buffer = self._buffer.split(b"\r\n", 1)
        return line.decode("latin-1")

    def say(self, line: str) -> str:
        self.sock.sendall(line.encode("latin-1") + b"\r\n")
        return self.answer()

    def close(self) -> None:
        self.sock.close()


class PelkonEndToEnd(unittest.TestCase):
    def setUp(self) -> None:
        self.server_path = required_env("ORV_SERV_PATH")
        self.library = required_env("PELKON_LIBRARY")
        tmp = tempfile.TemporaryDirectory(prefix="pelkon-py-")
        self.addCleanup(tmp.cleanup)
        self.server_dir = os.path.join(tmp.name, "server")
        self.host_dir = os.path.join(tmp.name, "host")
        os.mkdir(self.server_dir)
        os.mkdir(self.host_dir)
        os.mkdir(os.path.join(self.server_dir, "Orv_TcpDrv"))
        self.start_server()
        # The library reads ./Pelkon.ini: the host directory is the current one while we run.
        with open(os.path.join(self.host_dir, "Pelkon.ini"), "w") as f:
            f.write(f"[Ch1]\nClient=1\nHost=127.0.0.1\nPort={self.out_port}\nId=Bank\n")
        cwd = os.getcwd()
        os.chdir(self.host_dir)
        self.addCleanup(os.chdir, cwd)

    def start_server(self) -> None:
        for _ in range(3):
            self.gprs_port, self.tcpdrv_port, self.out_port = free_port(), free_port(), free_port()
            if len({self.gprs_port, self.tcpdrv_port, self.out_port}) < 3:
                continue
            with open(os.path.join(self.server_dir, "ORV_Serv.ini"), "w") as f:
                f.write(
                    f"[Options]\nU_Fl=0\n[GPRS0]\nPort={self.gprs_port}\nLine=16\n"
                    f"[TcpDrv]\nPort={self.tcpdrv_port}\nLine=3\n"
                    f"[Out]\nPort={self.out_port}\n[Client0]\nId=Bank\n"
                )
            server = Process([self.server_path, "--headless", "--dir", self.server_dir])
            if not server.wait_for("running:", START_S):
                server.stop()
                self.fail(f"the server did not start:\n{server.output}")
            out = server.output
            if all(
                f"listening on port {p}\n" in out
                for p in (self.gprs_port, self.tcpdrv_port, self.out_port)
            ):
                self.addCleanup(self.stop_server, server)
                self.server = server
                return
            server.stop()  # a port was taken between our choice and its bind
        self.fail("no free ports could be bound")

    def stop_server(self, server: Process) -> None:
        code = server.stop()
        self.assertEqual(code, 0, f"ORV_Serv after SIGTERM:\n{server.output}")

    def send_lines(self, *lines: str) -> None:
        done = subprocess.run(
            [required_env("ORV_TCPDRV_SEND_PATH"), "--port", str(self.tcpdrv_port), *lines],
            capture_output=True,
            text=True,
            timeout=START_S,
        )
        self.assertEqual(done.returncode, 0, done.stdout + done.stderr)

    def wait_for_record(
        self, channel: pelkon.Channel, match: Callable[[pelkon.Record], bool], seen: list
    ) -> pelkon.Record | None:
        """Polls until a record `match` accepts comes; every record taken is kept in `seen`."""
        deadline = time.monotonic() + ANSWER_S
        while (left := deadline - time.monotonic()) > 0:
            record = channel.poll(left)
            if record is None:
                break
            seen.append(record)
            if match(record):
                return record
        return None

    def test_lines_arrive_once_each_with_their_fields(self) -> None:
        lines = [with_checksum(f"5011 18{0x1000 + n:04X}E130010{n:02d}") for n in range(1, 6)]
        self.send_lines(*lines)
        seen: list[pelkon.Record] = []
        with pelkon.Channel(0, self.library) as channel:
            self.assertIsNotNone(
                self.wait_for_record(channel, lambda r: r.account == 0x1005, seen), seen
            )
            # One line sent after the others, with a time: when it is here, every earlier
            # line has been delivered, and duplicates would have come before it.
            year = datetime.datetime.now().year
            self.send_lines(with_checksum("5011 18ABCDE1300200712:30:45-07/12"))
            timed = self.wait_for_record(channel, lambda r: r.account == 0xABCD, seen)
            self.assertIsNotNone(timed, seen)
        # The server's own status line for the channel carries no account.
        events = sorted(r.account for r in seen if r.account != 0)
        self.assertEqual(events, [0x1001, 0x1002, 0x1003, 0x1004, 0x1005, 0xABCD], seen)
        first = next(r for r in seen if r.account == 0x1001)
        self.assertEqual(
            first,
            pelkon.Record(
                receiver=1, line=3, account=0x1001, area="01", code="E130001", time=None, extra=""
            ),
        )
        self.assertEqual(timed.area, "02")
        self.assertEqual(timed.code, "E130007")
        self.assertIn(timed.time.year, (year, year + 1))  # a run across New Year
        self.assertEqual(timed.time.replace(year=2000), datetime.datetime(2000, 12, 7, 12, 30, 45))

    def test_a_command_reaches_the_module_once(self) -> None:
        module = Module(self.gprs_port)
        self.addCleanup(module.close)
        self.assertEqual(module.answer(), "GsmNor v1.2.")
        self.assertIn(":99.c", module.say("a1234,1234"))
        self.assertEqual(module.say("Q"), "11234:99.c3")  # the start command of a new connection
        seen: list[pelkon.Record] = []
        with pelkon.Channel(0, self.library) as channel:
            # The module's link line in the channel: the channel is up and idle.
            self.assertIsNotNone(
                self.wait_for_record(channel, lambda r: r.account == 0x1234, seen), seen
            )
            channel.send("16:1234:XYZ")
            deadline = time.monotonic() + ANSWER_S
            reply = "0"
            while reply == "0" and time.monotonic() < deadline:
                reply = module.say("Q")
                if reply == "0":
                    time.sleep(0.02)
            self.assertEqual(reply, "11234:XYZ")
            self.assertEqual(module.say("Q"), "0")  # sent once
            # What the library would drop without a word is refused before it gets there.
            for bad in ("", "16:1234:A\r\nB", "16:1234:" + "x" * 4096):
                with self.assertRaises(ValueError):
                    channel.send(bad)
        with self.assertRaises(ValueError):
            channel.send("16:1234:XYZ")  # closed
        with self.assertRaises(ValueError):
            channel.poll()


class LibraryLookup(unittest.TestCase):
    def test_a_library_that_is_not_there_or_not_pelkon_is_named(self) -> None:
        missing = os.path.join(tempfile.gettempdir(), "no-such-dir", "libPelkon.so")
        with self.assertRaisesRegex(pelkon.LibraryNotFoundError, "no-such-dir"):
            pelkon.Channel(0, missing)
        with mock.patch.dict(os.environ, {"PELKON_LIBRARY": missing}):
            with self.assertRaisesRegex(pelkon.LibraryNotFoundError, "PELKON_LIBRARY"):
                pelkon.Channel(0)
        with self.assertRaisesRegex(pelkon.LibraryNotFoundError, "not libPelkon"):
            pelkon.load_library("libc.so.6")


if __name__ == "__main__":
    unittest.main()
