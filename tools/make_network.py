#!/usr/bin/env python3
"""Writes Vestrel's bootstrap network: a classical tapered evaluation (material plus
piece-square values) expressed in the engine's network layout.

Usage: python3 tools/make_network.py [OUTPUT]   (default: network/vestrel.nnue)

How the layout carries a hand-written evaluation:
- Hidden unit j (0..767) listens only to input j with weight 255, unit 768 + j only to
  input j with weight 102, in every king bucket, all biases 0. So a unit's clipped value is
  255 (or 102) exactly when its piece is present and 0 otherwise.
- The evaluation turns a unit of value v and output weight w into v * v * w / (255 * 40.8)
  centipawns: 6.25 cp per weight step for the 255-units and exactly 1 cp for the 102-units.
- Both perspectives' accumulators see every piece, so each piece's value is split over
  half 0 (side to move's accumulator) and half 1 (the other's), which doubles the range
  within |weight| <= 127.
- Output bucket k (by piece count) holds the blend (mg * k + eg * (7 - k)) / 7: bucket 7 the
  opening values, bucket 0 the endgame values.
All tables are left-right symmetric, so a perspective's mirroring never changes the score.
The output is deterministic: the same script always writes the same bytes.
"""

import array
import os
import sys

INPUT_SIZE = 768
INPUT_BUCKETS = 8
HIDDEN_SIZE = 1536
OUTPUT_BUCKETS = 8
FILLER_BYTES = 48
TOTAL_BYTES = 18926656

COARSE_WEIGHT = 255  # 255 * 255 / 255 / 40.8 = 6.25 cp per output-weight step
FINE_WEIGHT = 102  # 102 * 102 / 255 / 40.8 = 1 cp per output-weight step
MAX_OUTPUT_WEIGHT = 127

PAWN, KNIGHT, BISHOP, ROOK, QUEEN, KING = range(6)

# (opening, endgame) material in centipawns.
MATERIAL = {
    PAWN: (85, 115),
    KNIGHT: (320, 295),
    BISHOP: (335, 310),
    ROOK: (470, 530),
    QUEEN: (960, 980),
    KING: (0, 0),
}


def placement(piece, rank, file):
    """(opening, endgame) piece-square bonus for a piece of the side whose own back rank is
    rank 0. Depends on the file only through its distance from the edge, hence symmetric."""
    fd = min(file, 7 - file)  # 0 on the a/h files .. 3 on the d/e files
    rd = min(rank, 7 - rank)  # 0 on the back ranks .. 3 on the middle ranks
    centre = fd + rd  # 0 in the corners .. 6 in the centre

    if piece == PAWN:
        if rank in (0, 7):
            return (0, 0)  # pawns never stand there
        mg = [0, 0, 4, 10, 20, 34, 55, 0][rank]
        eg = [0, 0, 6, 16, 30, 52, 85, 0][rank]
        if fd == 3:
            mg += {1: -12, 2: 0, 3: 14, 4: 12}.get(rank, 0)
        elif fd == 2:
            mg += {1: -4, 3: 6, 4: 6}.get(rank, 0)
        return (mg, eg)
    if piece == KNIGHT:
        mg = 7 * centre - 24
        eg = 5 * centre - 16
        if rank == 0:
            mg -= 6
        return (mg, eg)
    if piece == BISHOP:
        mg = 3 * centre - 8
        eg = 3 * centre - 9
        if rank == 0:
            mg -= 6
        return (mg, eg)
    if piece == ROOK:
        mg = [0, -2, -2, -2, 0, 2, 16, 6][rank] + (5 if fd == 3 else 2 if fd == 2 else 0)
        eg = [0, 0, 0, 2, 4, 4, 8, 4][rank]
        return (mg, eg)
    if piece == QUEEN:
        mg = 2 * centre - 6
        eg = 4 * centre - 12
        if rank == 0 and fd == 3:
            mg += 4  # no hurry to develop the queen
        return (mg, eg)
    # King: sheltered on the back rank while pieces remain, central in the endgame.
    if rank == 0:
        mg = [14, 24, 4, -8][fd]
    elif rank == 1:
        mg = [-4, -2, -16, -24][fd]
    else:
        mg = -30 - 8 * min(rank - 2, 4)
    eg = 9 * centre - 27
    return (mg, eg)


