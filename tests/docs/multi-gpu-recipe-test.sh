#!/bin/bash
# The README's recipe for one machine with several GPUs, run as a user would
# paste it: every unit that --cut prints must land in exactly one GPU's
# worktodo.txt, and every directory given units must get a run. The program
# the recipe starts is a stand-in that cuts with the real one and notes
# where it ran with which device, so no GPU is needed.
#
#   tests/docs/multi-gpu-recipe-test.sh path/to/kalvenor
set -eu
program=${1:-${KALVENOR:-}}
[ -x "$program" ] || { echo "usage: multi-gpu-recipe-test.sh path/to/kalvenor" >&2; exit 2; }
program=$(cd "$(dirname "$program")" && pwd)/$(basename "$program")
readme=$(cd "$(dirname "$0")/../.." && pwd)/README.md

recipe=$(awk '/^### One machine with several GPUs/ { section = 1 }
              section && /^```sh/ { inside = 1; next }
              inside && /^```/ { exit }
              inside { print }' "$readme")
[ -n "$recipe" ] || { echo "FAIL: no recipe under '### One machine with several GPUs' in README.md"; exit 1; }

dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
mkdir "$dir/build"
cat > "$dir/build/kalvenor" <<STUB
#!/bin/bash
case "\$1" in
  --cut) exec "$program" "\$@" ;;
  *) echo "\$*" > ran.txt ;;
esac
STUB
chmod +x "$dir/build/kalvenor"
(cd "$dir" && bash -eu -c "$recipe" 2>recipe.err) || { cat "$dir/recipe.err"; echo "FAIL: the recipe failed"; exit 1; }
# The runs were started in the background.
for _ in $(seq 50); do
  missing=0
  for w in "$dir"/gpu*/worktodo.txt; do [ -f "$(dirname "$w")/ran.txt" ] || missing=1; done
  [ $missing -eq 0 ] && break
  sleep 0.1
done

fail=0
line=$(sed -n 's/.*--cut [^ ]* \(FermatFactor=[0-9,]*\).*/\1/p' <<<"$recipe" | head -1)
gpus=$(sed -n 's/^gpus=\([0-9]*\)$/\1/p' <<<"$recipe" | head -1)
gpus=${gpus:-4}
expected=$("$program" --cut "$gpus" "$line" 2>/dev/null | sort)
handed=$(cat "$dir"/gpu*/worktodo.txt | sort)
if [ "$handed" != "$expected" ]; then
  echo "FAIL: the units handed out differ from what --cut prints"
  diff <(echo "$expected") <(echo "$handed") || true
  fail=1
fi
[ "$(wc -l <<<"$expected")" -gt "$gpus" ] || { echo "FAIL: the recipe's line no longer cuts into more units than GPUs"; fail=1; }
for w in "$dir"/gpu*/worktodo.txt; do
  d=$(dirname "$w")
  g=${d##*/gpu}
  if [ "$(cat "$d/ran.txt" 2>/dev/null)" != "--device $g" ]; then
    echo "FAIL: ${d##*/} has units but no run with --device $g"
    fail=1
  fi
done
[ $fail -eq 0 ] && echo "PASS: every unit of the multi-GPU recipe is handed to one GPU, and each GPU with units runs"
exit $fail
