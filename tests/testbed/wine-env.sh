# Shell side of the Wine test bed: sourced by wine-run and the scripts.
# A template 32-bit prefix is made once per build; every test works in its own copy, with a
# persistent wineserver so that no implicit restart happens while the test runs.
export WINEARCH=win32
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY
ZS_ROOT=${ZS_ROOT:-$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)}
export ZS_WINE_TEMPLATE=${ZS_WINE_TEMPLATE:-$ZS_ROOT/build/wine-template}

# Makes the template prefix when it is missing or older than Wine's fonts.
wine_make_template() {
  # Marlett draws the title bars' buttons. This Wine does not look for its own fonts in its data
  # folder, so the prefix gets it in its Fonts folder; a template made before the font was
  # installed (scripts/bootstrap.sh) is made again.
  local marlett=/usr/share/wine/fonts/marlett.ttf
  if [ -f "$ZS_WINE_TEMPLATE/system.reg" ] &&
    { [ ! -f "$marlett" ] || [ -f "$ZS_WINE_TEMPLATE/drive_c/windows/Fonts/marlett.ttf" ]; }; then
    return 0
  fi
  local tmp="$ZS_WINE_TEMPLATE.tmp.$$"
  rm -rf "$tmp"
  mkdir -p "$(dirname "$ZS_WINE_TEMPLATE")"
  WINEPREFIX="$tmp" wineboot -i >/dev/null 2>&1
  WINEPREFIX="$tmp" wineserver -w
  if [ -f "$marlett" ]; then cp "$marlett" "$tmp/drive_c/windows/Fonts/"; fi
  rm -rf "$ZS_WINE_TEMPLATE"
  mv "$tmp" "$ZS_WINE_TEMPLATE"
}

# Copies the template into a fresh folder, points WINEPREFIX at it and starts its server.
wine_scratch_prefix() {
  wine_make_template
  ZS_SCRATCH=$(mktemp -d "${TMPDIR:-/tmp}/zs-wine.XXXXXX")
  cp -a "$ZS_WINE_TEMPLATE" "$ZS_SCRATCH/prefix"
  export WINEPREFIX="$ZS_SCRATCH/prefix"
  wineserver -p
}

wine_scratch_cleanup() {
  if [ -n "${ZS_SCRATCH:-}" ]; then
    wineserver -k 2>/dev/null || true
    rm -rf "$ZS_SCRATCH"
  fi
}
