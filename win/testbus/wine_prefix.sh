# Sourced by run_wine_test.sh and run_wine_program.sh: the folder of files a
# run installs from, and a fresh 64-bit Wine prefix, every step bounded in
# time.
#   wine_files IMAGE TESTBUS WORK   checks IMAGE and stillscsi.inf with their checkers and puts
#                                   them, a placeholder catalog, the bus and its INF in WORK/files;
#                                   sets $files to that folder's Windows path
#   wine_prefix WINE WORK           a fresh prefix in WORK/prefix, exported as WINEPREFIX, with
#                                   $wineserver set and killed on exit
# STILLSCSI_WINE_PRISTINE_PREFIX names a prefix that wineboot made and nothing
# has run in: it is copied instead of made again (for iterating by hand; the
# tests make theirs).
wine_prefix_here=$(cd "$(dirname "$0")" && pwd)
wine_prefix_root=$(cd "$wine_prefix_here/../.." && pwd)

wine_files() {
  # The very image the checker accepts, and the INF its checker accepts.
  python3 "$wine_prefix_root/win/check_image.py" "$1"
  python3 "$wine_prefix_root/win/check_inf.py" "$wine_prefix_root/win/stillscsi.inf"
  rm -rf "$3"
  mkdir -p "$3/files"
  cp "$1" "$3/files/stillscsi.sys"
  cp "$wine_prefix_root/win/stillscsi.inf" "$3/files/"
  # The INF names the catalog that release signing makes. Wine's INF copy
  # takes the catalog along without reading it, so a placeholder stands in.
  printf "placeholder" > "$3/files/stillscsi.cat"
  cp "$2" "$3/files/testbus.sys"
  cp "$wine_prefix_here/testbus.inf" "$3/files/"
  cmp "$1" "$3/files/stillscsi.sys"
  files=$(printf 'Z:%s' "$3/files" | tr / '\\')
}

wine_prefix() {
  wineserver=$(dirname "$1")/wineserver
  [ -x "$wineserver" ] || wineserver=$(command -v wineserver)
  export WINEPREFIX="$2/prefix"
  export WINEDEBUG="${WINEDEBUG:--all}"
  export WINEDLLOVERRIDES="mscoree,mshtml="
  trap 'wine_prefix_exit' EXIT
  if [ -n "${STILLSCSI_WINE_PRISTINE_PREFIX:-}" ] && [ -d "$STILLSCSI_WINE_PRISTINE_PREFIX" ]; then
    cp -a "$STILLSCSI_WINE_PRISTINE_PREFIX" "$WINEPREFIX"
  else
    timeout 180 "$1" wineboot --init >"$2/wineboot.log" 2>&1
  fi
  timeout 60 "$wineserver" -w
}

# What a script started in the background, ended by its process id, then
# the prefix's processes.
wine_background=""
wine_prefix_exit() {
  for pid in $wine_background; do kill "$pid" 2>/dev/null || true; done
  "$wineserver" -k >/dev/null 2>&1 || true
}
