"""The companion controller: the codecs it builds frames with, and whole fillings of both
protocols driven against the real headless runner on virtual ports.

    PYTHONPATH=python /usr/bin/python3 -m pytest tests/companion/controller_test.py
"""

import os
import random
import select
import shutil
import sys
import tempfile
import time
import unittest

from gallion.currentloop import controller as currentloop_controller
from gallion.currentloop import link as currentloop_link
from gallion.zarn import link as zarn_link
from gallion.zarn import transactions as zarn_transactions

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from processes import Companion, Runner, runner_program  # noqa: E402


def units(text):
    """'12.34' -> 1234: figures compared exactly, as whole units of their decimals."""
    whole, _, fraction = text.partition(".")
    return int(whole + fraction)


class CodecTest(unittest.TestCase):
    """The pieces every byte on the line goes through."""

    def test_crc_check_values(self):
        self.assertEqual(zarn_link.crc16_arc(b"123456789"), 0xBB3D)
        self.assertEqual(currentloop_link.crc16_ccitt_false(b"123456789"), 0x29B1)

    def test_zarn_data_block_is_stuffed_and_reads_back(self):
        # A price of 0.FA would be invalid BCD, so the 0xFA comes from an output register command.
        block = zarn_link.data_block(0x50, 3, bytes([7, 2, 0xFA, 0x10]))
        self.assertEqual(block[-1], zarn_link.SF)
        self.assertNotIn(zarn_link.SF, block[:-1].replace(b"\x10\xfa", b""))

        class Line:
            def __init__(self, data):
                self.data = list(data)

            def read_byte(self, deadline):
                return self.data.pop(0) if self.data else None

        read = zarn_link.read_block(Line(block), time.monotonic() + 1)
        parsed = zarn_link.Block(read.block)
        self.assertEqual((parsed.address, parsed.kind, parsed.sequence), (0x50, zarn_link.DATA, 3))
        self.assertTrue(parsed.crc_ok())
        self.assertEqual(parsed.transactions_bytes(), bytes([7, 2, 0xFA, 0x10]))

    def test_bcd(self):
        self.assertEqual(zarn_transactions.bcd_encode(150, 3), bytes([0x00, 0x01, 0x50]))
        self.assertEqual(zarn_transactions.bcd_decode(bytes([0x12, 0x34, 0x56, 0x78])), 12345678)
        with self.assertRaises(zarn_transactions.MalformedReply):
            zarn_transactions.bcd_decode(bytes([0x1A]))
        with self.assertRaises(zarn_transactions.MalformedReply):
            zarn_transactions.split_transactions(bytes([1, 5, 0]))

    def test_current_loop_frames_never_carry_stx_or_etx_inside(self):
        generator = random.Random(19)
        for _ in range(500):
            frame = currentloop_link.new_frame(0x50, "1")
            for index in range(5, 25):
                frame[index] = ord("0") + generator.randrange(10)
            finished = currentloop_link.finish_frame(frame)
            self.assertEqual(len(finished), 32)
            self.assertNotIn(currentloop_link.STX, finished[1:31])
            self.assertNotIn(currentloop_link.ETX, finished[1:31])
            self.assertEqual(currentloop_link.crc16_ccitt_false(finished[1:29]), finished[29] << 8 | finished[30])

    def test_current_loop_preset_above_99999_uses_the_high_bits(self):
        class Settings:
            nozzles = [1, 2, 3]
            decimals = None

        pump = currentloop_controller.CurrentLoopPump(1, Settings(), events=None)
        frame = pump.cb0_authorise(13 * 100000 + 12345, preset_is_volume=True)
        self.assertEqual(frame[21:28], bytes([0x50, ord("1"), 0x72, 0xF3, ord("4"), ord("5"), 0x40 | 0x20 | 0x18]))


class Folder:
    def __init__(self):
        self.path = tempfile.mkdtemp(prefix="gallion-companion-")

    def file(self, name):
        return os.path.join(self.path, name)

    def remove(self):
        shutil.rmtree(self.path, ignore_errors=True)


