#!/bin/sh
# Prepares the Wine prefix that the Windows build's programs run in, once:
#   scripts/wine-prefix.sh <prefix>
# A fresh 64-bit prefix, initialised by wineboot, that draws windows on the X
# display when there is one and otherwise without any (so window tests run
# headless). Chinese texts show: the fonts the programs and Wine's own
# windows ask for ("宋体"/"SimSun", "MS Sans Serif", "MS Shell Dlg", Tahoma)
# become a CJK font, which takes the Latin letters it lacks from a Latin
# font. Concurrent callers wait for the first one; later calls return at
# once.
#
# Fonts (Debian packages): the CJK font is Droid Sans Fallback
# (fonts-droid-fallback), else WenQuanYi Zen Hei (fonts-wqy-zenhei), or
# $VANTOR_CJK_FONT; the Latin font DejaVu Sans (fonts-dejavu-core) or
# $VANTOR_LATIN_FONT; Marlett, for the symbols of the caption buttons, from
# fonts-wine or $VANTOR_MARLETT.
set -eu

prefix=${1:?usage: wine-prefix.sh <prefix>}
wine=${VANTOR_WINE:-wine}

mkdir -p "$prefix"
prefix=$(cd "$prefix" && pwd)
export WINEPREFIX="$prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="

exec 9>"$prefix/.vantor-lock"
flock 9
if [ -f "$prefix/.vantor-ready" ]; then
  exit 0
fi

timeout 300 wineboot -i >/dev/null 2>&1 || {
  echo "wine-prefix: wineboot failed for $prefix" >&2
  exit 1
}

first_file() {
  for file in "$@"; do
    if [ -f "$file" ]; then
      echo "$file"
      return
    fi
  done
}

# The family name of a font file.
family() {
  fc-scan --format '%{family[0]}\n' "$1" 2>/dev/null | head -n 1
}

# A REG_MULTI_SZ value of one text, as .reg hex bytes (UTF-16LE, ended by
# two terminators).
multi_sz() {
  printf '%s' "$1" | iconv -f UTF-8 -t UTF-16LE | od -An -v -tx1 |
    tr -s ' \n' ',' | sed 's/^,//; s/,$//; s/$/,00,00,00,00/'
}

fonts="$prefix/drive_c/windows/Fonts"
cjk_font=${VANTOR_CJK_FONT:-$(first_file \
  /usr/share/fonts/truetype/droid/DroidSansFallbackFull.ttf \
  /usr/share/fonts/truetype/wqy/wqy-zenhei.ttc)}
latin_font=${VANTOR_LATIN_FONT:-$(first_file \
  /usr/share/fonts/truetype/dejavu/DejaVuSans.ttf)}
marlett=${VANTOR_MARLETT:-/usr/share/wine/fonts/marlett.ttf}

# Some Wine builds do not find Wine's own fonts in its data folder; the
# prefix's font folder is where every build looks.
if [ -f "$marlett" ]; then
  cp "$marlett" "$fonts/marlett.ttf"
else
  echo "wine-prefix: no Marlett (fonts-wine): caption buttons show letters" >&2
fi

# regedit reads non-ASCII names only from UTF-16 files.
reg="$prefix/vantor.reg"
{
  printf 'Windows Registry Editor Version 5.00\r\n\r\n'
  # The X display when $DISPLAY names one, else no display at all.
  printf '[HKEY_CURRENT_USER\\Software\\Wine\\Drivers]\r\n'
  printf '"Graphics"="x11,null"\r\n\r\n'

  if [ -n "$cjk_font" ]; then
    cp "$cjk_font" "$fonts/"
    cjk_face=$(family "$cjk_font")
    nt='HKEY_LOCAL_MACHINE\Software\Microsoft\Windows NT\CurrentVersion'
    printf '[%s\\FontSubstitutes]\r\n' "$nt"
    for face in 宋体 SimSun NSimSun 新宋体 "MS Sans Serif" "MS Shell Dlg" \
                "MS Shell Dlg 2" Tahoma "Microsoft Sans Serif"; do
      printf '"%s"="%s"\r\n' "$face" "$cjk_face"
    done
    if [ -n "$latin_font" ]; then
      cp "$latin_font" "$fonts/"
      link=$(multi_sz "$(basename "$latin_font"),$(family "$latin_font")")
      printf '\r\n[%s\\FontLink\\SystemLink]\r\n' "$nt"
      printf '"%s"=hex(7):%s\r\n' "$cjk_face" "$link"
    fi
  else
    echo "wine-prefix: no CJK font: Chinese texts show as boxes" >&2
  fi
} | { printf '\377\376'; iconv -f UTF-8 -t UTF-16LE; } >"$reg"
timeout 120 "$wine" regedit "$reg" >/dev/null 2>&1 || {
  echo "wine-prefix: regedit failed for $prefix" >&2
  exit 1
}

timeout 120 wineserver -w || true
touch "$prefix/.vantor-ready"
