# Shared by the packaging checks: the files every install must hold, below
# its prefix, and a failure helper.
app_id=invalid.talviro.Measurement  # the window's AppStream id
installed_files=(
  bin/talviro_gui
  bin/talviro_gui_demo
  bin/talviro_read
  bin/talviro_read_demo
  bin/talviro_exporter
  share/man/man1/talviro_gui.1.gz
  share/man/man1/talviro_gui_demo.1.gz
  share/man/man1/talviro_read.1.gz
  share/man/man1/talviro_read_demo.1.gz
  share/man/man1/talviro_exporter.1.gz
  share/doc/talviro-measurement/copyright
  share/doc/talviro-measurement/changelog.gz
  share/metainfo/$app_id.metainfo.xml
  share/talviro/logo.jpg
  share/talviro/talviro-alerts.yml
  share/talviro/talviro-dashboard.json
  share/applications/$app_id.desktop
  share/applications/${app_id}Demo.desktop
  share/icons/hicolor/16x16/apps/talviro-measurement.png
  share/icons/hicolor/32x32/apps/talviro-measurement.png
  share/icons/hicolor/48x48/apps/talviro-measurement.png
  share/icons/hicolor/64x64/apps/talviro-measurement.png
  share/icons/hicolor/128x128/apps/talviro-measurement.png
  share/icons/hicolor/256x256/apps/talviro-measurement.png
  share/icons/hicolor/scalable/apps/talviro-measurement.svg
  lib/udev/rules.d/70-talviro.rules
  lib/systemd/system/talviro-exporter.service
  lib/sysusers.d/talviro.conf
)

fail() {
  echo "FAIL: $*" >&2
  exit 1
}

# desktop_key FILE KEY: the value of KEY in the [Desktop Entry] group.
desktop_key() {
  sed -n "s/^$2=//p" "$1" | head -n 1
}
