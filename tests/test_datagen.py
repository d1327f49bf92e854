"""Offline data generation driven as a user would: a short run replayed move by move with the
engine's own board, Ctrl-C in the middle of a run, leftover files, and a run that cannot write."""

import os
import re
import signal
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import datagen_support as ds  # noqa: E402

EXE = None
CLOSING = ["Waiting for threads to finish writing...", "All threads completed. Merging files...",
           "Merged all thread files into: data/datagen_", "Shutdown complete. All data saved safely."]
NOT_SAVED = "Shutdown complete. Not all data was saved and merged: see above."


LOCK_FILE = "datagen.lock"  # held by a run for its length, kept afterwards


def data_files(cwd):
    d = os.path.join(cwd, "data")
    return sorted(f for f in os.listdir(d) if f != LOCK_FILE) if os.path.isdir(d) else []


def merged_files(cwd):
    return [f for f in data_files(cwd) if f.startswith("datagen_")]


def assert_in_order(test, text, parts):
    pos = 0
    for part in parts:
        found = text.find(part, pos)
        test.assertNotEqual(found, -1, "missing %r after offset %d" % (part, pos))
        pos = found + len(part)


class OfflineRun(unittest.TestCase):
    def test_short_run_replays_legally(self):
        with tempfile.TemporaryDirectory() as cwd:
            proc = ds.start(EXE, ["datagen", "1", "3"], cwd)
            out, err = proc.communicate(timeout=300)
            out, err = out.decode(errors="replace"), err.decode(errors="replace")
            self.assertEqual(proc.returncode, 0, err)
            self.assertEqual(err, "")
            self.assertTrue(out.startswith("\033[2J\033[H\033[?25l"), repr(out[:40]))
            assert_in_order(self, out, ["Vestrel - Datagen", "Threads: 3"] + CLOSING)
            self.assertIn("\033[?25h", out[out.rfind("Merged all"):])

            files = data_files(cwd)
            self.assertEqual(len(files), 1, files)
            self.assertEqual(files, merged_files(cwd))
            with open(os.path.join(cwd, "data", files[0]), "rb") as f:
                data = f.read()
            self.assertIn("Merged all thread files into: data/" + files[0], out)
            games = ds.read_games(data)
            recorded = sum(len(m) for _, m in games)
            self.assertEqual(len(data), sum(36 + 4 * len(m) for _, m in games))

            # The screen's count never runs ahead of what was recorded, and the target was met.
            shown = ds.screen_counts(out)
            self.assertGreaterEqual(recorded, 1000)
            self.assertLessEqual(round(shown[-1] * 1000), recorded)
            self.assertGreaterEqual(shown[-1], 1.0)

            totals, problems = ds.replay(EXE, games)
            print("replay totals:", totals, "bytes per position: %.2f" % (len(data) / recorded), file=sys.stderr)
            self.assertEqual(problems, [])
            self.assertEqual(totals["illegal"], 0)
            self.assertEqual(totals["positions"], recorded)

    def test_interrupt_saves_and_merges_finished_games(self):
        with tempfile.TemporaryDirectory() as cwd, tempfile.TemporaryDirectory() as side:
            screen = os.path.join(side, "screen")
            with open(screen, "wb") as stdout:
                proc = subprocess.Popen([EXE, "datagen", "1000", "3"], cwd=cwd, stdin=subprocess.DEVNULL,
                                        stdout=stdout, stderr=subprocess.PIPE)

            def read_screen():
                with open(screen, "rb") as f:
                    return f.read().decode(errors="replace")

            # Let the workers finish a few games first (two workers, 1,500 positions).
            def enough():
                counts = ds.screen_counts(read_screen())
                return bool(counts) and counts[-1] >= 1.5

            self.assertTrue(ds.wait_for(proc, enough, 240, step=0.5))
            proc.send_signal(signal.SIGINT)
            err = proc.communicate(timeout=60)[1].decode(errors="replace")
            out = read_screen()
            self.assertEqual(proc.returncode, 0, err)
            assert_in_order(self, out, ["Shutdown signal received. Saving data safely..."] + CLOSING)
            files = data_files(cwd)
            self.assertEqual(files, merged_files(cwd))
            self.assertEqual(len(files), 1)
            with open(os.path.join(cwd, "data", files[0]), "rb") as f:
                games = ds.read_games(f.read())
            self.assertGreater(len(games), 0)
            # Finished games only: every one ends by a rule of the game.
            totals, problems = ds.replay(EXE, games)
            self.assertEqual(problems, [])

    def test_single_thread_plays_and_merges_leftovers(self):
        with tempfile.TemporaryDirectory() as cwd:
            os.mkdir(os.path.join(cwd, "data"))
            # One earlier batch (a 0-move game) and a temporary file cut off by a crash.
            head = bytes.fromhex("FFFF00000000FFFF1642256100000000888888889ECAADE9") + bytes([0x40, 0, 1, 0, 0, 0, 1, 0])
            batch = head + bytes(4)
            with open(os.path.join(cwd, "data", "thread7_3.binpack"), "wb") as f:
                f.write(batch)
            with open(os.path.join(cwd, "data", "thread7_4.tmp"), "wb") as f:
                f.write(b"partial")
            with open(os.path.join(cwd, "data", "notes.binpack"), "wb") as f:
                f.write(b"keep")
            # "datagen" alone: one position with one thread, which still needs a worker.
            proc = ds.start(EXE, ["datagen"], cwd)
            out, err = proc.communicate(timeout=120)
            out, err = out.decode(errors="replace"), err.decode(errors="replace")
            self.assertEqual(proc.returncode, 0, err)
            assert_in_order(self, out, ["Threads: 1"] + CLOSING)
            self.assertNotIn("Shutdown signal received.", out)
            merged = merged_files(cwd)
            self.assertEqual(sorted(data_files(cwd)), sorted(merged + ["notes.binpack"]))
            with open(os.path.join(cwd, "data", merged[0]), "rb") as f:
                games = ds.read_games(f.read())
            self.assertIn((head, []), games)
            played = [g for g in games if g != (head, [])]
            self.assertGreaterEqual(sum(len(m) for _, m in played), 1)
            self.assertLessEqual(round(ds.screen_counts(out)[-1] * 1000), sum(len(m) for _, m in played))
            totals, problems = ds.replay(EXE, played)
            self.assertEqual(problems, [])

    def test_second_run_in_the_same_folder_is_refused(self):
        with tempfile.TemporaryDirectory() as cwd, tempfile.TemporaryDirectory() as side:
            screen = os.path.join(side, "screen")
            with open(screen, "wb") as stdout:
                first = subprocess.Popen([EXE, "datagen", "1000", "2"], cwd=cwd, stdin=subprocess.DEVNULL,
                                         stdout=stdout, stderr=subprocess.PIPE)
            try:
                def drawing():
                    with open(screen, "rb") as f:
                        return b"Vestrel - Datagen" in f.read()

                self.assertTrue(ds.wait_for(first, drawing, 60))
                # A file of the kind the first run writes, which the second must leave alone.
                batch = os.path.join(cwd, "data", "thread5_0.binpack")
                with open(batch, "wb") as f:
                    f.write(bytes(36))
                second = ds.start(EXE, ["datagen", "1", "2"], cwd)
                out, err = second.communicate(timeout=30)
                self.assertNotEqual(second.returncode, 0)
                self.assertEqual(err.decode().splitlines(),
                                 ["Another data generation run is using the folder data; not starting."])
                self.assertEqual(out, b"")
                self.assertTrue(os.path.exists(batch))
                self.assertIsNone(first.poll())
            finally:
                first.send_signal(signal.SIGINT)
                first.communicate(timeout=60)
            self.assertEqual(first.returncode, 0)
            merged = merged_files(cwd)
            self.assertEqual(data_files(cwd), merged)
            with open(os.path.join(cwd, "data", merged[0]), "rb") as f:
                self.assertIn(bytes(36), f.read())

    def test_lost_batch_is_reported_and_fails_the_run(self):
        with tempfile.TemporaryDirectory() as cwd:
            os.mkdir(os.path.join(cwd, "data"))
            # The only worker's batch goes to a full device.
            os.symlink("/dev/full", os.path.join(cwd, "data", "thread0_0.tmp"))
            proc = ds.start(EXE, ["datagen", "1", "2"], cwd)
            out, err = proc.communicate(timeout=300)
            out, err = out.decode(errors="replace"), err.decode(errors="replace")
            self.assertEqual(proc.returncode, 1, err)
            self.assertIn("Failed to write temporary file: data/thread0_0.tmp", err)
            lost = re.search(r"Positions lost in failed writes: (\d+) \(1 batch\)", out)
            self.assertIsNotNone(lost, out[-500:])
            # The screen shows thousands to two decimals, so its figure may be up to 5 above the count.
            self.assertGreaterEqual(int(lost.group(1)), ds.screen_counts(out)[-1] * 1000 - 5)
            assert_in_order(self, out, CLOSING[:2] + ["Positions written: 0", "Positions merged: 0", NOT_SAVED])
            self.assertNotIn("Merged", out)
            self.assertNotIn("All data saved safely", out)
            self.assertEqual(data_files(cwd), [])

    def test_unwritable_data_directory_ends_cleanly(self):
        with tempfile.TemporaryDirectory() as cwd:
            with open(os.path.join(cwd, "data"), "w") as f:
                f.write("not a directory")
            proc = ds.start(EXE, ["datagen", "1", "3"], cwd)
            out, err = proc.communicate(timeout=60)
            out, err = out.decode(errors="replace"), err.decode(errors="replace")
            self.assertEqual(proc.returncode, 1)
            lines = err.splitlines()
            self.assertEqual(sum("Worker" in line and "failed to create directory data" in line for line in lines), 2,
                             err)
            self.assertIn("Failed to create directory data", err)
            assert_in_order(self, out, CLOSING[:2] + ["Positions written: 0", "Positions merged: 0", NOT_SAVED])
            self.assertNotIn("Merged", out)
            self.assertNotIn("All data saved safely", out)
            with open(os.path.join(cwd, "data")) as f:
                self.assertEqual(f.read(), "not a directory")


class CommandLineNumbers(unittest.TestCase):
    def test_invalid_numbers_are_rejected(self):
        with tempfile.TemporaryDirectory() as cwd:
            for args in (["datagen", "abc"], ["datagen", "5", "x"], ["datagen", "2147484"],
                         ["datagen", "99999999999"], ["datagen", "5", "99999999999"], ["datagen", ""]):
                proc = ds.start(EXE, args, cwd)
                out, err = proc.communicate(timeout=30)
                self.assertEqual(proc.returncode, 2, args)
                self.assertNotEqual(err.strip(), b"", args)
                self.assertNotIn(b"Vestrel - Datagen", out, args)
            self.assertFalse(os.path.exists(os.path.join(cwd, "data")))


if __name__ == "__main__":
    EXE = os.path.abspath(sys.argv.pop(1))
    unittest.main()
