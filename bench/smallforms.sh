#!/usr/bin/env bash
# Sizes of the smaller forms the publisher makes and the time it takes, on
# real binaries nobody here wrote: Debian's libssl3 (libcrypto.so.3,
# libssl.so.3) and libcurl4 (libcurl.so.4), every version the package mirror
# offers, fetched now with apt-get download (never committed).
# Run after the publisher is built:
#   bench/smallforms.sh
# Prints, for the newest release, each file's plain size, its compressed form
# and its patches from one and two releases back (bytes and % of plain), the
# zstd program's own patch from one release back beside it, and the time and
# peak memory of each publication.
set -euo pipefail
shopt -s inherit_errexit
source "$(dirname "$0")/../scripts/common.sh"
publisher=$BUILD_DIR/publish/updater-publish
[ -x "$publisher" ] || { echo "missing $publisher: build the project first" >&2; exit 1; }
for cmd in apt-get apt-cache dpkg-deb zstd sha256sum /usr/bin/time; do
  command -v "$cmd" >/dev/null || { echo "missing $cmd" >&2; exit 1; }
done

work=$(mktemp -d /tmp/updater-smallforms.XXXXXX)
trap 'rm -rf "$work"' EXIT

source "$(dirname "$0")/debian.sh"

echo "Fetched:"
fetch libssl3
fetch libcurl4
ssl_count=$(ls -d "$work"/libssl3/[0-9]* | wc -l)
curl_count=$(ls -d "$work"/libcurl4/[0-9]* | wc -l)

# Release n ships the n-th libssl3 and the libcurl4 as far along.
releases=$(( ssl_count > curl_count ? ssl_count : curl_count ))
release_folder() {
  local n=$1 ssl=$(( $1 < ssl_count ? $1 : ssl_count )) curl=$(( $1 < curl_count ? $1 : curl_count ))
  local folder=$work/release/$n
  mkdir -p "$folder"
  cp "$(find "$work/libssl3/$ssl" -name 'libcrypto.so.3' -type f)" "$folder/"
  cp "$(find "$work/libssl3/$ssl" -name 'libssl.so.3' -type f)" "$folder/"
  cp "$(find "$work/libcurl4/$curl" -name 'libcurl.so.4*' -type f | head -1)" "$folder/libcurl.so.4"
  echo "$folder"
}

mkdir -p "$work/site"
"$publisher" keygen --public-key "$work/key.pub" --secret-key "$work/key.key" >/dev/null 2>&1
echo
echo "| release | publish time (s) | peak memory (MiB) | smaller forms |"
echo "|---|---|---|---|"
for n in $(seq 1 "$releases"); do
  folder=$(release_folder "$n")
  /usr/bin/time -f "%e %M" -o "$work/time" \
    "$publisher" release --from "$folder" --site "$work/site" --version "$n" --secret-key "$work/key.key" \
    >"$work/out" 2>/dev/null
  read -r seconds kib <"$work/time"
  forms=$(sed -n 's/.*, \([0-9]*\) smaller forms.*/\1/p' "$work/out")
  echo "| $n | $seconds | $((kib / 1024)) | $forms |"
done

digest() { sha256sum "$1" | cut -c1-64; }
size_of() { [ -f "$1" ] && stat -c %s "$1" || echo -; }
percent() { [ "$1" = - ] && echo - || awk -v a="$1" -v b="$2" 'BEGIN { printf "%.1f %%", 100 * a / b }'; }

echo
echo "Newest release ($releases): bytes, and % of the plain file"
echo
echo "| file | plain | compressed | patch 1 back | patch 2 back | zstd -19 --long=31 --patch-from, 1 back |"
echo "|---|---|---|---|---|---|"
newest=$work/release/$releases
for file in libcrypto.so.3 libssl.so.3 libcurl.so.4; do
  new=$(digest "$newest/$file")
  plain=$(size_of "$newest/$file")
  compressed=$(size_of "$work/site/KVTA/ZE/zst/$new.zst")
  row="| $file | $plain | $compressed ($(percent "$compressed" "$plain"))"
  cli=-
  for back in 1 2; do
    older=$work/release/$((releases - back))/$file
    patch=-
    if [ -f "$older" ] && [ "$(digest "$older")" != "$new" ]; then
      patch=$(size_of "$work/site/KVTA/ZE/zst/$(digest "$older")-$new.zst")
      if [ "$back" = 1 ]; then
        zstd -q -f -19 --long=31 --patch-from="$older" "$newest/$file" -o "$work/cli.zst" 2>/dev/null
        cli=$(size_of "$work/cli.zst")
      fi
    fi
    row+=" | $patch ($(percent "$patch" "$plain"))"
  done
  echo "$row | $cli ($(percent "$cli" "$plain")) |"
done
