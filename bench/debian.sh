# Real binaries nobody here wrote, for the benchmarks of smaller forms:
# every version of a Debian package that the mirror offers, fetched now with
# apt-get download (never committed). Sourced; needs $work.

# The versions of PACKAGE the mirror has, oldest first.
versions() { apt-cache madison "$1" | awk '{print $3}' | sort -u | sort -V; }

# Unpacks every version of PACKAGE into $work/PACKAGE/<n>/ (n from 1, oldest first).
fetch() {
  local package=$1 n=0 version
  for version in $(versions "$package"); do
    n=$((n + 1))
    mkdir -p "$work/$package/$n/deb"
    (cd "$work/$package/$n/deb" && apt-get download -qq "$package=$version" >/dev/null 2>&1)
    dpkg-deb -x "$work/$package/$n"/deb/*.deb "$work/$package/$n"
    echo "$package $n: $version"
  done
  [ "$n" -gt 1 ] || echo "$package: the mirror offers only one version; no patches from it"
}
