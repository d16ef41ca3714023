#!/usr/bin/env bash
# The release artifacts of scripts/release.sh as a user gets them: each is
# unpacked into an empty directory, its file list must be what the release
# promises (no more, no less), and the unpacked program must pass its
# self-test and run the README's example there, finding the example's factor.
# The Debian package must depend on the C library and on nothing the program
# does not link.
#   tests/release/artifact-test.sh DIST_DIR
set -euo pipefail
cd "$(dirname "$0")/../.."
root=$PWD
dist=$(cd "${1:?usage: tests/release/artifact-test.sh DIST_DIR}" && pwd)
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

archives=("$dist"/kalvenor-*-linux-x86_64*.tar.gz)
debs=("$dist"/kalvenor_*.deb)
[ ${#archives[@]} = 1 ] && [ -f "${archives[0]}" ] || { echo "FAIL: not one archive in $dist"; exit 1; }
[ ${#debs[@]} = 1 ] && [ -f "${debs[0]}" ] || { echo "FAIL: not one Debian package in $dist"; exit 1; }
(cd "$dist" && sha256sum --quiet -c SHA256SUMS) || fail "SHA256SUMS does not match the artifacts"

commit=$(git -C "$root" rev-parse --short=12 HEAD 2>/dev/null || echo unknown)
# The kits as the source tree has them, one path a line.
boinc_kit=$(cd "$root" && find boinc -type f | sort)
same_list() {  # same_list WHAT EXPECTED ACTUAL
  if [ "$2" != "$3" ]; then
    fail "$1 file list differs:"
    diff <(printf '%s\n' "$2") <(printf '%s\n' "$3") | sed -n 's/^[<>]/  &/p'  || true
  fi
}

# runs NAME DIRECTORY COMMAND...: the self-test, then the example command
# taken from a README, in DIRECTORY with its own scratch space.
runs() {
  local name=$1 dir=$2 example=$3 program=$4 out
  # What the program says it was built from: this checkout's commit.
  out=$(cd "$dir" && "$program" --version)
  grep -q "^commit $commit" <<<"$out" && grep -q '^host path ' <<<"$out" &&
    grep -q '^built for CUDA [0-9.]*: sm_\|^built without CUDA' <<<"$out" ||
    { fail "$name: --version does not name commit $commit, the CUDA build and the host path:"; printf '%s\n' "$out"; }
  if ! out=$(cd "$dir" && "$program" --selftest 2>&1); then
    fail "$name: --selftest failed:"; printf '%s\n' "$out" | tail -n 5
  fi
  [ -n "$example" ] || { fail "$name: no example command found in its README"; return; }
  mkdir -p "$tmp/scratch-$name"
  out=$(cd "$dir" && TMPDIR="$tmp/scratch-$name" PATH="$PATH" bash -c "$example" 2>&1) || true
  grep -q '^exit code 6$' <<<"$out" && grep -q '25709319373' <<<"$out" ||
    { fail "$name: the README's example did not find its factor and complete:"; printf '%s\n' "$out" | tail -n 8; return; }
  echo "$name: --version, self-test and the README's example (25709319373*2^36+1 found) pass"
}

# The archive: one directory named after it.
archive=${archives[0]}
name=$(basename "$archive" .tar.gz)
mkdir "$tmp/archive"
tar -xzf "$archive" -C "$tmp/archive"
expected=$(printf '%s\n' README.md kalvenor kalvenor.1 doc/README.md examples/worktodo.txt \
             slurm/slurm-array.sh slurm/slurm-collect.sh $boinc_kit | sed "s|^|$name/|" | sort)
same_list archive "$expected" "$(tar -tzf "$archive" | grep -v '/$' | sort)"
[ -x "$tmp/archive/$name/kalvenor" ] && [ -x "$tmp/archive/$name/slurm/slurm-array.sh" ] || fail "archive: programs not executable"
example=$(grep -m1 '^d=$(mktemp -d) && cp examples/worktodo.txt' "$tmp/archive/$name/README.md" || true)
runs archive "$tmp/archive/$name" "$example" ./kalvenor

# The package: the install layout under /usr, the example from the README's
# Install section with /usr pointing into the unpacked tree.
deb=${debs[0]}
mkdir "$tmp/deb"
dpkg-deb -x "$deb" "$tmp/deb"
expected=$(printf '%s\n' bin/kalvenor share/man/man1/kalvenor.1 share/doc/kalvenor/README.md \
             share/doc/kalvenor/examples/worktodo.txt share/kalvenor/slurm/slurm-array.sh \
             share/kalvenor/slurm/slurm-collect.sh $(sed 's|^|share/kalvenor/|' <<<"$boinc_kit") | sed 's|^|./usr/|' | sort)
same_list package "$expected" "$(dpkg-deb -c "$deb" | awk '!/^d/ {print $NF}' | sort)"
contents=$(dpkg-deb -c "$deb")
awk '$2 != "root/root" {bad=1} END {exit bad}' <<<"$contents" || fail "package: files not owned by root"
grep -q '^-rwxr-xr-x .* ./usr/bin/kalvenor$' <<<"$contents" || fail "package: /usr/bin/kalvenor is not mode 755"
[ "$(dpkg-deb -f "$deb" Package)" = kalvenor ] || fail "package: not named kalvenor"
depends=$(dpkg-deb -f "$deb" Depends)
grep -q 'libc6 (>= 2\.[0-9]*)' <<<"$depends" || fail "package: Depends '$depends' names no libc6 version"
! grep -q 'libstdc++' <<<"$depends" || fail "package: Depends '$depends' names the C++ runtime linked in"
example=$(grep -m1 '^d=$(mktemp -d) && cp /usr/share/doc/kalvenor/examples/worktodo.txt' "$root/README.md" |
            sed "s|/usr/|$tmp/deb/usr/|g" || true)
PATH="$tmp/deb/usr/bin:$PATH" runs package "$tmp/deb" "$example" kalvenor
if command -v man >/dev/null; then
  page=$(man -l "$tmp/deb/usr/share/man/man1/kalvenor.1" 2>/dev/null || true)
  grep -q 'KALVENOR(1)' <<<"$page" || fail "package: the manual page does not render"
fi

[ "$failures" = 0 ] || { echo "release artifacts: $failures failures"; exit 1; }
echo "release artifacts: $(basename "$archive") and $(basename "$deb") unpack and run"
