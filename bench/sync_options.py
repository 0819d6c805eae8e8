#!/usr/bin/env python3
"""Times the ways to make 100 just-written files of 750 KB durable: an fsync each,
one syncfs, fsyncs from 8 threads, sync_file_range on all then an fsync each.
Usage: bench/sync_options.py [FOLDER] (default build-bench/sync, on the disk to measure)."""
import ctypes, os, statistics, sys, time
from concurrent.futures import ThreadPoolExecutor
libc = ctypes.CDLL(None, use_errno=True)
D = sys.argv[1] if len(sys.argv) > 1 else "build-bench/sync"
os.makedirs(D, exist_ok=True)
N, SIZE = 100, 750_000
data = os.urandom(SIZE)
def write_all():
    fds = []
    for i in range(N):
        fd = os.open(f"{D}/f{i}", os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644)
        os.write(fd, data); fds.append(fd)
    return fds
def per_file(fds):
    for fd in fds: os.fsync(fd)
def syncfs(fds):
    dfd = os.open(D, os.O_RDONLY); libc.syncfs(dfd); os.close(dfd)
def pool(fds):
    with ThreadPoolExecutor(8) as ex: list(ex.map(os.fsync, fds))
def sfr(fds):
    for fd in fds: libc.sync_file_range(fd, ctypes.c_int64(0), ctypes.c_int64(0), 2)
    for fd in fds: os.fsync(fd)
res = {k: [] for k in ("per-file fsync", "syncfs", "8-thread fsync", "sync_file_range+fsync")}
fns = dict(zip(res, (per_file, syncfs, pool, sfr)))
for rep in range(7):
    for k, f in fns.items():
        os.sync()
        fds = write_all()
        t = time.perf_counter(); f(fds); res[k].append(time.perf_counter() - t)
        for fd in fds: os.close(fd)
for k, v in res.items(): print(f"{k:24s} median {statistics.median(v)*1000:7.1f} ms  (min {min(v)*1000:.1f}, max {max(v)*1000:.1f})")
