#!/usr/bin/env python3
"""scripts/trace-diff on small hand-made traces: the same bytes with other times, bursts and
events; a byte that differs; a trace that ends early; input that is not a trace.

    trace_diff_test.py PATH_TO_TRACE_DIFF
"""

import os
import subprocess
import sys
import tempfile
import unittest

SCRIPT = None

PROGRAM = """\
# line trace, format 1
# update 2.16, port 1 (/dev/ttyUSB0)
     300000 open     port 1 /dev/ttyUSB0, 115200 baud, parity none, RTS/CTS off
     300100 stage    access
     300200 prog>box 20 6b 6f 72 76 61 6e 65                         | korvane|
     302000 box>prog 67 72 61 6e 74 65 64                            |granted|
     600000 prog>box 30                                              |0|
     700000 box>prog 30                                              |0|
     900000 stage    version 24.4
    1000000 restored the port's settings as found
"""

# The same bytes from the box's side: other times, other burst boundaries, no events.
BOX_SAME = """\
# boxsim, box 24.4
    1300000 prog>box 20 6b 6f                                        | ko|
    1300050 prog>box 72 76 61 6e 65                                  |rvane|
    1302000 box>prog 67 72 61 6e 74 65 64                            |granted|
    1600000 prog>box 30                                              |0|
    1700000 box>prog 30                                              |0|
    1900000 end      of the program
"""


def run(first, second):
    with tempfile.TemporaryDirectory() as directory:
        paths = []
        for name, text in (("a.trace", first), ("b.trace", second)):
            path = os.path.join(directory, name)
            with open(path, "w", encoding="latin-1") as handle:
                handle.write(text)
            paths.append(path)
        result = subprocess.run([SCRIPT] + paths, capture_output=True, text=True, check=False)
        return result.returncode, result.stdout + result.stderr


class TraceDiff(unittest.TestCase):
    def test_same_bytes_in_other_bursts_and_times(self):
        code, out = run(PROGRAM, BOX_SAME)
        self.assertEqual(code, 0, out)
        self.assertIn("9 bytes prog>box", out)
        self.assertIn("8 bytes box>prog", out)

    def test_differing_byte_names_direction_offset_both_bytes_and_lines(self):
        box = BOX_SAME.replace("1700000 box>prog 30", "1700000 box>prog 39")
        code, out = run(PROGRAM, box)
        self.assertEqual(code, 1, out)
        first = out.splitlines()[0]
        self.assertIn("box>prog, byte 7", first)
        self.assertIn("0x30", first)
        self.assertIn("0x39", first)
        # The line of the difference in each file, marked.
        self.assertIn(">      8:      700000 box>prog 30", out)
        self.assertIn(">      6:     1700000 box>prog 39", out)

    def test_first_difference_in_the_first_traces_order(self):
        # Both directions differ; the one that comes first in the first trace is reported.
        box = BOX_SAME.replace("72 76 61 6e 65", "72 76 61 6e 66").replace(
            "1700000 box>prog 30", "1700000 box>prog 39")
        code, out = run(PROGRAM, box)
        self.assertEqual(code, 1, out)
        self.assertIn("prog>box, byte 7", out.splitlines()[0])
        self.assertIn("also differs: box>prog from byte 7", out)

    def test_bytes_missing_on_one_side(self):
        # The box was not listening yet: the program's keyword is not in its trace.
        box = "\n".join(line for line in BOX_SAME.splitlines() if "6b 6f" not in line
                        and "72 76" not in line) + "\n"
        code, out = run(PROGRAM, box)
        self.assertEqual(code, 1, out)
        self.assertIn("prog>box, byte 0", out.splitlines()[0])
        box_short = BOX_SAME.replace("    1700000 box>prog 30" + " " * 46 + "|0|\n", "")
        code, out = run(PROGRAM, box_short)
        self.assertEqual(code, 1, out)
        self.assertIn("none (the trace ends)", out.splitlines()[0])

    def test_bad_input(self):
        for text in ("not a trace\n", "  100 prog>box 6g\n", "  100 prog>box\n",
                     "  100 prog>box " + "00 " * 17 + "\n"):
            code, out = run(PROGRAM, text)
            self.assertEqual(code, 2, text + out)
        code, out = run(PROGRAM, BOX_SAME)
        self.assertEqual(code, 0, out)


if __name__ == "__main__":
    SCRIPT = sys.argv.pop(1)
    unittest.main()
