#!/usr/bin/env bash
# Packs the program's PNG icons (packaging/icons) into the Windows icon the
# setup program, its uninstaller and the uninstall entry show. Needs icotool
# (Debian's icoutils); the .ico it makes is committed, so a build does not.
# The small sizes are stored as bitmaps, the 256-pixel one as PNG, as
# Windows expects of an icon file.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
icons="$here/../icons"
icotool --create --output="$here/talviro-measurement.ico" \
  "$icons/talviro-measurement-16.png" \
  "$icons/talviro-measurement-32.png" \
  "$icons/talviro-measurement-48.png" \
  --raw="$icons/talviro-measurement-256.png"
