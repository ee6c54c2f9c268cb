# Sourced by the scripts that run Windows programs under 32-bit Wine: a
# quiet Wine without a display, in WINEPREFIX when that is a ready prefix
# (the 32-bit test machine has one), otherwise in a fresh one made here and
# removed by wine_done.
export WINEDEBUG=-all WINEARCH=win32 WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY
wine_made_prefix=""

wine_ready() {
  [ -n "${WINEPREFIX:-}" ] && [ -f "$WINEPREFIX/system.reg" ] && return 0
  WINEPREFIX=$(mktemp -d /tmp/velto-wineprefix.XXXXXX)
  wine_made_prefix=$WINEPREFIX
  export WINEPREFIX
  echo "--- preparing a Wine prefix"
  timeout 300 wineboot --init >/dev/null 2>&1 || { echo "FAIL wineboot"; return 1; }
}

# Waits for the wineserver to end (it owns the sockets), then removes a
# prefix made here.
wine_done() {
  timeout 30 wineserver -w || wineserver -k
  [ -z "$wine_made_prefix" ] || rm -rf "$wine_made_prefix"
}
