"""The README's Python example runs as printed and prints what the README shows; the package's docstring carries
the same example."""
import os
import re
import subprocess
import sys
import textwrap

import ryx

README = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "README.md")


def test_readme_example_runs_as_printed():
    with open(README) as f:
        section = f.read().split("\n## Python\n", 1)[1].split("\n## ", 1)[0]
    example, printed = re.findall(r"\n```(?:python)?\n(.*?)```\n", section, re.S)[:2]
    assert textwrap.indent(example, "    ").rstrip() in ryx.__doc__
    run = subprocess.run([sys.executable, "-c", example], capture_output=True, text=True, timeout=120)
    assert (run.stdout, run.stderr, run.returncode) == (printed, "", 0)
