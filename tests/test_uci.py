"""The engine as a chess interface sees it: UCI over standard input and output."""

import os
import re
import resource
import shutil
import subprocess
import sys
import tempfile
import threading
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from uci_engine import Engine  # noqa: E402

ENGINE = None

START_FEN = "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1"
MATE_IN_ONE = "6k1/5ppp/8/8/8/8/8/R5K1 w - - 0 1"
STALEMATE = "7k/5Q2/6K1/8/8/8/8/8 b - - 0 1"
FOOLS_MATE = "position startpos moves f2f3 e7e5 g2g4 d8h4"

INFO = re.compile(
    r"^info depth (\d+) seldepth (\d+) time (\d+) score (cp|mate) (-?\d+)"
    r"(?: wdl (\d+) (\d+) (\d+))? nodes (\d+) nps (\d+) hashfull (\d+) pv ((?:[a-h][1-8][a-h][1-8][nbrq]? )*)$"
)
MOVE = re.compile(r"^[a-h][1-8][a-h][1-8][nbrq]?$")


def parse_info(line):
    m = INFO.match(line)
    if not m:
        raise AssertionError("malformed info line %r" % line)
    g = m.groups()
    return {
        "depth": int(g[0]),
        "seldepth": int(g[1]),
        "time": int(g[2]),
        "kind": g[3],
        "score": int(g[4]),
        "wdl": None if g[5] is None else (int(g[5]), int(g[6]), int(g[7])),
        "nodes": int(g[8]),
        "nps": int(g[9]),
        "hashfull": int(g[10]),
        "pv": g[11].split(),
    }


class EngineCase(unittest.TestCase):
    def setUp(self):
        self.engine = Engine(ENGINE)

    def tearDown(self):
        self.engine.kill()

    def start_uci(self):
        self.engine.send("uci")
        self.engine.read_until(lambda l: l == "uciok")

    def assert_legal(self, move, setup="position startpos"):
        self.engine.send(setup)
        self.assertIn(move, self.engine.legal_moves())


class Identification(EngineCase):
    def test_uci_lines_and_order(self):
        self.engine.send("uci")
        lines = self.engine.read_until(lambda l: l == "uciok")
        self.assertEqual(
            lines,
            [
                "id name Vestrel v4.1",
                "id author Norvath",
                "option name Hash type spin default 8 min 1 max 1024",
                "option name Threads type spin default 1 min 1 max 512",
                "option name UCI_ShowWDL type check default false",
                "uciok",
            ],
        )
        self.assertEqual(self.engine.sync(), [])

    def test_ucinewgame_is_not_uci(self):
        self.engine.send("position startpos moves e2e4")
        self.assertEqual(self.engine.command("ucinewgame"), [])
        self.assertEqual(self.engine.fen(), START_FEN)
        # Reports stay human-readable: "ucinewgame" did not switch UCI on.
        _, best = self.engine.search("go depth 2")
        self.assertRegex(best, MOVE)
        self.assertEqual(self.engine.quit(), 0)

    def test_first_word_in_dispatch_order_wins(self):
        self.engine.send("position startpos moves e2e4")
        after_e4 = self.engine.fen()
        # isready comes before position, position before ucinewgame.
        self.engine.send("position startpos moves d2d4 isready")
        self.assertEqual(self.engine.read_line(), "readyok")
        self.assertEqual(self.engine.sync(), [])
        self.assertEqual(self.engine.command("ucinewgame position"), [])
        self.assertEqual(self.engine.fen(), after_e4)
        # stop before uci, setoption and print; print before listmoves; any "go" searches.
        self.assertEqual(self.engine.command("uci stop"), [])
        self.assertEqual(self.engine.command("setoption name Threads value 2 stop print"), [])
        self.assertEqual(self.engine.command("print listmoves")[-1], "      Fen: " + after_e4)
        _, best = self.engine.search("let's go depth 2 now")
        self.assertIn(best, self.engine.legal_moves())
        # A value holding "quit" ends the loop.
        self.engine.send("setoption name Hash value quit")
        self.assertEqual(self.engine.wait(), 0)

    def test_short_and_unknown_lines_are_ignored(self):
        for line in ["", "x", "hello world", "   "]:
            self.engine.send(line)
        self.assertEqual(self.engine.sync(), [])

    def test_start_up_state(self):
        self.assertEqual(self.engine.fen(), START_FEN)
        out = self.engine.command("listmoves")
        self.assertEqual(len(out), 20)
        self.assertEqual(out[0], "1. a2a3( quiet )")
        self.assertEqual(out[1], "2. a2a4( doublePawnPush )")
        self.assertTrue(all(l.endswith("( quiet )") or l.endswith("( doublePawnPush )") for l in out))
        (line,) = self.engine.command("nnue")
        self.assertRegex(line, r"^Final eval: -?\d+$")
        self.assertLessEqual(abs(int(line.split()[2])), 100)

    def test_go_without_position_searches_start(self):
        self.start_uci()
        _, best = self.engine.search("go depth 3")
        self.assertIn(best, self.engine.legal_moves())


