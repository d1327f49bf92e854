"""Self-play between two engine processes at a fast clock, refereed by a third.

The harness keeps the clock (1 s + 10 ms per move and side). Every "bestmove" must be one of
the referee's "listmoves" for that position. Games end by mate, stalemate, threefold
repetition, the fifty-move rule or bare material; a game still running after MOVE_CAP plies is
adjudicated a draw.
"""

import os
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from uci_engine import Engine  # noqa: E402

ENGINE = None

BASE_MS = 1000
INC_MS = 10
MOVE_CAP = 300
OPENINGS = [
    "e2e4 e7e5",
    "d2d4 d7d5",
    "c2c4 e7e5",
    "g1f3 d7d5",
    "e2e4 c7c5",
    "e2e4 e7e6",
    "d2d4 g8f6 c2c4 e7e6",
    "e2e4 c7c6",
    "b1c3 d7d5",
    "f2f4 d7d5",
]

KNIGHT_STEPS = [(1, 2), (2, 1), (2, -1), (1, -2), (-1, -2), (-2, -1), (-2, 1), (-1, 2)]
KING_STEPS = [(1, 0), (1, 1), (0, 1), (-1, 1), (-1, 0), (-1, -1), (0, -1), (1, -1)]


def parse_placement(placement):
    board = {}
    for row, text in enumerate(placement.split("/")):
        rank, file = 7 - row, 0
        for c in text:
            if c.isdigit():
                file += int(c)
            else:
                board[(file, rank)] = c
                file += 1
    return board


def attacked(board, square, by_white):
    """Whether square is attacked by the pieces of one colour."""
    f, r = square

    def piece(df, dr):
        return board.get((f + df, r + dr))

    own = (lambda p: p is not None and p.isupper()) if by_white else (lambda p: p is not None and p.islower())
    pawn_dir = -1 if by_white else 1  # attackers stand one rank behind from their point of view
    for df in (-1, 1):
        p = piece(df, pawn_dir)
        if own(p) and p.lower() == "p":
            return True
    for df, dr in KNIGHT_STEPS:
        p = piece(df, dr)
        if own(p) and p.lower() == "n":
            return True
    for df, dr in KING_STEPS:
        p = piece(df, dr)
        if own(p) and p.lower() == "k":
            return True
    for steps, sliders in (([(1, 0), (-1, 0), (0, 1), (0, -1)], "rq"), ([(1, 1), (1, -1), (-1, 1), (-1, -1)], "bq")):
        for df, dr in steps:
            x, y = f + df, r + dr
            while 0 <= x < 8 and 0 <= y < 8:
                p = board.get((x, y))
                if p is not None:
                    if own(p) and p.lower() in sliders:
                        return True
                    break
                x, y = x + df, y + dr
    return False


def in_check(fen):
    placement, side = fen.split()[:2]
    board = parse_placement(placement)
    king = "K" if side == "w" else "k"
    (square,) = [s for s, p in board.items() if p == king]
    return attacked(board, square, by_white=(side == "b"))


def bare_material(fen):
    pieces = [p for p in fen.split()[0] if p.isalpha() and p.lower() != "k"]
    return len(pieces) == 0 or (len(pieces) == 1 and pieces[0].lower() in "nb")


class CheckDetection(unittest.TestCase):
    def test_helper(self):
        self.assertTrue(in_check("rnb1kbnr/pppp1ppp/8/4p3/6Pq/5P2/PPPPP2P/RNBQKBNR w KQkq - 1 3"))
        self.assertFalse(in_check("rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1"))
        self.assertTrue(in_check("4k3/3P4/8/8/8/8/8/4K3 b - - 0 1"))
        self.assertFalse(in_check("4k3/4P3/8/8/8/8/8/4K3 b - - 0 1"))
        self.assertTrue(in_check("4k3/8/8/8/8/8/8/4R1K1 b - - 0 1"))
        self.assertFalse(in_check("4k3/8/8/8/8/8/4P3/4R1K1 b - - 0 1"))
        self.assertTrue(in_check("4k3/8/8/8/B7/8/8/6K1 b - - 0 1"))
        self.assertTrue(in_check("4k3/8/5N2/8/8/8/8/6K1 b - - 0 1"))
        self.assertTrue(bare_material("8/8/4k3/8/8/2B5/8/6K1 w - - 0 1"))
        self.assertFalse(bare_material("8/8/4k3/8/8/2B5/5P2/6K1 w - - 0 1"))


