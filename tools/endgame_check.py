#!/usr/bin/env python3
"""Does the engine find the mate from random king-and-rook (or queen) against king placements?

usage: endgame_check.py ENGINE SEED [COUNT] [R|Q]

White has king and rook (or queen) and moves; Black has a bare king. For each placement the
engine gets one search with `go wtime 60000 btime 60000` (about three seconds) and passes when
that search announces a mate for White. Prints one line per placement and the total; exits 1
when any placement is missed.
"""
import random
import subprocess
import sys


def adjacent(a, b):
    return max(abs(a % 8 - b % 8), abs(a // 8 - b // 8)) <= 1


def line_attacks(piece, frm, to, blockers):
    df, dr = to % 8 - frm % 8, to // 8 - frm // 8
    straight = df == 0 or dr == 0
    diagonal = abs(df) == abs(dr)
    if frm == to or not (straight or (piece == "Q" and diagonal)):
        return False
    step_f, step_r = (df > 0) - (df < 0), (dr > 0) - (dr < 0)
    f, r = frm % 8 + step_f, frm // 8 + step_r
    while (f, r) != (to % 8, to // 8):
        if f + 8 * r in blockers:
            return False
        f, r = f + step_f, r + step_r
    return True


def random_fen(rng, piece):
    while True:
        wk, wp, bk = rng.sample(range(64), 3)
        if adjacent(wk, bk) or line_attacks(piece, wp, bk, {wk}):
            continue
        board = {wk: "K", wp: piece, bk: "k"}
        rows = []
        for rank in range(7, -1, -1):
            row, empty = "", 0
            for file in range(8):
                p = board.get(file + 8 * rank)
                if p is None:
                    empty += 1
                    continue
                if empty:
                    row += str(empty)
                    empty = 0
                row += p
            rows.append(row + (str(empty) if empty else ""))
        return "/".join(rows) + " w - - 0 1"


def search(engine, fen):
    engine.stdin.write(f"ucinewgame\nposition fen {fen}\ngo wtime 60000 btime 60000\n")
    engine.stdin.flush()
    mate, depth, score = None, 0, ""
    for line in engine.stdout:
        words = line.split()
        if words and words[0] == "bestmove":
            return mate, depth, score
        if "score" in words and "depth" in words:
            depth = int(words[words.index("depth") + 1])
            at = words.index("score")
            score = " ".join(words[at + 1:at + 3])
            if words[at + 1] == "mate" and int(words[at + 2]) > 0:
                mate = int(words[at + 2])
    raise RuntimeError("engine quit before bestmove")


def main():
    if len(sys.argv) < 3 or len(sys.argv) > 5:
        sys.exit(__doc__.strip().splitlines()[2])
    engine_path, seed = sys.argv[1], int(sys.argv[2])
    count = int(sys.argv[3]) if len(sys.argv) > 3 else 12
    piece = sys.argv[4].upper() if len(sys.argv) > 4 else "R"
    if piece not in ("R", "Q"):
        sys.exit("the piece is R or Q")
    rng = random.Random(seed)
    engine = subprocess.Popen([engine_path], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                              text=True, bufsize=1)
    engine.stdin.write("uci\nsetoption name Hash value 16\nisready\n")
    engine.stdin.flush()
    for line in engine.stdout:
        if line.strip() == "readyok":
            break
    found = 0
    for _ in range(count):
        fen = random_fen(rng, piece)
        mate, depth, score = search(engine, fen)
        found += mate is not None
        print(f"{fen:40s} {'mate ' + str(mate) if mate else 'MISSED'} (depth {depth}, {score})",
              flush=True)
    engine.stdin.write("quit\n")
    engine.stdin.flush()
    engine.wait()
    print(f"found {found}/{count}")
    sys.exit(0 if found == count else 1)


if __name__ == "__main__":
    main()