class Positions(EngineCase):
    def fen_after(self, line):
        self.assertEqual(self.engine.command(line), [])
        return self.engine.fen()

    def test_castling_moves_the_rook(self):
        fen = self.fen_after("position startpos moves e2e4 e7e5 g1f3 b8c6 f1c4 g8f6 e1g1")
        self.assertEqual(fen, "r1bqkb1r/pppp1ppp/2n2n2/4p3/2B1P3/5N2/PPPP1PPP/RNBQ1RK1 b kq - 5 4")
        fen = self.fen_after("position fen r3k2r/8/8/8/8/8/8/R3K2R b KQkq - 0 1 moves e8c8")
        self.assertEqual(fen, "2kr3r/8/8/8/8/8/8/R3K2R w KQ - 1 2")

    def test_en_passant_removes_the_pawn(self):
        self.engine.send("position startpos moves e2e4 a7a6 e4e5 d7d5")
        self.assertIn("e5d6", self.engine.legal_moves())
        self.assertIn(
            "( epCapture )", [l[l.index("(") :] for l in self.engine.command("listmoves") if "e5d6" in l][0]
        )
        fen = self.fen_after("position startpos moves e2e4 a7a6 e4e5 d7d5 e5d6")
        self.assertEqual(fen, "rnbqkbnr/1pp1pppp/p2P4/8/8/8/PPPP1PPP/RNBQKBNR b KQkq - 0 3")

    def test_promotions(self):
        base = "position fen 3r3k/4P3/8/8/8/8/8/4K3 w - - 0 1"
        self.engine.send(base)
        listed = self.engine.command("listmoves")
        self.assertIn("e7e8q( queenPromotion )", [l.split(". ", 1)[1] for l in listed])
        self.assertIn("e7d8n( knightPromoCapture )", [l.split(". ", 1)[1] for l in listed])
        self.assertEqual(self.fen_after(base + " moves e7e8q"), "3rQ2k/8/8/8/8/8/8/4K3 b - - 0 1")
        self.assertEqual(self.fen_after(base + " moves e7d8n"), "3N3k/8/8/8/8/8/8/4K3 b - - 0 1")
        self.assertEqual(self.fen_after(base + " moves e7e8r"), "3rR2k/8/8/8/8/8/8/4K3 b - - 0 1")

    def test_fen_text_ends_before_moves(self):
        fen = self.fen_after("position fen 4k3/8/8/8/8/8/4P3/4K3 w - - 0 1 moves e2e4")
        self.assertEqual(fen, "4k3/8/8/8/4P3/8/8/4K3 b - e3 0 1")
        self.assertEqual(self.fen_after("position fen 4k3/8/8/8/8/8/4P3/4K3 w - - 7 30"), "4k3/8/8/8/8/8/4P3/4K3 w - - 7 30")

    def test_moves_without_startpos_continue_the_position(self):
        self.engine.send("position startpos moves e2e4")
        fen = self.fen_after("position moves e7e5")
        self.assertEqual(fen, "rnbqkbnr/pppp1ppp/8/4p3/4P3/8/PPPP1PPP/RNBQKBNR w KQkq e6 0 2")

    def test_check_leaves_only_evasions(self):
        self.engine.send("position startpos moves e2e4 f7f5 d1h5")
        self.assertEqual(self.engine.legal_moves(), ["g7g6"])
        self.engine.send(FOOLS_MATE)
        self.assertEqual(self.engine.legal_moves(), [])
        self.engine.send("position fen " + STALEMATE)
        self.assertEqual(self.engine.legal_moves(), [])

    def test_windows_line_endings(self):
        self.assertEqual(self.fen_after("position startpos moves e2e4 e7e5\r"),
                         "rnbqkbnr/pppp1ppp/8/4p3/4P3/8/PPPP1PPP/RNBQKBNR w KQkq e6 0 2")