class FillingTest(unittest.TestCase):
    """A filling of each protocol driven to its end by the companion against the runner, the
    customer played through runner commands; the figures and totals the companion prints must be
    the pump's own."""

    def setUp(self):
        self.folder = Folder()
        self.runner = Runner(runner_program(), self.folder.path)
        self.companion = None

    def tearDown(self):
        if self.companion:
            self.companion.close()
        self.runner.close()
        self.folder.remove()

    def start_companion(self, protocol, line, *extra):
        self.companion = Companion("--protocol", protocol, "--port", line, "--pumps", "1-2",
                                   "--fillings", "1", "--run-time", "120", "--progress", "0.5",
                                   "--reply-timeout", "1", *extra)

    def test_zarn_filling_with_damaged_replies_ends_with_the_pumps_totals(self):
        line = self.folder.file("zarn-line")
        self.runner.ok(f"loop add zarn pty:{line} 1 2")
        self.runner.ok("pump add 1 1")
        self.runner.ok("pump add 1 2")
        self.start_companion("zarn", line)
        self.companion.wait_for(r"zarn pump 1: programmed: nozzles 1 at 1.50, 2 at 1.60")
        self.runner.wait_for_state(1, 1, lambda state: state["status"] == 1 and 2 in state["allowed"])
        # The next two replies carry a wrong CRC: the companion asks again and goes on.
        self.runner.ok("error 1 1 101 2")
        self.assertEqual(self.runner.ok("select 1 1 2"), "allowed")
        self.runner.ok("lift 1 1")
        self.companion.wait_for(r"zarn pump 1: reply block \d+ damaged")
        self.companion.wait_for(r"zarn pump 1: nozzle 2 lifted")
        self.companion.wait_for(r"zarn pump 1: authorised, nozzle 2")
        self.companion.wait_for(r"zarn pump 1: filling started, nozzle 2, price 1.60")
        self.companion.wait_for(r"zarn pump 1: filling: \d+\.\d\d l")
        self.runner.wait_for_state(1, 1, lambda state: units(state["volume"]) >= 50)
        self.runner.ok("hangup 1 1")

        done = self.companion.wait_for(r"zarn pump 1: filling done: ([\d.]+) l, amount ([\d.]+), price 1.60, nozzle 2")
        totals = self.companion.wait_for(
            r"zarn pump 1: totals nozzle 2: volume ([\d.]+) l, amount ([\d.]+), fillings (\d+)")
        self.assertEqual(self.companion.exit_status(), 0, self.companion.all_output())

        volume, amount = units(done.group(1)), units(done.group(2))
        self.assertGreaterEqual(volume, 50)
        self.assertEqual(amount, volume * 160 // 100)  # amounts are cut, never rounded
        nozzle = [entry for entry in self.runner.state(1, 1)["nozzles"] if entry["number"] == 2][0]
        self.assertEqual((totals.group(1), totals.group(2), totals.group(3)),
                         (nozzle["volume_total"], nozzle["amount_total"], nozzle["fillings"]))
        self.assertEqual((done.group(1), done.group(2)), (nozzle["volume_total"], nozzle["amount_total"]))
        # The companion's last block, the Reset, is acknowledged by the line before the pump
        # carries it out: wait for the pump to take it.
        self.runner.wait_for_state(1, 1, lambda state: state["status"] == 1)  # reset for the next customer

    def test_current_loop_filling_ends_with_the_pumps_figures(self):
        line = self.folder.file("cl-line")
        self.runner.ok(f"loop add cl pty:{line} 1 2")
        self.runner.ok("pump add 1 1")
        self.runner.ok("pump add 1 2")
        self.start_companion("currentloop", line, "--nozzles", "1-4")
        self.companion.wait_for(r"currentloop pump 1: programmed: nozzles 1 at 1.50, .* 4 at 1.80; idle")
        self.runner.wait_for_state(1, 1, lambda state: state["enabled"] == [1, 2, 3, 4])
        self.runner.ok("error 1 1 240 2")  # two replies with a wrong CRC
        self.runner.ok("lift 1 1 3")
        self.companion.wait_for(r"currentloop pump 1: (reply ignored: bad CRC|\d+ stray bytes)")
        self.companion.wait_for(r"currentloop pump 1: nozzle 3 lifted")
        self.companion.wait_for(r"currentloop pump 1: authorised, nozzle 3")
        self.companion.wait_for(r"currentloop pump 1: filling started, nozzle 3, price 1.70")
        self.runner.wait_for_state(1, 1, lambda state: units(state["volume"]) >= 50)
        self.runner.ok("hangup 1 1")

        done = self.companion.wait_for(
            r"currentloop pump 1: filling done: ([\d.]+) l, amount ([\d.]+), price 1.70, nozzle 3")
        totals = self.companion.wait_for(
            r"currentloop pump 1: totals nozzle 3 \(counted by this controller\): volume ([\d.]+) l, "
            r"amount ([\d.]+), fillings 1")
        self.assertEqual(self.companion.exit_status(), 0, self.companion.all_output())

        state = self.runner.state(1, 1)
        self.assertEqual((done.group(1), done.group(2)), (state["volume"], state["amount"]))
        self.assertEqual((totals.group(1), totals.group(2)), (state["volume"], state["amount"]))
        self.assertEqual(units(state["amount"]), units(state["volume"]) * 170 // 100)

    def test_zarn_preset_ends_the_filling_and_the_next_needs_the_nozzle_returned(self):
        line = self.folder.file("zarn-line")
        self.runner.ok(f"loop add zarn pty:{line} 1 1")
        self.runner.ok("pump add 1 1")
        # A preset below the throttle distance runs the whole filling at 5 l/min: 0.50 l in ~6 s.
        self.start_companion("zarn", line, "--pumps", "1", "--preset-volume", "0.5", "--fillings", "2")
        self.companion.wait_for(r"zarn pump 1: programmed")
        self.runner.wait_for_state(1, 1, lambda state: state["status"] == 1 and 1 in state["allowed"])
        self.runner.ok("select 1 1 1")
        self.runner.ok("lift 1 1")
        self.companion.wait_for(r"zarn pump 1: preset volume 0.50 l")
        done = self.companion.wait_for(r"zarn pump 1: filling done: ([\d.]+) l, amount ([\d.]+)", timeout=60)
        self.assertEqual((done.group(1), done.group(2)), ("0.50", "0.75"))
        self.companion.wait_for(r"zarn pump 1: totals nozzle 1: volume 0.50 l, amount 0.75, fillings 1")

        # The customer still holds the nozzle: the pump is reset, but not authorised again.
        self.runner.wait_for_state(1, 1, lambda state: state["status"] == 1)
        time.sleep(0.5)
        state = self.runner.state(1, 1)
        self.assertEqual((state["status"], state["nozzle_out"]), (1, True))
        self.runner.ok("hangup 1 1")
        self.runner.ok("select 1 1 2")
        self.runner.ok("lift 1 1")
        self.companion.wait_for(r"zarn pump 1: nozzle 2 lifted")
        self.companion.wait_for(r"zarn pump 1: totals nozzle 2: volume 0.50 l, amount 0.80, fillings 1", timeout=60)
        self.assertEqual(self.companion.exit_status(), 0, self.companion.all_output())
        self.assertEqual(self.companion.all_output().count("nozzle 1 lifted"), 1)

    def test_a_price_the_protocol_cannot_carry_ends_the_run(self):
        for protocol, price, message in (("zarn", "10000", "needs more than the pump's 6 price digits"),
                                         ("currentloop", "100", "needs more than the 4 price digits")):
            with self.subTest(protocol=protocol):
                line = self.folder.file(protocol)
                loop = self.runner.ok(f"loop add {'zarn' if protocol == 'zarn' else 'cl'} pty:{line} 1 1").split()[0]
                self.runner.ok(f"pump add {loop} 1")
                self.companion = Companion("--protocol", protocol, "--port", line, "--pumps", "1",
                                           "--prices", price, "--run-time", "60")
                self.assertEqual(self.companion.exit_status(), 2)
                self.assertIn(f"cannot program the pumps: the price of nozzle 1 {message} at 2 decimals",
                              self.companion.all_output())
                self.companion.close()

    def test_a_loop_removed_under_the_companion_ends_its_run(self):
        line = self.folder.file("zarn-line")
        self.runner.ok(f"loop add zarn pty:{line} 1 1")
        self.runner.ok("pump add 1 1")
        self.start_companion("zarn", line, "--pumps", "1")
        self.companion.wait_for(r"zarn pump 1: programmed")
        self.runner.ok("loop remove 1")
        self.assertEqual(self.companion.exit_status(), 2)
        self.assertIn("the virtual port was closed at its other end (Gallion ended, or its loop was removed)",
                      self.companion.all_output())


class BadLineTest(unittest.TestCase):
    """Silence, noise and Ctrl-C: clear messages and a clean end, never a hang or a traceback."""

    def setUp(self):
        # The test keeps the slave open too, so the line stays up while the companion starts.
        self.master, self.slave = os.openpty()
        self.slave_path = os.ttyname(self.slave)
        self.companion = None

    def tearDown(self):
        if self.companion:
            self.companion.close()
        os.close(self.slave)
        os.close(self.master)

    def run_companion(self, protocol, seconds):
        if self.companion:
            self.companion.close()
        self.companion = Companion("--protocol", protocol, "--port", self.slave_path, "--pumps", "1",
                                   "--run-time", str(seconds), "--reply-timeout", "0.2")

    def answer_with_noise(self, noise, seconds):
        """Answers everything the companion sends with `noise` for `seconds`."""
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            readable, _, _ = select.select([self.master], [], [], 0.05)
            if readable:
                os.read(self.master, 256)
                os.write(self.master, noise)

    def test_silent_line_is_reported_and_the_run_ends(self):
        for protocol in ("zarn", "currentloop"):
            with self.subTest(protocol=protocol):
                self.run_companion(protocol, 1.5)
                self.companion.wait_for(r"pump 1: no answer to polls", timeout=20)
                self.assertEqual(self.companion.exit_status(), 1)
                self.assertIn("no pump answered", self.companion.all_output())
                self.assertIn("stopped (run time over): 0 fillings completed", self.companion.all_output())

    def test_noise_is_reported_not_fatal(self):
        # Random bytes that happen to carry a good CRC: only their content gives them away.
        zarn_rubbish = zarn_link.data_block(0x50, 0, bytes([99, 1, 0]))
        current_loop_rubbish = currentloop_link.finish_frame(bytearray(b"\x02qPP0" + b"x" * 27))
        cases = [("zarn", b"\x51\x30\x01\x01\x05\x00\x00\x03\xfa", r"block from address 0x51"),
                 ("zarn", b"\x50\x30\x01\x01\x05\x12\x34\x03\xfa", r"damaged \(CRC 3412"),
                 ("zarn", b"\x00" * 40, r"\d+ bytes without an end of block"),
                 ("zarn", zarn_rubbish, r"malformed reply \(unknown reply transaction 99\).*asking the status again"),
                 ("currentloop", b"\x02" + b"q" * 30 + b"\x03", r"reply ignored: bad CRC"),
                 ("currentloop", current_loop_rubbish, r"reply ignored: bytes 5-8 are not a number"),
                 ("currentloop", b"garbage", r"7 stray bytes")]
        for protocol, noise, message in cases:
            with self.subTest(protocol=protocol, noise=noise):
                self.run_companion(protocol, 2)
                self.answer_with_noise(noise, 1.0)
                self.companion.wait_for(message, timeout=20)
                self.assertEqual(self.companion.exit_status(), 1)
                self.assertNotIn("Traceback", self.companion.all_output())

    def test_ctrl_c_ends_the_run_cleanly(self):
        self.run_companion("zarn", 60)
        self.companion.wait_for(r"no answer to polls", timeout=20)
        self.companion.interrupt()
        self.assertEqual(self.companion.exit_status(timeout=10), 1)
        self.assertIn("stopped (Ctrl-C): 0 fillings completed", self.companion.all_output())

    def test_a_port_that_cannot_be_opened_is_refused(self):
        self.companion = Companion("--protocol", "zarn", "--port", "/nonexistent/line", "--pumps", "1")
        self.assertEqual(self.companion.exit_status(), 2)
        self.assertIn("cannot use the port: cannot open /nonexistent/line", self.companion.all_output())
