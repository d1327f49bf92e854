"""Drives one engine process over standard input and output, as a chess interface does.

Every read has a timeout, so that an engine that hangs fails the test instead of stalling it.
"""

import queue
import re
import subprocess
import threading
import time

FEN_LINE = re.compile(r"^\s*Fen: (.+)$")
MOVE_LINE = re.compile(r"^(\d+)\. ([a-h][1-8][a-h][1-8][nbrq]?)\( (\w+) \)$")


class EngineTimeout(AssertionError):
    pass


class Engine:
    def __init__(self, path, args=(), preexec_fn=None):
        self.proc = subprocess.Popen(
            [path, *args],
            preexec_fn=preexec_fn,
            stdin=subprocess.PIPE,
            stdout=subprocess.PIPE,
            stderr=subprocess.PIPE,
            text=True,
            bufsize=1,
        )
        self.lines = queue.Queue()
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()

    def _read(self):
        for line in self.proc.stdout:
            self.lines.put(line.rstrip("\n"))
        self.lines.put(None)

    def send(self, line):
        self.proc.stdin.write(line + "\n")
        self.proc.stdin.flush()

    def read_line(self, timeout=10.0):
        try:
            line = self.lines.get(timeout=timeout)
        except queue.Empty:
            raise EngineTimeout("no output from the engine within %.1f s" % timeout)
        if line is None:
            raise EngineTimeout("the engine closed its output")
        return line

    def read_until(self, predicate, timeout=10.0):
        """Lines up to and including the first one that satisfies predicate."""
        deadline = time.monotonic() + timeout
        seen = []
        while True:
            left = deadline - time.monotonic()
            if left <= 0:
                raise EngineTimeout("no matching line within %.1f s; got %r" % (timeout, seen[-5:]))
            line = self.read_line(left)
            seen.append(line)
            if predicate(line):
                return seen

    def read_until_prefix(self, prefix, timeout=10.0):
        return self.read_until(lambda l: l.startswith(prefix), timeout)

    def sync(self, timeout=10.0):
        """Everything printed before "readyok" to a fresh "isready"."""
        self.send("isready")
        return self.read_until(lambda l: l == "readyok", timeout)[:-1]

    def pending(self, wait=0.0):
        """Lines that arrive within wait seconds, without blocking beyond that."""
        got = []
        deadline = time.monotonic() + wait
        while True:
            left = deadline - time.monotonic()
            try:
                line = self.lines.get(timeout=max(left, 0.0)) if left > 0 else self.lines.get_nowait()
            except queue.Empty:
                return got
            if line is None:
                return got
            got.append(line)

    def command(self, line, timeout=10.0):
        """Sends a console command and returns what it printed (synchronised by "isready")."""
        self.send(line)
        return self.sync(timeout)

    def fen(self):
        for line in self.command("print"):
            m = FEN_LINE.match(line)
            if m:
                return m.group(1).strip()
        raise AssertionError("no Fen line in the board diagram")

    def legal_moves(self):
        out = self.command("listmoves")
        moves = []
        for i, line in enumerate(out, 1):
            m = MOVE_LINE.match(line)
            if not m or int(m.group(1)) != i:
                raise AssertionError("malformed listmoves line %r" % line)
            moves.append(m.group(2))
        return moves

    def search(self, go, timeout=30.0):
        """Sends a go line; returns (info lines, best move text)."""
        self.send(go)
        lines = self.read_until_prefix("bestmove ", timeout)
        info = [l for l in lines if l.startswith("info ")]
        return info, lines[-1].split()[1]

    def quit(self, timeout=10.0):
        try:
            self.send("quit")
        except (BrokenPipeError, ValueError):
            pass
        return self.wait(timeout)

    def wait(self, timeout=10.0):
        try:
            code = self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
            raise EngineTimeout("the engine did not exit within %.1f s" % timeout)
        self.reader.join(5)
        return code

    def kill(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()
        for stream in (self.proc.stdin, self.proc.stdout, self.proc.stderr):
            try:
                stream.close()
            except Exception:
                pass