class BadInput(EngineCase):
    """Malformed "position" lines are reported once and never corrupt the board."""

    def reported(self, line):
        out = self.engine.command(line)
        self.assertEqual(len(out), 1, out)
        self.assertTrue(out[0].startswith("info string "), out)
        return out[0]

    def test_malformed_fen_keeps_previous_position(self):
        self.engine.send("position startpos moves e2e4")
        before = self.engine.fen()
        for bad in [
            "position fen xyz",
            "position fen 8/8/8/8/8/8/8/8 w - - 0 1",  # no kings
            "position fen rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNX w KQkq - 0 1",
            "position fen rnbqkbnr/pppppppp/9/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1",
            "position fen rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR x KQkq - 0 1",
        ]:
            self.reported(bad)
            self.assertEqual(self.engine.fen(), before)
        # Moves meant for the rejected position are not applied to the old one.
        self.reported("position fen xyz moves e7e5")
        self.assertEqual(self.engine.fen(), before)

    def test_line_ending_at_fen(self):
        self.engine.send("position startpos moves d2d4")
        before = self.engine.fen()
        self.reported("position fen")
        self.assertEqual(self.engine.fen(), before)
        self.reported("position fen ")
        self.assertEqual(self.engine.fen(), before)

    def test_moves_stop_at_first_bad_token(self):
        after_two = "rnbqkbnr/pppp1ppp/8/4p3/4P3/8/PPPP1PPP/RNBQKBNR w KQkq e6 0 2"
        for bad in ["e1e3", "zz", "g1f3x", "e7e5"]:
            self.reported("position startpos moves e2e4 e7e5 %s g1f3" % bad)
            self.assertEqual(self.engine.fen(), after_two, bad)

    def test_promotion_without_its_letter_is_illegal(self):
        fen = "4k3/P7/8/8/8/8/8/4K3 w - - 0 1"
        self.assertEqual(self.reported("position fen %s moves a7a8" % fen), "info string illegal move: a7a8")
        self.assertEqual(self.engine.fen(), fen)