def piece_value(piece, own_square, bucket):
    """Centipawn value of a piece on own_square (its side's view: a1 = 0 is on its own back
    rank) in output bucket 0 (endgame) .. 7 (opening)."""
    rank, file = own_square // 8, own_square % 8
    pm, pe = placement(piece, rank, file)
    mg = MATERIAL[piece][0] + pm
    eg = MATERIAL[piece][1] + pe
    return round((mg * bucket + eg * (OUTPUT_BUCKETS - 1 - bucket)) / (OUTPUT_BUCKETS - 1))


def split_value(cp):
    """Output weights (coarse total, fine total) with 6.25 * coarse + fine == cp exactly: the
    coarse total is a multiple of 4 (25 cp), the fine total holds the rest. Each total stays
    within 2 * 127 so that the two halves can share it."""
    coarse = 4 * int(cp / 25)
    fine = cp - 25 * coarse // 4
    if abs(coarse) > 2 * MAX_OUTPUT_WEIGHT or abs(fine) > 2 * MAX_OUTPUT_WEIGHT:
        raise ValueError(f"value {cp} cp does not fit the output weights")
    return coarse, fine


def halves(total):
    """Splits an output weight total between half 0 and half 1, each within +-127."""
    first = total // 2 if total >= 0 else -(-total // 2)
    return first, total - first


def build():
    weights = array.array("h", bytes(2 * INPUT_BUCKETS * INPUT_SIZE * HIDDEN_SIZE))
    for bucket in range(INPUT_BUCKETS):
        for feature in range(INPUT_SIZE):
            row = (bucket * INPUT_SIZE + feature) * HIDDEN_SIZE
            weights[row + feature] = COARSE_WEIGHT
            weights[row + INPUT_SIZE + feature] = FINE_WEIGHT

    feature_bias = array.array("h", bytes(2 * HIDDEN_SIZE))

    output_weights = array.array("h", bytes(2 * OUTPUT_BUCKETS * 2 * HIDDEN_SIZE))
    for bucket in range(OUTPUT_BUCKETS):
        for feature in range(INPUT_SIZE):
            theirs, rest = divmod(feature, 384)
            piece, square = divmod(rest, 64)
            # The feature's square is in the perspective's view; an opponent's piece is
            # seen from the opponent's side, hence the rank flip.
            own_square = square ^ 56 if theirs else square
            sign = -1 if theirs else 1
            coarse, fine = split_value(piece_value(piece, own_square, bucket))
            for unit, total in ((feature, coarse), (INPUT_SIZE + feature, fine)):
                first, second = halves(total)
                # Half 0 is the side to move's accumulator, half 1 the opponent's: the
                # opponent's own pieces count against the side to move.
                output_weights[(bucket * 2 + 0) * HIDDEN_SIZE + unit] = sign * first
                output_weights[(bucket * 2 + 1) * HIDDEN_SIZE + unit] = -sign * second

    output_bias = array.array("h", bytes(2 * OUTPUT_BUCKETS))

    for table in (weights, feature_bias, output_weights, output_bias):
        if sys.byteorder != "little":
            table.byteswap()
    data = b"".join(t.tobytes() for t in (weights, feature_bias, output_weights, output_bias))
    data += bytes(FILLER_BYTES)
    assert len(data) == TOTAL_BYTES, len(data)
    return data


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    default = os.path.join(here, "..", "network", "vestrel.nnue")
    out = sys.argv[1] if len(sys.argv) > 1 else default
    data = build()
    os.makedirs(os.path.dirname(os.path.abspath(out)), exist_ok=True)
    tmp = out + ".tmp"
    with open(tmp, "wb") as f:
        f.write(data)
    os.replace(tmp, out)
    print(f"wrote {len(data)} bytes to {out}")


if __name__ == "__main__":
    main()
