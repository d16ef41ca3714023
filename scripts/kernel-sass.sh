#!/usr/bin/env bash
# A proxy for the GPU kernels' speed that needs no GPU: per kernel, the SASS
# instructions of one squaring in sm_90 machine code, against the ideal count
# of multiply-adds 2*(w(w-1)/2 + w + w(w-q)) (the square's cross products
# and diagonal, and the reduction's products with the words of P that are
# not known zeros).
#
# Each kernel group is compiled to a cubin twice, once as shipped and once
# with two squarings per loop step (-DKALVENOR_TWO_SQUARINGS_PER_STEP); the
# growth of a kernel's .text section is one squaring's code, at 16 bytes an
# instruction. Prints a Markdown table (docs/kernel-sass.md holds the last one).
#
#   scripts/kernel-sass.sh [ARCH]     ARCH defaults to 90
set -euo pipefail
cd "$(dirname "$0")/.."
arch=${1:-90}
nvcc=$(command -v nvcc || echo /usr/local/cuda/bin/nvcc)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

for group in 1 2 3 4; do
  for variant in one two; do
    flags=()
    [ "$variant" = two ] && flags=(-DKALVENOR_TWO_SQUARINGS_PER_STEP)
    "$nvcc" -std=c++20 -O3 -arch="sm_$arch" -Isrc "${flags[@]}" -cubin \
      -o "$work/group$group.$variant.cubin" "src/kernels/cuda_kernels_group$group.cu" &
  done
  wait
done

# The .text size of each kernel in one cubin, as "name bytes".
text_sizes() {
  readelf -SW "$1" 2>/dev/null | sed -n 's/.*\] \.text\.\([^ ]*\) *PROGBITS *[0-9a-f]* *[0-9a-f]* *\([0-9a-f]*\).*/\1 \2/p' |
    while read -r mangled size; do
      name=$(grep -o 'kalvenor[0-9]*bit_n[0-9]*_[0-9]*' <<<"$mangled" | head -n1)
      [ -n "$name" ] && echo "$name $((16#$size))"
    done
}

for group in 1 2 3 4; do
  join <(text_sizes "$work/group$group.one.cubin" | sort) <(text_sizes "$work/group$group.two.cubin" | sort)
done >"$work/sizes"

echo "| Kernel | q | w | .text bytes | SASS per squaring | ideal multiply-adds | ratio |"
echo "|---|---|---|---|---|---|---|"
grep -o 'X(kalvenor[^)]*)' src/kernels/kernel_list.h | tr -d 'X() ' | tr ',' ' ' |
  while read -r name q w; do
    read -r _ one two < <(grep "^$name " "$work/sizes")
    sass=$(((two - one) / 16))
    ideal=$((2 * (w * (w - 1) / 2 + w + w * (w - q))))
    printf '| %s | %d | %d | %d | %d | %d | %s |\n' "$name" "$q" "$w" "$one" "$sass" "$ideal" \
      "$(awk -v s="$sass" -v i="$ideal" 'BEGIN { printf "%.2f", s / i }')"
  done
