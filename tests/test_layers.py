"""The program's rooms include one another in one direction only: base, then the store, then
the acquisition, then the answers and the command line, then main. A header of a higher room
included from a lower one would tie the two together."""

import os
import re
import unittest

import harness

CLIENT = os.path.join(os.path.dirname(harness.HERE), "DNS", "Bind9", "client")
LAYERS = {"base": 0, "store": 1, "acquire": 2, "answers": 3, "main": 4}
# Within the answers: the action table below the command line, both below the answers.
ANSWERS = {"actions": 0, "endrun": 0, "commandline": 1, "answer": 2}


def layer(path):
    """(layer, rank within it) of a file of the program, by its place; None for test code."""
    rel = os.path.relpath(path, CLIENT)
    room = rel.split(os.sep)[0]
    if rel.endswith("_test.cpp") or room == "testsupport":
        return None
    if room in LAYERS and os.sep in rel:
        return (LAYERS[room], 0)
    stem = os.path.splitext(rel)[0]
    return (LAYERS["main"], 0) if stem == "main" else (LAYERS["answers"], ANSWERS[stem])


class Layers(unittest.TestCase):
    def test_no_include_runs_upward(self):
        upward = []
        seen = 0
        for top, _, files in os.walk(CLIENT):
            for name in files:
                path = os.path.join(top, name)
                here = layer(path)
                if here is None or not name.endswith((".h", ".cpp")):
                    continue
                with open(path, encoding="utf-8") as f:
                    for included in re.findall(r'(?m)^#include "([^"]+)"', f.read()):
                        target = os.path.join(CLIENT, included)
                        if not os.path.exists(target):
                            target = os.path.join(top, included)
                        there = layer(target)
                        seen += 1
                        if there is not None and there > here:
                            upward.append(f"{os.path.relpath(path, CLIENT)} includes {included}")
        self.assertGreater(seen, 50)
        self.assertEqual(upward, [])


if __name__ == "__main__":
    unittest.main()
