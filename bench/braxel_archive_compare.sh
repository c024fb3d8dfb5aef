#!/usr/bin/env bash
# braxel pack archives beside tar and cp on the same files, same run: listing and unpacking a
# BIGF of 20,000 small entries and one of 200 MB, and replacing one entry of the 200 MB BIGF
# (a rewrite, bounded by one copy of the archive). The rewrite flushes the new archive and its
# folder before the rename; give a braxel built before that flush as third argument to time the
# same rewrite without it, and cp + sync is the peer that flushes too.
# Usage: bench/braxel_archive_compare.sh BRAXEL_EXE [RUNS] [BRAXEL_EXE_WITHOUT_FLUSH]
set -euo pipefail
braxel=$(realpath "$1")
runs=${2:-3}
unflushed=${3:+$(realpath "$3")}
work=${PERF_DIR:-/tmp/perf}/archive
mkdir -p "$work"
cd "$work"

# Inputs: the same files as a BIGF (written by the script below) and as a tar archive.
if [[ ! -f small.viv || ! -f big.viv ]]; then
  rm -rf small big
  python3 - <<'PY'
import os, random, struct
random.seed(1)
def r4(n): return (n + 3) & ~3
def make(folder, files):
    os.makedirs(folder, exist_ok=True)
    for name, data in files:
        with open(os.path.join(folder, name), 'wb') as f: f.write(data)
    h = r4(16 + sum(9 + len(n) for n, _ in files))
    head = bytearray(b'BIGF' + struct.pack('>III', 0, len(files), h))
    at = h
    for name, data in files:
        head += struct.pack('>II', at, len(data)) + name.encode() + b'\0'
        at += r4(len(data))
    head[4:8] = struct.pack('>I', at)
    head += b'\0' * (h - len(head))
    with open(folder + '.viv', 'wb') as f:
        f.write(head)
        for _, data in files:
            f.write(data + b'\0' * (r4(len(data)) - len(data)))
def plain(data):
    # An entry that happens to begin like a compressed stream (second byte FB) would be decoded.
    return data[:1] + b'\0' + data[2:] if data[1] == 0xFB else data
small = [('f%05d.dat' % i, plain(random.randbytes(random.randint(100, 2000)))) for i in range(20000)]
make('small', small)
block = random.randbytes(1 << 20)
big = [('b%03d.dat' % i, bytes([i]) + block[1:]) for i in range(200)]
make('big', big)
PY
  tar -cf small.tar -C small .
  tar -cf big.tar -C big .
  head -c 1048576 /dev/urandom > replacement.dat
  cp replacement.dat b100.dat
fi

now() { date +%s.%N; }
# best WHAT CMD...: the best wall time of $runs runs, with the prepare function run before each.
best() {
  local what=$1; shift
  local best_t=
  for ((i = 0; i < runs; i++)); do
    prepare
    local t0 t1
    t0=$(now); "$@" >/dev/null; t1=$(now)
    local t; t=$(echo "$t1 - $t0" | bc -l)
    if [[ -z $best_t ]] || (( $(echo "$t < $best_t" | bc -l) )); then best_t=$t; fi
  done
  printf '%-44s %8.3f s\n' "$what" "$best_t"
}

prepare() { :; }
for set in small big; do
  best "braxel -l $set.viv" "$braxel" -l $set.viv
  best "tar -tvf $set.tar" tar -tvf $set.tar
done

for set in small big; do
  prepare() { rm -rf out && mkdir out; }
  best "braxel -u $set.viv" bash -c "cd out && '$braxel' -u ../$set.viv"
  best "tar -xf $set.tar" bash -c "cd out && tar -xf ../$set.tar"
done
rm -rf out

prepare() { cp big.viv edit.viv; sync; }
best "braxel -p big.viv (replace one 1 MB entry)" "$braxel" -p edit.viv b100.dat
if [[ -n $unflushed ]]; then
  best "braxel -p big.viv, no flush (older build)" "$unflushed" -p edit.viv b100.dat
fi
prepare() { rm -f copy.viv; sync; }
best "cp big.viv (to a new name)" cp big.viv copy.viv
# The same replace semantics as the rewrite: a whole copy renamed over an existing archive (ext4
# writes the new file's data out before such a rename completes).
prepare() { cp big.viv copy.viv; rm -f copy.tmp; sync; }
best "cp big.viv + mv over the old archive" bash -c "cp big.viv copy.tmp && mv copy.tmp copy.viv"
best "cp big.viv + sync + mv + sync" bash -c "cp big.viv copy.tmp && sync copy.tmp && mv copy.tmp copy.viv && sync ."
rm -f edit.viv copy.viv copy.tmp
