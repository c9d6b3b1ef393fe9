#!/usr/bin/env python3
"""scripts/soak-compare on made-up runs: each fault of a watcher it must catch (a change
missed, reported twice, out of order, too late, invented, a LAN going Off Line without a
cause), what it must let pass (a LAN flapping in a loss burst, a change before the first
sample), the Prometheus and resource checks, and the exit status."""
import importlib.machinery
import json
import os
import subprocess
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
SCRIPT = os.path.join(HERE, "..", "..", "scripts", "soak-compare")
compare = importlib.machinery.SourceFileLoader("soak_compare", SCRIPT).load_module()

T0 = 1_800_000_000_000  # ms
S = "198.18.0.2"


def mode(port, value, begin, end):
    return {"kind": "mode", "server": S, "port": port, "value": value, "begin": begin, "end": end}


def fault(name, begin, end, lan=0):
    return {"kind": "fault", "server": S, "fault": name, "lan": lan, "begin": begin, "end": end}


class Run:
    """A run folder with a truth of two mode changes and one silent window."""

    def __init__(self):
        self.dir = tempfile.mkdtemp(prefix="soak_compare_")
        s = 1000
        self.truth = [mode(1, 22, T0, T0 + 60 * s), mode(1, 1, T0 + 60 * s, T0 + 120 * s),
                      mode(1, 22, T0 + 120 * s, T0 + 300 * s), fault("silent", T0 + 150 * s, T0 + 180 * s)]
        self.events = [{"event": "initial", "server": S, "time": T0 + 2 * s},
                       {"event": "mode", "server": S, "port": 1, "value": 1, "time": T0 + 64 * s},
                       {"event": "mode", "server": S, "port": 1, "value": 22, "time": T0 + 124 * s},
                       {"event": "online", "server": S, "lan": 1, "on_line": False, "time": T0 + 157 * s},
                       {"event": "online", "server": S, "lan": 2, "on_line": False, "time": T0 + 157 * s},
                       {"event": "online", "server": S, "lan": 1, "on_line": True, "time": T0 + 183 * s},
                       {"event": "online", "server": S, "lan": 2, "on_line": True, "time": T0 + 183 * s}]
        self.prom = [{"metric": {"instance": S, "port": "1"}, "value": [0, "2"]}]
        self.resources = []
        for i in range(30):
            for prog in ("monitor", "cli", "exporter"):
                self.resources.append({"time": T0 + i * 10 * s, "program": prog, "rss_kb": 5000, "fds": 9,
                                       "threads": 3})
        self.stopped = {"event": "stopped", "pollers_ended": True, "baseline": {"fds": 5, "threads": 1},
                        "after_stop": {"fds": 5, "threads": 1}}

    def judge(self):
        def write(name, rows):
            with open(os.path.join(self.dir, name), "w") as f:
                for r in rows:
                    f.write(json.dumps(r) + "\n")
        write("truth.jsonl", self.truth)
        write("monitor.jsonl", self.events + [self.stopped])
        watch = []
        for e in self.events:  # watch's own shape: text times and texts
            w = dict(e)
            w["time"] = compare.datetime.datetime.fromtimestamp(e["time"] / 1000, compare.datetime.timezone.utc) \
                .strftime("%Y-%m-%dT%H:%M:%S.%f")[:-3] + "Z"
            if e["event"] == "online":
                w["value"] = "On Line" if e["on_line"] else "Off Line"
                del w["on_line"]
            if e["event"] == "mode":
                w["mode_code"] = e["value"]
            watch.append(w)
        write("watch.jsonl", watch)
        write("resources.jsonl", self.resources)
        with open(os.path.join(self.dir, "prometheus.json"), "w") as f:
            json.dump({"start_ms": T0 + 30_000, "end_ms": T0 + 290_000, "result": self.prom}, f)
        with open(os.path.join(self.dir, "run.json"), "w") as f:
            json.dump({"monitor_exit": 0, "cli_exit": 0, "start_ms": T0, "end_ms": T0 + 300_000, "servers": 1,
                       "minutes": 5, "refresh": 2, "timeout": 5, "hold": 15, "seed": 1, "rate": 1}, f)
        rc = subprocess.run([sys.executable, SCRIPT, self.dir], capture_output=True, text=True)
        with open(os.path.join(self.dir, "report.json")) as f:
            return rc.returncode, json.load(f)


class SoakCompareTest(unittest.TestCase):
    def test_a_faithful_run_passes(self):
        rc, r = Run().judge()
        self.assertEqual(r["failures"], [])
        self.assertEqual(rc, 0)
        for name in ("monitor", "watch"):
            self.assertEqual((r[name]["expected"], r[name]["found"], r[name]["missed"], r[name]["invented"]),
                             (6, 6, 0, 0), name)
        self.assertEqual(r["prometheus"]["agree"], 1)

    def test_every_watcher_fault_is_caught(self):
        cases = {
            "missed": lambda run: run.events.pop(1),
            "reported twice": lambda run: run.events.insert(2, dict(run.events[1], time=T0 + 66_000)),
            "too late": lambda run: run.events[1].update(time=T0 + 60_000 + 12_000),
            "out of order": lambda run: (run.events[1].update(time=T0 + 125_000),
                                         run.events[2].update(time=T0 + 124_000, value=22)),
            "invented": lambda run: run.events.append(
                {"event": "mode", "server": S, "port": 2, "value": 1, "time": T0 + 200_000}),
            "off line without a cause": lambda run: run.events.append(
                {"event": "online", "server": S, "lan": 1, "on_line": False, "time": T0 + 220_000}),
        }
        for name, spoil in cases.items():
            run = Run()
            spoil(run)
            rc, r = run.judge()
            self.assertEqual(rc, 1, name)
            self.assertGreater(r["monitor"]["missed"] + r["monitor"]["invented"], 0, name)
            self.assertGreater(r["watch"]["missed"] + r["watch"]["invented"], 0, name)

    def test_what_must_pass(self):
        run = Run()
        # A LAN flapping inside a loss burst is explained, not invented.
        run.truth.append(fault("loss", T0 + 200_000, T0 + 230_000))
        run.events += [{"event": "online", "server": S, "lan": 1, "on_line": False, "time": T0 + 210_000},
                       {"event": "online", "server": S, "lan": 1, "on_line": True, "time": T0 + 214_000}]
        rc, r = run.judge()
        self.assertEqual(rc, 0, r["failures"])
        self.assertEqual(r["monitor"]["explained"], 2)

    def test_prometheus_resources_and_stop(self):
        cases = {
            "prometheus": lambda run: run.prom[0].update(value=[0, "3"]),
            "rss": lambda run: [x.update(rss_kb=5000 + i * 400) for i, x in enumerate(run.resources)],
            "fds": lambda run: [x.update(fds=9 + i) for i, x in enumerate(run.resources)],
            "stop": lambda run: run.stopped["after_stop"].update(threads=2),
        }
        for name, spoil in cases.items():
            run = Run()
            spoil(run)
            rc, r = run.judge()
            self.assertEqual(rc, 1, name)
            self.assertTrue(r["failures"], name)
        # Bursts of parked sockets over a flat floor are no leak.
        run = Run()
        for i, x in enumerate(run.resources):
            k = i // 3  # the sample's number; each has one row per program
            x.update(fds=9 + (30 if k % 3 == 1 or k >= 27 else 0))
        rc, r = run.judge()
        self.assertEqual(rc, 0, r["failures"])


if __name__ == "__main__":
    unittest.main()