class Searching(EngineCase):
    def infos(self, go, setup=None, timeout=30.0):
        self.start_uci()
        if setup:
            self.engine.send(setup)
        info, best = self.engine.search(go, timeout)
        return [parse_info(l) for l in info if not l.startswith("info string")], best

    def test_go_depth_reports_each_iteration(self):
        reports, best = self.infos("go depth 6", "position startpos moves e2e4")
        self.assertEqual([r["depth"] for r in reports], list(range(1, 7)))
        self.assert_legal(best, "position startpos moves e2e4")
        for r in reports:
            self.assertEqual(r["kind"], "cp")
            self.assertIsNone(r["wdl"])
            self.assertGreaterEqual(r["seldepth"], 1)
            self.assertGreater(r["nodes"], 0)
            self.assertTrue(0 <= r["hashfull"] <= 1000)
            self.assertGreater(len(r["pv"]), 0)
        self.assertEqual(reports[-1]["pv"][0], best)
        times = [r["time"] for r in reports]
        self.assertEqual(times, sorted(times))
        nodes = [r["nodes"] for r in reports]
        self.assertEqual(nodes, sorted(nodes))

    def test_mate_score(self):
        reports, best = self.infos("go depth 5", "position fen " + MATE_IN_ONE)
        self.assertEqual(best, "a1a8")
        self.assertEqual((reports[-1]["kind"], reports[-1]["score"]), ("mate", 1))
        reports, best = self.infos("go depth 5", "position fen r5k1/8/8/8/8/8/5PPP/6K1 b - - 0 1")
        self.assertEqual(best, "a8a1")
        self.assertEqual((reports[-1]["kind"], reports[-1]["score"]), ("mate", 1))

    def test_mated_side_gets_a_negative_mate_score(self):
        # Ka2 is forced, then Qb2 mates.
        reports, best = self.infos("go depth 6", "position fen 8/8/8/8/8/2k5/8/K1q5 w - - 0 1")
        self.assertEqual(best, "a1a2")
        self.assertEqual((reports[-1]["kind"], reports[-1]["score"]), ("mate", -1))

    def test_wdl_option(self):
        self.start_uci()
        self.engine.send("setoption name UCI_ShowWDL value true")
        info, _ = self.engine.search("go depth 5")
        for r in map(parse_info, info):
            self.assertIsNotNone(r["wdl"])
            self.assertEqual(sum(r["wdl"]), 1000)
        for value, shown in [("false", False), ("1", True), ("True", False), ("10", True), ("0", False)]:
            self.engine.send("setoption name UCI_ShowWDL value " + value)
            info, _ = self.engine.search("go depth 3")
            self.assertTrue(all((parse_info(l)["wdl"] is not None) == shown for l in info), value)

    def test_movetime_takes_about_that_long(self):
        self.start_uci()
        start = time.monotonic()
        info, best = self.engine.search("go movetime 1000")
        elapsed = time.monotonic() - start
        self.assertGreater(elapsed, 0.8)
        self.assertLess(elapsed, 1.5)
        self.assertIn(best, self.engine.legal_moves())

    def test_nodes_with_a_clock_end_at_the_clock(self):
        self.start_uci()
        # Node limits far beyond the time given: the clock or move time must end the search.
        for go in ("go nodes 100000000 movetime 300", "go nodes 100000000 wtime 1000 btime 1000"):
            start = time.monotonic()
            _, best = self.engine.search(go, timeout=10)
            self.assertLess(time.monotonic() - start, 1.5, go)
            self.assertIn(best, self.engine.legal_moves())

    def test_budget_never_exceeds_the_clock(self):
        self.start_uci()
        start = time.monotonic()
        _, best = self.engine.search("go wtime 100 btime 100 winc 1000 binc 1000")
        self.assertLess(time.monotonic() - start, 0.3)
        self.assertIn(best, self.engine.legal_moves())

    def test_infinite_answers_isready_and_stops_once(self):
        self.start_uci()
        self.engine.send("go infinite")
        time.sleep(0.3)
        start = time.monotonic()
        before = self.engine.sync(timeout=2)
        self.assertLess(time.monotonic() - start, 1.0)
        self.assertFalse(any(l.startswith("bestmove") for l in before))
        for l in before:
            parse_info(l)  # whole lines only, never cut by "readyok"
        self.engine.send("stop")
        self.engine.read_until_prefix("bestmove ", timeout=5)
        rest = self.engine.sync() + self.engine.pending(0.5)
        self.assertFalse(any(l.startswith("bestmove") for l in rest), rest)
        self.assertEqual(self.engine.command("stop"), [])

    def test_isready_lines_never_interleave(self):
        self.start_uci()
        self.engine.send("go infinite")
        for _ in range(200):
            self.engine.send("isready")
        self.engine.send("stop")
        lines = self.engine.read_until_prefix("bestmove ", timeout=10)
        lines += self.engine.pending(0.3)
        self.assertEqual(lines.count("readyok"), 200)
        for l in lines:
            if l != "readyok" and not l.startswith("bestmove "):
                parse_info(l)

    def test_second_go_stops_the_first(self):
        self.start_uci()
        self.engine.send("go infinite")
        time.sleep(0.2)
        self.engine.send("go depth 3")
        first = self.engine.read_until_prefix("bestmove ", timeout=5)
        second = self.engine.read_until_prefix("bestmove ", timeout=10)
        self.assertEqual(parse_info([l for l in second if l.startswith("info")][-1])["depth"], 3)
        self.assertRegex(first[-1].split()[1], MOVE)

    def test_quit_during_search_prints_bestmove_first(self):
        self.start_uci()
        self.engine.send("go infinite")
        time.sleep(0.2)
        self.engine.send("quit")
        self.engine.read_until_prefix("bestmove ", timeout=5)
        self.assertEqual(self.engine.wait(), 0)

    def test_end_of_input_acts_as_quit(self):
        self.start_uci()
        self.engine.send("go infinite")
        time.sleep(0.2)
        self.engine.proc.stdin.close()
        self.engine.read_until_prefix("bestmove ", timeout=5)
        self.assertEqual(self.engine.wait(), 0)

    def test_nodes_one_still_plays_a_legal_move(self):
        for setup in ["position startpos", "position startpos moves e2e4 e7e5 g1f3"]:
            _, best = self.infos("go nodes 1", setup)
            self.assert_legal(best, setup)

    def test_no_legal_move_gives_null_move(self):
        for setup in [FOOLS_MATE, "position fen " + STALEMATE]:
            _, best = self.infos("go depth 3", setup)
            self.assertEqual(best, "0000")
            _, best = self.infos("go nodes 50", setup)
            self.assertEqual(best, "0000")

    def test_four_threads_one_reporter(self):
        self.start_uci()
        self.engine.send("setoption name Threads value 4.9")
        info, best = self.engine.search("go depth 8")
        depths = [parse_info(l)["depth"] for l in info]
        self.assertEqual(depths, list(range(1, 9)))
        self.assertEqual(self.engine.pending(0.5), [])
        self.assertIn(best, self.engine.legal_moves())
        self.engine.send("go movetime 300")
        lines = self.engine.read_until_prefix("bestmove ", timeout=5) + self.engine.pending(0.5)
        self.assertEqual(sum(l.startswith("bestmove") for l in lines), 1)

    def test_threads_out_of_range_are_clamped(self):
        self.start_uci()
        for value in ["0", "-3"]:
            self.engine.send("setoption name Threads value " + value)
            _, best = self.engine.search("go depth 3", timeout=10)
            self.assertRegex(best, MOVE)

    def test_hash_option(self):
        self.start_uci()
        for value in ["64", "0", "1", "-5", "2.5"]:
            self.assertEqual(self.engine.command("setoption name Hash value " + value), [])
            info, best = self.engine.search("go depth 4")
            self.assertTrue(all(parse_info(l)["hashfull"] <= 1000 for l in info))
            self.assertRegex(best, MOVE)

    def test_hash_that_cannot_be_allocated_keeps_the_table(self):
        self.engine.kill()
        limit = 600 << 20
        self.engine = Engine(ENGINE, preexec_fn=lambda: resource.setrlimit(resource.RLIMIT_AS, (limit, limit)))
        self.start_uci()

        def nodes():
            info, _ = self.engine.search("go depth 7")
            return parse_info(info[-1])["nodes"]

        fresh = nodes()
        out = self.engine.command("setoption name Hash value 1024")
        self.assertEqual(len(out), 1, out)
        self.assertTrue(out[0].startswith("info string "), out)
        # The old table, with what it held, serves the next search, which therefore needs fewer nodes.
        self.assertLess(nodes(), fresh)
        self.assertEqual(self.engine.command("setoption name Hash value 8"), [])
        self.assertEqual(nodes(), fresh)

    def test_setoption_stops_the_search(self):
        self.start_uci()
        self.engine.send("go infinite")
        time.sleep(0.2)
        self.engine.send("setoption name Hash value 16")
        self.engine.read_until_prefix("bestmove ", timeout=5)


