# Sourced by the tools scripts that run the Windows build: `start_wine DIR`
# starts a headless wine (no display, no Mono or Gecko prompts, no menu
# entries) with its own 64-bit prefix in DIR/prefix; `stop_wine` ends its
# server. crlf FILE prints FILE without the CR of wine's text-mode line ends.
start_wine() {
  WINEPREFIX=$1/prefix WINEDEBUG=-all WINEARCH=win64
  WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
  export WINEPREFIX WINEDEBUG WINEARCH WINEDLLOVERRIDES
  unset DISPLAY WAYLAND_DISPLAY || true
  mkdir -p "$WINEPREFIX"
  wineserver -p
  wineboot -i </dev/null >/dev/null 2>&1 || true
}
stop_wine() { wineserver -k 2>/dev/null || true; }
crlf() { sed 's/\r$//' "$1"; }
