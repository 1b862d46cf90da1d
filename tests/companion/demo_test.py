"""The demonstration `./run.sh --demo` starts (python3 -m gallion.companion.demo), headless:
fillings of both protocols come to their end with automatic customers, and Ctrl-C ends everything
cleanly.

    PYTHONPATH=python /usr/bin/python3 -m pytest tests/companion/demo_test.py
"""

import os
import shutil
import signal
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from processes import OutputLines, runner_program  # noqa: E402

# Automatic customers start 5 to 25 s after the loops and need a few seconds to pick a nozzle;
# a filling then lasts 10 to 29 s (current loop) or about 20 s (Zarn, 10-litre preset). The
# deadline leaves room for a slow machine.
FIRST_FILLINGS_DEADLINE_S = 240


class DemoTest(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.mkdtemp(prefix="gallion-demo-")
        self.demo = subprocess.Popen([sys.executable, "-m", "gallion.companion.demo", "--runner", runner_program(),
                                      "--folder", self.folder],
                                     text=True, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        self.output = OutputLines(self.demo.stdout)

    def tearDown(self):
        if self.demo.poll() is None:
            self.demo.kill()
            self.demo.wait()
        self.demo.stdout.close()
        shutil.rmtree(self.folder, ignore_errors=True)

    def test_fillings_of_both_protocols_then_ctrl_c(self):
        self.output.wait_for(r"^demo: Gallion serves Zarn pumps 1-4", timeout=60)
        wanted = {("zarn", "filling done"), ("zarn", "totals nozzle"), ("currentloop", "filling done")}
        seen = set()
        while not wanted <= seen:
            match = self.output.wait_for(r" (zarn|currentloop) pump \d: (filling done|totals nozzle)",
                                         FIRST_FILLINGS_DEADLINE_S)
            seen.add(match.groups())

        self.demo.send_signal(signal.SIGINT)
        self.output.wait_for(r"^demo: ended \(Ctrl-C\)$", timeout=60)
        self.assertEqual(self.demo.wait(timeout=30), 0)
        seen = "\n".join(self.output.seen)
        self.assertIn("zarn: stopped (Ctrl-C)", seen)
        self.assertIn("currentloop: stopped (Ctrl-C)", seen)
        self.assertNotIn("Traceback", seen)
        self.assertNotIn("killed", seen)
        # Gallion shut down in order: its virtual ports' links are gone.
        self.assertFalse(os.path.lexists(os.path.join(self.folder, "zarn-line")))
        self.assertFalse(os.path.lexists(os.path.join(self.folder, "cl-line")))