# The human-readable report on a terminal: seven fixed-width columns, the score column coloured
# (padding included), the first move of the variation bright cyan.
HUMAN = re.compile(
    r"^(?P<head>.{16})(?P<colour>\x1b\[(?:32|31|92|91)m)?(?P<score>.{9})\x1b\[00m(?P<mid>.{47})  "
    r"(?:\x1b\[96m[a-h][1-8][a-h][1-8][nbrq]?\x1b\[00m (?:[a-h][1-8][a-h][1-8][nbrq]? )*)?\x1b\[00m$"
)
MID = re.compile(r"^ *(\d+)W (\d+)D (\d+)L *TT: \d+% +\d+(?:\.\d[kM])? +\d+(?:\.\d[kM])?/s$")


class HumanReport(unittest.TestCase):
    def search_on_terminal(self, setup, go):
        """Report lines of one search whose standard output is a terminal, before any "uci"."""
        master, slave = os.openpty()
        proc = subprocess.Popen([ENGINE], stdin=subprocess.PIPE, stdout=slave, text=True)
        os.close(slave)
        chunks = []

        def read():
            while True:
                try:
                    chunk = os.read(master, 65536)
                except OSError:
                    return
                if not chunk:
                    return
                chunks.append(chunk)

        reader = threading.Thread(target=read, daemon=True)
        reader.start()
        try:
            proc.stdin.write("%s\n%s\n" % (setup, go))
            proc.stdin.flush()
            deadline = time.monotonic() + 30
            while b"bestmove" not in b"".join(chunks) and time.monotonic() < deadline:
                time.sleep(0.02)
            proc.stdin.write("quit\n")
            proc.stdin.close()
            self.assertEqual(proc.wait(30), 0)
            reader.join(5)
        finally:
            if proc.poll() is None:
                proc.kill()
            os.close(master)
        lines = b"".join(chunks).decode().replace("\r\n", "\n").splitlines()
        self.assertTrue(lines[-1].startswith("bestmove "), lines)
        self.assertRegex(lines[-1], r"^bestmove [a-h][1-8][a-h][1-8][nbrq]?$")
        return lines[:-1]

    def check(self, line):
        m = HUMAN.match(line)
        self.assertIsNotNone(m, repr(line))
        head, colour, score, mid = m.group("head"), m.group("colour"), m.group("score").strip(), m.group("mid")
        self.assertRegex(head[:6].rstrip(), r"^\d+/\d+$")
        self.assertRegex(head[6:].lstrip(), r"^(\d{1,3}ms|\d+\.\ds)$")
        w = MID.match(mid)
        self.assertIsNotNone(w, repr(mid))
        self.assertEqual(sum(int(g) for g in w.groups()), 100)
        if "M" in score:
            self.assertRegex(score, r"^[+-]M\d+$")
            self.assertEqual(colour, "\x1b[92m" if score[0] == "+" and score != "+M0" else "\x1b[91m")
        else:
            self.assertRegex(score, r"^[+-]\d+\.\d\d$")
            if float(score) > 0:
                self.assertEqual(colour, "\x1b[32m")
            elif float(score) < 0:
                self.assertEqual(colour, "\x1b[31m")
        return score

    def test_coloured_columns(self):
        lines = self.search_on_terminal("position fen " + MATE_IN_ONE, "go depth 3")
        self.assertEqual(len(lines), 3)
        self.assertEqual([self.check(l) for l in lines][-1], "+M1")
        lines = self.search_on_terminal("position fen 8/8/8/8/8/2k5/8/K1q5 w - - 0 1", "go depth 6")
        self.assertEqual([self.check(l) for l in lines][-1], "-M1")
        lines = self.search_on_terminal("position startpos moves f2f3 e7e5", "go depth 6")
        self.assertEqual(len(lines), 6)
        for l in lines:
            self.check(l)


