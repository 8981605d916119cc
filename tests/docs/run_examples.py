#!/usr/bin/env python3
"""Runs the ```console examples of Markdown files and compares their output.

In a ```console block a line starting with "$ " is a command; the lines up to
the next command are the output it must print. All blocks of one file run in
order in one shell and one scratch folder, so an `export` or a file made by
one block holds for the next. Conventions, kept small on purpose:

* the commands run on a terminal (a pseudo-terminal), as a reader would run
  them: stdout and stderr both, in the order they are written; a progress
  line redrawn with CR counts as what it shows last;
* trailing blanks of a line are not compared, and CR LF counts as LF;
* a command that ends in "&" runs in the background; what it prints first
  (its first line) is its output, and the next command waits for that line;
* an output line "..." (indented or not) stands for any number of lines;
* each of the ports 47001..47009 in a file is replaced by a free port of
  its own, in the same order (47001 gets the lowest);
* in what the commands print, the scratch folder reads as /home/tech;
* an output line ending in "? [y/N] ANSWER" is a question the reader
  answers: once the question is printed, ANSWER and Enter are typed (the
  terminal echoes them, as it does for the reader).

Usage: run_examples.py --path DIR [--path DIR ...] FILE.md [FILE.md ...]
"""

import argparse
import os
import pty
import re
import select
import shlex
import socket
import subprocess
import sys
import tempfile

DOC_PORTS = re.compile(r"\b4700[1-9]\b")
HOME = "/home/tech"
MARK = "\x1e@@example %d@@"
QUESTION = re.compile(r"^(.*\? \[y/N\] )(\S*)$")


def blocks(text):
    """[(line number, [command, expected lines])...] for each command."""
    examples = []
    inside = False
    for number, line in enumerate(text.splitlines(), 1):
        if not inside:
            inside = line.strip() == "```console"
            continue
        if line.strip() == "```":
            inside = False
        elif line.startswith("$ "):
            examples.append((number, line[2:], []))
        elif examples:
            examples[-1][2].append(line)
    return examples


def free_ports(count):
    """Distinct free ports: all are held until the last is taken."""
    sockets = [socket.socket() for _ in range(count)]
    try:
        for s in sockets:
            s.bind(("127.0.0.1", 0))
        return sorted(str(s.getsockname()[1]) for s in sockets)
    finally:
        for s in sockets:
            s.close()


def script_for(examples, scratch):
    lines = ["set +e", "trap 'kill $(jobs -p) 2>/dev/null' EXIT"]
    for index, (_, command, _) in enumerate(examples):
        # The mark keeps $? of the command before it, for an "echo $?".
        lines.append("example_status=$?; printf '%s\\n' " + shlex.quote(MARK % index) + "; (exit $example_status)")
        if command.rstrip().endswith("&"):
            out = os.path.join(scratch, ".background-%d" % index)
            lines.append("%s > %s 2>&1 &" % (command.rstrip()[:-1], shlex.quote(out)))
            # Waits for its first line, polling: no fixed pause.
            lines.append("for _ in $(seq 200); do [ -s %s ] && break; sleep 0.05; done; head -n 1 %s"
                         % (shlex.quote(out), shlex.quote(out)))
        else:
            lines.append(command)
    return "\n".join(lines) + "\n"


def run_on_terminal(script, cwd, env, timeout, answers):
    """Runs `script` on a pseudo-terminal; `answers` are the (question,
    answer) pairs to type, in order, each once its question is printed."""
    answers = [(question.encode(), (answer + "\n").encode()) for question, answer in answers]
    searched = 0
    master, slave = pty.openpty()
    process = subprocess.Popen(["bash", "-c", script], cwd=cwd, env=env, stdin=slave, stdout=slave,
                               stderr=slave, close_fds=True, start_new_session=True)
    os.close(slave)
    output = b""
    while True:
        ready, _, _ = select.select([master], [], [], timeout)
        if not ready:
            process.kill()
            raise SystemExit("the examples did not end within %d s" % timeout)
        try:
            chunk = os.read(master, 65536)
        except OSError:  # the terminal closed: every writer ended
            break
        if not chunk:
            break
        output += chunk
        while answers and answers[0][0] in output[searched:]:
            searched = output.index(answers[0][0], searched) + len(answers[0][0])
            os.write(master, answers.pop(0)[1])
    process.wait()
    os.close(master)
    return output.decode("utf-8", "replace")


def shown(text):
    """The lines as a terminal shows them."""
    result = []
    for line in re.sub(r"\r+\n", "\n", text).split("\n"):
        result.append(line.split("\r")[-1].rstrip())
    return result


def matches(expected, actual):
    if not expected:
        return not actual
    if expected[0].strip() == "...":
        return any(matches(expected[1:], actual[i:]) for i in range(len(actual) + 1))
    return bool(actual) and expected[0] == actual[0] and matches(expected[1:], actual[1:])


def check(path, dirs):
    ports = dict(zip(("4700%d" % n for n in range(1, 10)), free_ports(9)))
    with open(path, encoding="utf-8") as f:
        examples = blocks(DOC_PORTS.sub(lambda m: ports[m.group(0)], f.read()))
    if not examples:
        return ["%s: no console examples" % path]
    env = {k: v for k, v in os.environ.items()
           if k not in ("TARVOLIN_LINK", "TARVOLIN_ADDRESS", "QT_LOGGING_RULES", "QT_LOGGING_CONF")}
    env["PATH"] = os.pathsep.join(dirs + [env.get("PATH", "/usr/bin:/bin")])
    env["LC_ALL"] = "C.UTF-8"
    with tempfile.TemporaryDirectory() as scratch:
        answers = [m.groups() for _, _, expected in examples for m in map(QUESTION.match, expected) if m]
        output = run_on_terminal(script_for(examples, scratch), scratch, env, 300, answers)
        for folder in sorted({os.path.realpath(scratch), scratch}, key=len, reverse=True):
            output = output.replace(folder, HOME)
    parts = re.split(r"\x1e@@example (\d+)@@\n?", re.sub(r"\r+\n", "\n", output))
    printed = {int(parts[i]): shown(parts[i + 1]) for i in range(1, len(parts) - 1, 2)}
    faults = []
    for index, (number, command, expected) in enumerate(examples):
        actual = printed.get(index, [])
        while actual and not actual[-1]:
            actual.pop()
        want = [line.rstrip() for line in expected]
        if not matches(want, actual):
            faults.append("%s:%d: $ %s\n  shown:\n    %s\n  printed:\n    %s"
                          % (path, number, command, "\n    ".join(want), "\n    ".join(actual)))
    return faults


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--path", action="append", default=[])
    parser.add_argument("files", nargs="+")
    args = parser.parse_args()
    faults = []
    for path in args.files:
        faults += check(path, [os.path.abspath(d) for d in args.path])
    for fault in faults:
        print(fault)
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
