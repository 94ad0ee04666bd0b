#!/usr/bin/env bash
# Builds the Debian package from the build tree BUILD and checks what it
# carries and that lintian finds no error in it.
set -euo pipefail
build=$1
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
cpack -G DEB --config "$build/CPackConfig.cmake" -B "$out" >/dev/null
deb=$(ls "$out"/*.deb)
contents=$(dpkg-deb -c "$deb" | awk '{print $6}')
missing=0
for path in ./usr/bin/updater-publish ./usr/libexec/updater/updater \
            ./usr/share/man/man1/updater-publish.1.gz ./usr/share/man/man1/updater.1.gz \
            ./usr/share/doc/updater/copyright ./usr/share/doc/updater/changelog.gz \
            ./usr/share/bash-completion/completions/updater-publish; do
  grep -qxF "$path" <<<"$contents" || { echo "missing from the package: $path"; missing=1; }
done
# The completion works in a bare bash, without the bash-completion package.
dpkg-deb -x "$deb" "$out/root" && completion=$out/root/usr/share/bash-completion/completions/updater-publish
words=$(bash --norc -c 'source "$1"; COMP_WORDS=(updater-publish cl) COMP_CWORD=1; _updater_publish; echo "${COMPREPLY[*]}"' - "$completion" 2>&1)
[ "$words" = client ] || { echo "completion in a bare bash: $words"; missing=1; }
errors=$(lintian "$deb" 2>&1 | grep '^E:' || true)
[ -z "$errors" ] || { echo "lintian: $errors"; missing=1; }
exit $missing