class Console(EngineCase):
    def test_perft(self):
        out = self.engine.command("perft 3.9")
        self.assertEqual(len([l for l in out if re.match(r"^[a-h][1-8][a-h][1-8][nbrq]?: \d+$", l)]), 20)
        self.assertIn("Total nodes: 8902", out)
        self.assertIn("Depth: 3", out)
        # No number after one separator: depth 0, refused without hanging.
        self.engine.command("perft  3", timeout=5)
        # Depths the stack cannot hold are refused in one line, and the engine carries on.
        for depth in ("3000", "99999999999999999999"):
            self.assertEqual(self.engine.command("perft " + depth, timeout=5), ["Perft depth must be at most 255"])
        self.engine.command("perft", timeout=5)
        self.engine.command("perft -2", timeout=5)
        self.assertEqual(self.engine.fen(), START_FEN)

    def test_bench_twice_same_nodes_and_state_kept(self):
        self.engine.send("position startpos moves e2e4 c7c5")
        before = self.engine.fen()
        counts = []
        for _ in range(2):
            (line,) = self.engine.command("bench", timeout=120)
            m = re.match(r"^(\d+) nodes (\d+) nps$", line)
            self.assertIsNotNone(m, line)
            counts.append(int(m.group(1)))
        self.assertEqual(counts[0], counts[1])
        self.assertGreater(counts[0], 0)
        self.assertEqual(self.engine.fen(), before)
        # The command line gives the same signature.
        run = subprocess.run([ENGINE, "bench", "extra"], capture_output=True, text=True, timeout=120, stdin=subprocess.DEVNULL)
        self.assertEqual(run.returncode, 0)
        lines = run.stdout.splitlines()
        self.assertEqual(len(lines), 1)
        self.assertEqual(int(lines[0].split()[0]), counts[0])


