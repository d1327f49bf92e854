"""Online data generation against a loopback collection server that records what it receives:
request bodies, the periodic heartbeat, the upload form, retries, and hostile names."""

import json
import os
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import datagen_support as ds  # noqa: E402

EXE = None


def json_text(s):
    return json.dumps(s)[1:-1]


class OnlineRun(unittest.TestCase):
    def setUp(self):
        self.server = ds.Server()
        self.cwd = tempfile.TemporaryDirectory()
        self.tmp = tempfile.TemporaryDirectory()
        self.env = dict(os.environ, TMPDIR=self.tmp.name)

    def tearDown(self):
        self.server.close()
        self.cwd.cleanup()
        self.tmp.cleanup()

    def merged_local(self):
        d = os.path.join(self.cwd.name, "data")
        return sorted(f for f in os.listdir(d) if f.startswith("datagen_")) if os.path.isdir(d) else []

    def test_cycle_uploads_exact_bytes_for_hostile_names(self):
        marker = os.path.join(self.cwd.name, "executed")
        user = ('@/etc/passwd "q" $(touch %s) `touch %s` back\\slash it\'s ;type=text/x <in  ' % (marker, marker))
        session = "id $(touch %s) /../x?y#z[1]{a}" % marker
        self.server.session_ids = [session]
        proc = ds.start(EXE, ["datagen", "1", "3", user], self.cwd.name, self.env)
        try:
            self.assertTrue(ds.wait_for(proc, lambda: self.server.of("/api/upload/"), 180), "no upload")
            time.sleep(1.5)
        finally:
            out, err = ds.interrupt(proc)
        self.assertEqual(proc.returncode, 0, err)
        self.assertEqual(err, "")

        heartbeat = self.server.of("/api/session/heartbeat")[0][2]
        self.assertEqual(heartbeat, ('{"user":"%s","threads":3}' % json_text(user)).encode())
        self.assertEqual(json.loads(heartbeat), {"user": user, "threads": 3})
        start = self.server.of("/api/session/start")[0][2]
        self.assertEqual(start, ('{"user":"%s","target":1000}' % json_text(user)).encode())

        fields = self.server.of("/api/upload/")[0][2]
        self.assertEqual(fields["_session"], session.encode())
        self.assertEqual(fields["user"], user.encode())
        games = ds.read_games(fields["file"])
        recorded = sum(len(m) for _, m in games)
        self.assertGreaterEqual(recorded, 1000)
        self.assertEqual(fields["positions"], str(recorded).encode())

        for part in ["=== ONLINE MODE ===\nUser: " + user + "\nTarget positions per cycle: 1000\nThreads: 3\n"
                     "===================\n\nSending heartbeat...\nHeartbeat response: {\"status\":\"ok\"}\n"
                     "Starting new session...\nServer response: ",
                     "Session ID: " + session, "All threads completed. Merging files...",
                     "Uploading file to server...", "Upload successful!", "Local file cleaned up.",
                     "=== Starting next cycle ==="]:
            self.assertIn(part, out)
        self.assertTrue(out.endswith("\nOnline mode shutdown complete.\n"), out[-200:])
        self.assertEqual(self.merged_local(), [])
        self.assertFalse(os.path.exists(marker))
        self.assertEqual(os.listdir(self.tmp.name), [])

    def test_retries_and_periodic_heartbeat(self):
        self.server.heartbeat_drops = 1
        self.server.start_replies = [b'{"error":"busy"}']
        proc = ds.start(EXE, ["datagen", "1000", "2", "carol"], self.cwd.name, self.env)
        try:
            self.assertTrue(ds.wait_for(proc, lambda: len(self.server.of("/api/session/heartbeat")) >= 4, 70),
                            "no periodic heartbeat")
        finally:
            out, err = ds.interrupt(proc)
        self.assertEqual(proc.returncode, 0, err)
        beats = self.server.of("/api/session/heartbeat")
        starts = self.server.of("/api/session/start")
        self.assertEqual(len(starts), 2)
        # A failed heartbeat never reaches the session start; each retry waits 10 seconds.
        self.assertGreater(starts[0][0], beats[1][0])
        self.assertGreaterEqual(beats[1][0] - beats[0][0], 9.5)
        self.assertGreaterEqual(beats[2][0] - starts[0][0], 9.5)
        self.assertLess(beats[2][0], starts[1][0])
        # The background heartbeat follows about 15 seconds after the session start.
        self.assertGreaterEqual(beats[3][0] - starts[1][0], 14.5)
        self.assertLess(beats[3][0] - starts[1][0], 20)
        self.assertEqual(beats[3][2], b'{"user":"carol","threads":2}')
        self.assertEqual(err.count("Failed to send heartbeat. Retrying in 10 seconds..."), 1, err)
        self.assertEqual(err.count("Failed to parse session ID. Retrying..."), 1, err)
        self.assertEqual(self.server.of("/api/upload/"), [])
        self.assertNotIn("Merging files", out)
        self.assertTrue(out.endswith("\nOnline mode shutdown complete.\n"))
        self.assertEqual(os.listdir(self.tmp.name), [])

    def test_lost_batch_is_never_uploaded_as_an_empty_file(self):
        self.server.session_ids = ["s-1", "s-2"]
        os.mkdir(os.path.join(self.cwd.name, "data"))
        # Both workers' first batches go to a full device; the second cycle writes normally.
        for worker in (0, 1):
            os.symlink("/dev/full", os.path.join(self.cwd.name, "data", "thread%d_0.tmp" % worker))
        proc = ds.start(EXE, ["datagen", "1", "3", "erin"], self.cwd.name, self.env)
        try:
            self.assertTrue(ds.wait_for(proc, lambda: self.server.of("/api/upload/"), 300), "no upload")
            time.sleep(1.0)
        finally:
            out, err = ds.interrupt(proc)
        self.assertEqual(proc.returncode, 1, err)
        self.assertIn("Positions lost in failed writes: ", out)
        self.assertIn("Positions merged: 0", out)
        uploads = self.server.of("/api/upload/")
        self.assertEqual(len(uploads), 1)
        fields = uploads[0][2]
        self.assertEqual(fields["_session"], b"s-2")  # nothing was sent for the first cycle
        recorded = sum(len(m) for _, m in ds.read_games(fields["file"]))
        self.assertGreaterEqual(recorded, 1000)
        self.assertEqual(fields["positions"], str(recorded).encode())
        self.assertIn("Positions merged into data/datagen_", out)
        self.assertTrue(out.endswith("\nOnline mode shutdown complete.\n"), out[-200:])

    def test_failed_uploads_keep_the_file(self):
        self.server.upload_status = [500, 0, 200]
        proc = ds.start(EXE, ["datagen", "1", "3", "dave"], self.cwd.name, self.env)
        try:
            self.assertTrue(ds.wait_for(proc, lambda: len(self.server.of("/api/upload/")) >= 2, 240), "no uploads")
            time.sleep(1.0)
        finally:
            out, err = ds.interrupt(proc)
        self.assertEqual(proc.returncode, 0, err)
        self.assertEqual(err.count("Upload failed. File kept locally: data/datagen_"), 2, err)
        self.assertNotIn("Upload successful!", out)
        kept = self.merged_local()
        self.assertEqual(len(kept), 2, kept)
        uploads = [u[2]["file"] for u in self.server.of("/api/upload/")[:2]]
        local = []
        for name in kept:
            with open(os.path.join(self.cwd.name, "data", name), "rb") as f:
                local.append(f.read())
        self.assertEqual(sorted(local), sorted(uploads))
        # The second cycle's merge did not take in the first cycle's kept file.
        self.assertNotIn(uploads[0], uploads[1])
        for data in local:
            self.assertGreater(len(ds.read_games(data)), 0)


if __name__ == "__main__":
    EXE = os.path.abspath(sys.argv.pop(1))
    unittest.main()
