#!/bin/sh
# Gives the Wine prefix $WINEPREFIX the fonts a Japanese Windows has: the
# window asks for "MS UI Gothic" with the Shift-JIS character set, which no
# Debian package installs. Without a replacement Wine takes the first face
# that claims the character set, and the stand-ins it finds (Droid Sans
# Fallback among them) have no ":" or "." and draw boxes for them; the menu
# bar's "MS Shell Dlg"/Tahoma reach Japanese through the same name. IPAPGothic
# (fonts-ipafont-gothic) is proportional like "MS UI Gothic", IPAGothic
# fixed-pitch like "MS Gothic".
#
#   WINEPREFIX=... wine-fonts.sh
set -e
wine=/usr/lib/wine/wine64
key='HKCU\Software\Wine\Fonts\Replacements'
for pair in 'MS UI Gothic=IPAPGothic' 'MS PGothic=IPAPGothic' 'MS Gothic=IPAGothic'; do
  "$wine" reg add "$key" /v "${pair%%=*}" /t REG_SZ /d "${pair#*=}" /f </dev/null >/dev/null 2>&1
done
