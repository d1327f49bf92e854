"""The bootstrap network generator writes a file of the engine's layout, the same bytes on every
run, with values inside the ranges the engine's arithmetic relies on. The committed network
may be a trained one, so it is not compared with the generator's output."""

import array
import os
import subprocess
import sys
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
GENERATOR = os.path.join(ROOT, "tools", "make_network.py")

FILE_BYTES = 18926656
FEATURE_WEIGHTS = 8 * 768 * 1536
HIDDEN = 1536
OUTPUT_WEIGHTS = 8 * 2 * 1536
OUTPUT_BIASES = 8
RECORD_BYTES = 2 * (FEATURE_WEIGHTS + HIDDEN + OUTPUT_WEIGHTS + OUTPUT_BIASES)
# Bias plus one row per piece (at most 32) must stay within 16 bits.
BIAS_LIMIT = 32767 - 32 * 505


def generate(folder, name):
    out = os.path.join(folder, name)
    subprocess.run([sys.executable, GENERATOR, out], check=True, stdout=subprocess.DEVNULL)
    with open(out, "rb") as f:
        return f.read()


def range_problems(data):
    values = array.array("h", data[:RECORD_BYTES])
    if sys.byteorder != "little":
        values.byteswap()
    bias_at = FEATURE_WEIGHTS
    output_at = bias_at + HIDDEN
    end_at = output_at + OUTPUT_WEIGHTS
    problems = []
    feature = values[:bias_at]
    if max(map(abs, feature)) > 505:
        problems.append(f"feature weights reach {min(feature)}..{max(feature)}, allowed +-505")
    bias = values[bias_at:output_at]
    if max(map(abs, bias)) > BIAS_LIMIT:
        problems.append(f"feature bias reaches {min(bias)}..{max(bias)}, an accumulator could overflow")
    if min(bias) < -241 or max(bias) > 236:
        problems.append(f"feature bias reaches {min(bias)}..{max(bias)}, the bootstrap keeps -241..236")
    output = values[output_at:end_at]
    if max(map(abs, output)) > 127:
        problems.append(f"output weights reach {min(output)}..{max(output)}, allowed +-127")
    if any(data[RECORD_BYTES:]):
        problems.append("the filler after the four arrays is not all zero")
    return problems


def main():
    with tempfile.TemporaryDirectory() as tmp:
        first = generate(tmp, "first.nnue")
        second = generate(tmp, "second.nnue")
    if len(first) != FILE_BYTES:
        print(f"generator wrote {len(first)} bytes, expected {FILE_BYTES}")
        return 1
    if first != second:
        at = next((i for i in range(min(len(first), len(second))) if first[i] != second[i]), len(first))
        print(f"two runs of the generator differ at byte {at}")
        return 1
    problems = range_problems(first)
    for p in problems:
        print(p)
    if problems:
        return 1
    print("generator writes a deterministic network of the engine's layout and ranges")
    return 0


if __name__ == "__main__":
    sys.exit(main())