class SelfPlay(unittest.TestCase):
    def setUp(self):
        self.players = [Engine(ENGINE), Engine(ENGINE)]
        self.referee = Engine(ENGINE)
        for e in self.players:
            e.send("uci")
            e.read_until(lambda l: l == "uciok")

    def tearDown(self):
        for e in self.players + [self.referee]:
            e.kill()

    def look(self, moves):
        self.referee.send("position startpos moves " + " ".join(moves))
        return self.referee.fen(), self.referee.legal_moves()

    def play(self, opening, white):
        moves = opening.split()
        clock = [BASE_MS, BASE_MS]
        seen = {}
        for e in self.players:
            e.send("ucinewgame")
            e.sync()
        while True:
            fen, legal = self.look(moves)
            side = 0 if fen.split()[1] == "w" else 1
            key = " ".join(fen.split()[:4])
            seen[key] = seen.get(key, 0) + 1
            if not legal:
                return ("loss" if side == 0 else "win") if in_check(fen) else "draw", (
                    "mate" if in_check(fen) else "stalemate"
                )
            if seen[key] >= 3:
                return "draw", "repetition"
            if int(fen.split()[4]) >= 100:
                return "draw", "fifty moves"
            if bare_material(fen):
                return "draw", "material"
            if len(moves) >= MOVE_CAP:
                return "draw", "move cap"

            engine = self.players[white if side == 0 else 1 - white]
            engine.send("position startpos moves " + " ".join(moves))
            start = time.monotonic()
            engine.send("go wtime %d btime %d winc %d binc %d" % (clock[0], clock[1], INC_MS, INC_MS))
            lines = engine.read_until_prefix("bestmove ", timeout=clock[side] / 1000 + 5)
            used = (time.monotonic() - start) * 1000
            clock[side] -= used
            self.lowest_clock = min(self.lowest_clock, clock[side])
            self.moves_played += 1
            if clock[side] < 0:
                return ("loss" if side == 0 else "win"), "time forfeit after %s" % " ".join(moves)
            clock[side] += INC_MS
            move = lines[-1].split()[1]
            if move not in legal:
                return ("loss" if side == 0 else "win"), "illegal move %s after %s" % (move, " ".join(moves))
            moves.append(move)

    def test_games(self):
        self.lowest_clock, self.moves_played = BASE_MS, 0
        results = []
        started = time.monotonic()
        for i in range(2 * len(OPENINGS)):
            opening, white = OPENINGS[i // 2], i % 2
            outcome, reason = self.play(opening, white)
            results.append((outcome, reason))
            print("game %2d (%s, engine %d white): %s by %s" % (i + 1, opening, white, outcome, reason), flush=True)
        reasons = [r for _, r in results]
        summary = "%d games, %d moves in %.0f s, lowest clock left %.0f ms: %s" % (
            len(results),
            self.moves_played,
            time.monotonic() - started,
            self.lowest_clock,
            ", ".join("%s %d" % (r, reasons.count(r)) for r in sorted(set(reasons))),
        )
        print(summary, flush=True)
        bad = [r for r in reasons if r.startswith("time forfeit") or r.startswith("illegal move")]
        self.assertEqual(bad, [])
        self.assertTrue(all(r in ("mate", "stalemate", "repetition", "fifty moves", "material", "move cap") for r in reasons))
        for e in self.players:
            self.assertEqual(e.quit(), 0)


if __name__ == "__main__":
    ENGINE = os.path.abspath(sys.argv.pop(1))
    unittest.main(verbosity=2)