# name, type, value, min, max: the table the listing must reproduce.
TUNABLES = """
lmrBaseQuiet float 1.1029723689888005 0.6 1.6
lmrDivisorQuiet float 2.3063513397139945 1.6 3.6
lmrBaseNoisy float 0.451805556082857 0.1 1.1
lmrDivisorNoisy float 3.1355330830404338 2 4.5
lmrCutnode int 2005 1024 3072
lmrIsPV int 982 256 2048
lmrTTPV int 936 256 2048
lmrHistoryDivisor int 8377 4096 16384
lmrImproving int 1131 256 2048
lmrCorrplexity int 830 256 2048
lmrTTPVFailLow int 913 256 2048
lmrDeeperBase int 46 0 96
rfpBase int 21 0 100
rfpMargin int 97 50 200
fpMargin int 86 50 200
qsFPMargin int 100 50 200
probcutBetaMargin int 190 100 300
razoringScalar int 195 80 320
doubleExtMargin int 32 8 64
seeQuietThreshold int -81 -160 0
seeNoisyThreshold int -32 -120 40
aspInitialDelta int 26 8 96
nmpBetaMargin int 25 8 96
seePawnValue int 98 80 140
seeKnightValue int 301 240 420
seeBishopValue int 346 250 450
seeRookValue int 507 400 700
seeQueenValue int 924 700 1300
seeQsThreshold int -13 -120 120
seeOrderingThreshold int -102 -200 0
ldseMargin int 26 0 96
historyBonusMultiplier int 306 280 320
historyBonusSub int 252 235 265
historyMalusMultiplier int 301 280 320
historyMalusSub int 250 235 265
contHistoryBonusMultiplier int 300 280 320
contHistoryBonusSub int 252 235 265
contHistoryMalusMultiplier int 300 280 320
contHistoryMalusSub int 249 235 265
captHistoryBonusMultiplier int 302 280 320
captHistoryBonusSub int 249 235 265
captHistoryMalusMultiplier int 300 280 320
captHistoryMalusSub int 249 235 265
"""


def expected_tunable_lines():
    lines = []
    for row in TUNABLES.split("\n"):
        if not row:
            continue
        name, kind, value, lo, hi = row.split()
        if kind == "float":
            v, a, b = float(value), float(lo), float(hi)
            fields = ["%g" % v, "%g" % a, "%g" % b]
        else:
            v, a, b = int(value), int(lo), int(hi)
            fields = [str(v), str(a), str(b)]
        step = (float(hi) - float(lo)) / 20
        lines.append(", ".join([name, kind] + fields + ["%g" % step, "0.002"]))
    return lines


class Tunables(EngineCase):
    def test_listing(self):
        out = self.engine.command("tunables")
        expected = expected_tunable_lines()
        self.assertEqual(len(expected), 43)
        self.assertEqual(out, expected)
        self.assertEqual(out[0], "lmrBaseQuiet, float, 1.10297, 0.6, 1.6, 0.05, 0.002")
        self.assertEqual(out[-1], "captHistoryMalusSub, int, 249, 235, 265, 1.5, 0.002")
        self.assertIn("lmrCutnode, int, 2005, 1024, 3072, 102.4, 0.002", out)
        self.assertIn("seeQuietThreshold, int, -81, -160, 0, 8, 0.002", out)
        self.assertIn("lmrDivisorNoisy, float, 3.13553, 2, 4.5, 0.125, 0.002", out)
        # Independent of options and earlier searches.
        self.engine.send("setoption name UCI_ShowWDL value true")
        self.engine.search("go depth 2")
        self.assertEqual(self.engine.command("tunables"), expected)


class CommandLine(unittest.TestCase):
    def setUp(self):
        self.workdir = tempfile.mkdtemp(prefix="vestrel_uci_")

    def tearDown(self):
        shutil.rmtree(self.workdir, ignore_errors=True)

    def run_engine(self, *args):
        return subprocess.run(
            [ENGINE, *args], capture_output=True, text=True, timeout=30, stdin=subprocess.DEVNULL, cwd=self.workdir
        )

    def test_unknown_first_argument_exits_silently(self):
        for arg in ["Bench", "benchx", "", "uci", "datagenx"]:
            run = self.run_engine(arg)
            self.assertEqual((run.returncode, run.stdout, run.stderr), (0, "", ""), arg)


    def test_bad_datagen_numbers_are_usage_errors(self):
        for args in [
            ["abc"],
            ["+"],
            [""],
            ["2147483648"],
            ["2147484"],
            ["-2147484"],
            ["5", "x"],
            ["5", "99999999999"],
        ]:
            run = self.run_engine("datagen", *args)
            self.assertEqual(run.returncode, 2, args)
            self.assertEqual(run.stdout, "", args)
            self.assertEqual(len(run.stderr.splitlines()), 1, args)
            self.assertTrue(run.stderr.startswith("usage:"), args)
            self.assertEqual(os.listdir(self.workdir), [], "the generator must not start")


if __name__ == "__main__":
    ENGINE = os.path.abspath(sys.argv.pop(1))
    unittest.main(verbosity=2)
