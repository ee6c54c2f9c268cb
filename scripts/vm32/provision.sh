# The one provisioning boot of a new image (run by the machine's init, with
# the image writable): the 32-bit Wine prefix that every later run uses, so
# that no run pays for wineboot. Checked by starting a Windows program.
export HOME=/root WINEPREFIX=/root/.wine WINEARCH=win32 WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
set -e
echo "vm32 provision: wineboot --init ($(date +%T))"
wineboot --init
wineserver -w
echo "vm32 provision: checking the prefix ($(date +%T))"
test "$(wine cmd /c echo vm32-ok | tr -d '\r')" = vm32-ok
wineserver -w
echo "vm32 provision: done ($(date +%T))"
