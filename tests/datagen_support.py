"""Helpers for the data-generation process tests: a game-file reader, a replay of the games
through the engine's own board, and a loopback collection server that records what it gets."""

import http.server
import json
import os
import re
import signal
import struct
import subprocess
import threading
import time
import urllib.parse

# ---- Game files ----------------------------------------------------------------------------

PIECE_CHARS = "PNBRQKR"  # kind 6 is a rook that still holds its castling right


class FormatError(Exception):
    pass


def read_games(data):
    """Walks a game file by the terminator rule. Each game: (head bytes, [(move, score)])."""
    games = []
    pos = 0
    while pos < len(data):
        if len(data) - pos < 36:
            raise FormatError("record cut off at byte %d" % pos)
        head = data[pos:pos + 32]
        pos += 32
        moves = []
        while True:
            if len(data) - pos < 4:
                raise FormatError("record without terminator")
            move, score = struct.unpack_from("<Hh", data, pos)
            pos += 4
            if move == 0 and score == 0:
                break
            moves.append((move, score))
        games.append((head, moves))
    return games


def decode_head(head):
    """The head as a dictionary, with the position as a FEN."""
    occupancy, = struct.unpack_from("<Q", head, 0)
    nibbles = []
    for b in head[8:24]:
        nibbles += [b & 15, b >> 4]
    board = [None] * 64
    castling = ""
    k = 0
    for sq in range(64):
        if occupancy >> sq & 1:
            code = nibbles[k]
            k += 1
            colour, kind = code >> 3, code & 7
            if kind == 7:
                raise FormatError("piece code %d" % code)
            if kind == 6 and sq not in (0, 7, 56, 63):
                raise FormatError("unmoved rook off its corner")
            ch = PIECE_CHARS[kind]
            board[sq] = ch if colour == 0 else ch.lower()
            if kind == 6:
                castling += {7: "K", 0: "Q", 63: "k", 56: "q"}[sq]
    if any(nibbles[k:]):
        raise FormatError("nibbles beyond the last piece")
    stm_ep, half, full, ev, wdl, extra = struct.unpack_from("<BBHhBB", head, 24)
    rows = []
    for rank in range(7, -1, -1):
        row, empty = "", 0
        for f in range(8):
            p = board[rank * 8 + f]
            if p is None:
                empty += 1
            else:
                if empty:
                    row += str(empty)
                row += p
                empty = 0
        if empty:
            row += str(empty)
        rows.append(row)
    ep = stm_ep & 127
    side = "b" if stm_ep >> 7 else "w"
    castling = "".join(c for c in "KQkq" if c in castling) or "-"
    ep_text = "-" if ep == 64 else "abcdefgh"[ep % 8] + str(ep // 8 + 1)
    fen = "%s %s %s %s %d %d" % ("/".join(rows), side, castling, ep_text, half, full)
    return {"fen": fen, "side": side, "eval": ev, "wdl": wdl, "extra": extra, "board": board, "ep": ep}


def move_text(packed):
    """The long-algebraic text of a packed move (castling back to the king's destination)."""
    frm, to = packed & 63, packed >> 6 & 63
    kind, promo = packed >> 14, packed >> 12 & 3
    sq = lambda s: "abcdefgh"[s % 8] + str(s // 8 + 1)
    if kind == 2:
        to = {7: 6, 0: 2, 63: 62, 56: 58}[to]
    text = sq(frm) + sq(to)
    if kind == 3:
        text += "nbrq"[promo]
    elif promo:
        raise FormatError("promotion bits on a non-promotion")
    return text


# ---- Check detection on a FEN (independent of the engine) --------------------------------------

def fen_board(fen):
    board = [None] * 64
    rank, f = 7, 0
    for c in fen.split()[0]:
        if c == "/":
            rank, f = rank - 1, 0
        elif c.isdigit():
            f += int(c)
        else:
            board[rank * 8 + f] = c
            f += 1
    return board


def in_check(fen):
    board = fen_board(fen)
    white = fen.split()[1] == "w"
    king = "K" if white else "k"
    ks = board.index(king)
    enemy = (lambda p: p is not None and p.islower()) if white else (lambda p: p is not None and p.isupper())
    kr, kf = divmod(ks, 8)

    def at(r, f):
        return board[r * 8 + f] if 0 <= r < 8 and 0 <= f < 8 else "off"

    for dr, df in ((1, 2), (2, 1), (-1, 2), (-2, 1), (1, -2), (2, -1), (-1, -2), (-2, -1)):
        p = at(kr + dr, kf + df)
        if p != "off" and enemy(p) and p.lower() == "n":
            return True
    pawn_dir = 1 if white else -1
    for df in (-1, 1):
        p = at(kr + pawn_dir, kf + df)
        if p != "off" and enemy(p) and p.lower() == "p":
            return True
    for dr in (-1, 0, 1):
        for df in (-1, 0, 1):
            p = at(kr + dr, kf + df)
            if (dr or df) and p != "off" and enemy(p) and p.lower() == "k":
                return True
    for dr, df, kinds in ((1, 0, "rq"), (-1, 0, "rq"), (0, 1, "rq"), (0, -1, "rq"),
                          (1, 1, "bq"), (1, -1, "bq"), (-1, 1, "bq"), (-1, -1, "bq")):
        r, f = kr + dr, kf + df
        while 0 <= r < 8 and 0 <= f < 8:
            p = board[r * 8 + f]
            if p is not None:
                if enemy(p) and p.lower() in kinds:
                    return True
                break
            r, f = r + dr, f + df
    return False


# ---- The engine as a replay board ---------------------------------------------------------------

FEN_RE = re.compile(r"([pnbrqkPNBRQK1-8]+/){7}[pnbrqkPNBRQK1-8]+ [wb] [KQkq-]+ ([a-h][36]|-) \d+ \d+")
MOVE_RE = re.compile(r"^\d+\. ([a-h][1-8][a-h][1-8][nbrq]?)\( \w+ \)$")


class Engine:
    def __init__(self, exe):
        self.proc = subprocess.Popen([exe], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=subprocess.DEVNULL, text=True, bufsize=1)

    def _until_ready(self):
        self.proc.stdin.write("isready\n")
        self.proc.stdin.flush()
        lines = []
        while True:
            line = self.proc.stdout.readline()
            if not line:
                raise RuntimeError("engine ended")
            line = line.rstrip("\n")
            if line == "readyok":
                return lines
            lines.append(line)

    def position(self, fen, moves):
        """Legal moves and FEN of the position after moves."""
        cmd = "position fen " + fen + (" moves " + " ".join(moves) if moves else "")
        self.proc.stdin.write(cmd + "\nlistmoves\n")
        legal = [m.group(1) for m in map(MOVE_RE.match, self._until_ready()) if m]
        self.proc.stdin.write("print\n")
        fens = [m.group(0) for m in map(FEN_RE.search, self._until_ready()) if m]
        if not fens:
            raise RuntimeError("print gave no FEN")
        return legal, fens[-1]

    def evaluate(self):
        """The scaled static evaluation of the current position, side to move's view."""
        self.proc.stdin.write("nnue\n")
        for line in self._until_ready():
            if line.startswith("Final eval: "):
                return int(line[len("Final eval: "):])
        raise RuntimeError("nnue gave no evaluation")

    def close(self):
        self.proc.stdin.write("quit\n")
        self.proc.stdin.close()
        self.proc.wait(timeout=10)
        self.proc.stdout.close()


def scaled_eval(fen, raw):
    """The scaled evaluation that belongs to a raw one (side to move's view): the network's
    material scaling, truncated toward zero and clamped."""
    pieces = [p.lower() for p in fen_board(fen) if p]
    scale = 2048 + 90 * (pieces.count("n") + pieces.count("b")) + 180 * pieces.count("r") + 360 * pieces.count("q")
    z = abs(scale * raw) // 4096 * (1 if raw >= 0 else -1)
    return max(-32511, min(32511, z))


def position_key(fen):
    return " ".join(fen.split()[:4])


def replay(exe, games):
    """Replays every game; returns totals and a list of problems (empty when all is well)."""
    engine = Engine(exe)
    problems = []
    totals = {"games": len(games), "positions": 0, "illegal": 0, "mates": 0, "stalemates": 0,
              "fifty": 0, "material": 0, "repetitions": 0, "opening_repetitions": 0}
    try:
        for g, (head, moves) in enumerate(games):
            info = decode_head(head)
            if info["extra"] != 0 or info["wdl"] not in (0, 1, 2):
                problems.append("game %d: bad wdl/extra" % g)
            if not -32511 <= info["eval"] <= 32511:
                problems.append("game %d: eval %d out of range" % (g, info["eval"]))
            played, seen = [], []
            legal, fen = engine.position(info["fen"], [])
            if position_key(fen) != position_key(info["fen"]):
                problems.append("game %d: start FEN %s read back as %s" % (g, info["fen"], fen))
            # The head holds the raw network output of the start position from White's view.
            raw = info["eval"] if info["side"] == "w" else -info["eval"]
            if scaled_eval(fen, raw) != engine.evaluate():
                problems.append("game %d: head eval %d is not the raw evaluation of %s from White's view"
                                % (g, info["eval"], fen))
            for packed, score in moves:
                rule = draw_rule(fen, seen)
                if rule:
                    problems.append("game %d: played on in %s after %s" % (g, fen, rule))
                    break
                seen.append(position_key(fen))
                text = move_text(packed)
                if text not in legal:
                    totals["illegal"] += 1
                    problems.append("game %d: illegal move %s in %s" % (g, text, fen))
                    break
                played.append(text)
                totals["positions"] += 1
                legal, fen = engine.position(info["fen"], played)
            else:
                end = ending(fen, legal, seen, len(moves))
                if end is None:
                    problems.append("game %d ends in %s with no rule met" % (g, fen))
                    continue
                kind, wdl = end
                totals[kind] += 1
                if wdl != info["wdl"]:
                    problems.append("game %d: stored result %d, game ended %s (%d)" % (g, info["wdl"], kind, wdl))
                if kind == "mates" and moves:
                    # The mating side's last score is a mate score, positive for White.
                    last = moves[-1][1]
                    if (wdl == 2 and last < 30000) or (wdl == 0 and last > -30000):
                        problems.append("game %d: last score %d does not show the mate from White's view"
                                        % (g, last))
    finally:
        engine.close()
    return totals, problems


def draw_rule(fen, seen):
    """The draw rule that holds at fen (seen: the keys of the earlier recorded positions), or None."""
    pieces = [p for p in fen_board(fen) if p]
    if int(fen.split()[4]) > 99:
        return "fifty"
    if len(pieces) <= 3 and not any(p.lower() in "prq" for p in pieces):
        return "material"
    if position_key(fen) in seen:
        return "repetitions"
    return None


def ending(fen, legal, seen, recorded):
    """How a game that stops at fen ended, in the generator's order of tests, or None."""
    fields = fen.split()
    # A mate ends the game before any draw rule, the fifty-move rule included.
    if not legal and in_check(fen):
        return "mates", 0 if fields[1] == "w" else 2
    rule = draw_rule(fen, seen)
    if rule:
        return rule, 1
    if not legal:
        return "stalemates", 1
    # A repetition of a position from the unrecorded opening: the reversible stretch must
    # reach back before the first recorded move.
    if int(fields[4]) >= recorded + 1:
        return "opening_repetitions", 1
    return None


# ---- Running the program ---------------------------------------------------------------------------

def start(exe, args, cwd, env=None):
    return subprocess.Popen([exe] + args, cwd=cwd, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, env=env)


def interrupt(proc, timeout=60):
    proc.send_signal(signal.SIGINT)
    out, err = proc.communicate(timeout=timeout)
    return out.decode(errors="replace"), err.decode(errors="replace")


def screen_counts(out):
    """Every 'Positions processed' figure shown, in thousands."""
    return [float(x) for x in re.findall(r"Positions processed: ([0-9.]+)K", out)]


def wait_for(proc, predicate, timeout, step=0.1):
    """Waits until predicate holds; False when the time runs out or the program has ended."""
    deadline = time.time() + timeout
    while time.time() < deadline and proc.poll() is None:
        if predicate():
            return True
        time.sleep(step)
    return predicate()


# ---- Loopback collection server ---------------------------------------------------------------------

def parse_multipart(content_type, body):
    m = re.search(r'boundary="?([^";]+)"?', content_type)
    if not m:
        raise ValueError("no boundary")
    boundary = b"--" + m.group(1).encode()
    fields = {}
    for part in body.split(boundary)[1:]:
        if part.startswith(b"--"):
            break
        part = part[2:] if part.startswith(b"\r\n") else part
        head, _, value = part.partition(b"\r\n\r\n")
        if value.endswith(b"\r\n"):
            value = value[:-2]
        disp = re.search(rb'name="([^"]*)"', head)
        fields[disp.group(1).decode()] = value
    return fields


class Server:
    """Answers the three endpoints on 127.0.0.1:8765 and records every request."""

    def __init__(self, port=8765):
        self.requests = []  # (time, path, body or fields)
        self.lock = threading.Lock()
        self.session_ids = ["s-1"]       # handed out in turn (the last one repeats)
        self.start_replies = []          # optional raw replies for the first session starts
        self.upload_status = [200]       # per upload in turn (the last repeats); 0 drops the connection
        self.heartbeat_drops = 0         # first heartbeats answered by closing the connection
        server = self

        class Handler(http.server.BaseHTTPRequestHandler):
            def log_message(self, *args):
                pass

            def do_POST(self):
                length = int(self.headers.get("Content-Length", 0))
                body = self.rfile.read(length)
                path = self.path
                now = time.time()
                with server.lock:
                    if path == "/api/session/heartbeat":
                        server.requests.append((now, path, body))
                        if server.heartbeat_drops > 0:
                            server.heartbeat_drops -= 1
                            self.close_connection = True
                            self.connection.shutdown(2)
                            return
                        self.reply(200, b'{"status":"ok"}')
                    elif path == "/api/session/start":
                        server.requests.append((now, path, body))
                        if server.start_replies:
                            self.reply(200, server.start_replies.pop(0))
                        else:
                            sid = server.session_ids.pop(0) if len(server.session_ids) > 1 else server.session_ids[0]
                            self.reply(200, json.dumps({"session_id": sid}).encode())
                    elif path.startswith("/api/upload/"):
                        fields = parse_multipart(self.headers.get("Content-Type", ""), body)
                        fields["_session"] = urllib.parse.unquote_to_bytes(path[len("/api/upload/"):])
                        server.requests.append((now, "/api/upload/", fields))
                        status = server.upload_status.pop(0) if len(server.upload_status) > 1 \
                            else server.upload_status[0]
                        if status == 0:
                            self.close_connection = True
                            self.connection.shutdown(2)
                            return
                        self.reply(status, b'{"ok":true}' if status == 200 else b'{"error":"nope"}')
                    else:
                        server.requests.append((now, path, body))
                        self.reply(404, b"{}")

            def reply(self, status, payload):
                self.send_response(status)
                self.send_header("Content-Type", "application/json")
                self.send_header("Content-Length", str(len(payload)))
                self.end_headers()
                self.wfile.write(payload)

        http.server.ThreadingHTTPServer.allow_reuse_address = True
        self.httpd = http.server.ThreadingHTTPServer(("127.0.0.1", port), Handler)
        self.thread = threading.Thread(target=self.httpd.serve_forever, daemon=True)
        self.thread.start()

    def of(self, path):
        with self.lock:
            return [r for r in self.requests if r[1] == path]

    def close(self):
        self.httpd.shutdown()
        self.httpd.server_close()
