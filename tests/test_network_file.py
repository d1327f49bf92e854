"""The committed network file is exactly what the generator writes, so the generator stays
the file's source of truth (a trained network replaces both through the same path)."""

import os
import subprocess
import sys
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
GENERATOR = os.path.join(ROOT, "tools", "make_network.py")
NETWORK = os.path.join(ROOT, "network", "vestrel.nnue")


def main():
    with open(NETWORK, "rb") as f:
        committed = f.read()
    if len(committed) != 18926656:
        print(f"network file has {len(committed)} bytes, expected 18926656")
        return 1
    with tempfile.TemporaryDirectory() as tmp:
        out = os.path.join(tmp, "net.nnue")
        subprocess.run([sys.executable, GENERATOR, out], check=True, stdout=subprocess.DEVNULL)
        with open(out, "rb") as f:
            generated = f.read()
    if generated != committed:
        first = next(i for i in range(min(len(generated), len(committed))) if generated[i] != committed[i])
        print(f"generator output differs from {NETWORK} at byte {first}")
        return 1
    print("network file matches the generator")
    return 0


if __name__ == "__main__":
    sys.exit(main())
