#!/usr/bin/env python3
"""quillon preview and play against ffplay, both through SDL2 in the same run.

Time to first sound: from the start of the process to the first non-silent bytes in SDL's disk
driver file, for `quillon preview` (import into the preview file, then playback) and `ffplay`
(decode and play) on the 180 s MP3, beside `quillon import` of the same file on its own (the
goal: first sound below the import's time plus 100 ms).
CPU during playback: the process's user+sys time over 20 s of playback on the dummy driver, for
`quillon play` of the imported stream and `ffplay` of the MP3 (goal: below 2 % of one core).

Usage: bench/preview_compare.py [QUILLON] (default build/bench/quillon/quillon); best of 5,
the two programs alternating. Needs the standard inputs (../shared/bench/make-inputs.sh).
"""
import os
import signal
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
QUILLON = sys.argv[1] if len(sys.argv) > 1 else os.path.join(ROOT, "build/bench/quillon/quillon")
IN = os.path.join(os.environ.get("PERF_DIR", "/tmp/perf"), "in")
SONG = os.path.join(IN, "song.mp3")
RUNS = 5
TICK = os.sysconf("SC_CLK_TCK")


def ensure_inputs():
    if not os.path.exists(SONG):
        subprocess.run(["bash", os.path.join(ROOT, "../shared/bench/make-inputs.sh")], check=True,
                       stdout=subprocess.DEVNULL)


def load():
    return os.getloadavg()[0]


def ffplay(path):
    return ["ffplay", "-nodisp", "-autoexit", "-loglevel", "quiet", path]


def stop(p):
    """Ctrl-C (both programs end on it), then a kill if that did not end it."""
    p.send_signal(signal.SIGINT)
    try:
        p.wait(10)
    except subprocess.TimeoutExpired:
        p.kill()
        p.wait()


def first_sound(cmd, env, disk):
    """Seconds from the start of `cmd` to the first non-zero byte in the disk file, and the
    process's CPU seconds (user+sys) by then."""
    if os.path.exists(disk):
        os.remove(disk)
    env = dict(env, SDL_AUDIODRIVER="disk", SDL_DISKAUDIOFILE=disk)
    t0 = time.perf_counter()
    p = subprocess.Popen(cmd, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                         stdin=subprocess.DEVNULL)
    seen = 0
    found = None
    try:
        while found is None and time.perf_counter() - t0 < 60:
            try:
                with open(disk, "rb") as f:
                    f.seek(seen)
                    data = f.read()
            except FileNotFoundError:
                data = b""
            if data.strip(b"\0"):
                found = time.perf_counter() - t0
                cpu = cputime(p.pid)
            seen += len(data)
            time.sleep(0.002)
    finally:
        stop(p)
    return (found, cpu) if found is not None else (float("inf"), float("inf"))


def cputime(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / TICK


def playback_cpu(cmd, env, warmup=2.0, span=20.0):
    """Percent of one core over `span` s of playback, after `warmup` s of start-up."""
    env = dict(env, SDL_AUDIODRIVER="dummy")
    p = subprocess.Popen(cmd, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                         stdin=subprocess.DEVNULL)
    try:
        time.sleep(warmup)
        c0, t0 = cputime(p.pid), time.perf_counter()
        time.sleep(span)
        c1, t1 = cputime(p.pid), time.perf_counter()
    finally:
        stop(p)
    return 100.0 * (c1 - c0) / (t1 - t0)


def timed(cmd, env):
    """Wall seconds of `cmd`, and its CPU seconds (user+sys)."""
    before = os.times()
    t0 = time.perf_counter()
    subprocess.run(cmd, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True)
    wall = time.perf_counter() - t0
    after = os.times()
    return wall, (after.children_user - before.children_user) + (after.children_system - before.children_system)


def main():
    ensure_inputs()
    with tempfile.TemporaryDirectory() as tmp:
        env = dict(os.environ, XDG_RUNTIME_DIR=tmp)
        disk = os.path.join(tmp, "disk.raw")
        imp, ours, peer = [], [], []
        for _ in range(RUNS):
            imp.append(timed([QUILLON, "import", SONG, tmp], env))
            ours.append(first_sound([QUILLON, "preview", SONG], env, disk))
            peer.append(first_sound(ffplay(SONG), env, disk))
        print(f"time to first sound (best of {RUNS}, load {load():.2f}):")
        for name, runs in (("quillon import alone", imp), ("quillon preview", ours), ("ffplay", peer)):
            wall, cpu = min(runs)
            print(f"  {name:22} {wall * 1000:7.0f} ms wall {cpu * 1000:7.0f} ms CPU")
        print(f"  first sound of the preview: import + {(min(ours)[0] - min(imp)[0]) * 1000:.0f} ms")
        asf = os.path.join(tmp, "song.asf")
        q, f = [], []
        for _ in range(2):
            q.append(playback_cpu([QUILLON, "play", asf], env))
            f.append(playback_cpu(ffplay(SONG), env))
        print(f"CPU over 20 s of playback, dummy driver (best of 2, load {load():.2f}):")
        print(f"  quillon play           {min(q):6.2f} % of one core")
        print(f"  ffplay                 {min(f):6.2f} % of one core")


if __name__ == "__main__":
    main()
