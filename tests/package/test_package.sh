#!/usr/bin/env bash
# Builds the .deb from the build tree, unpacks it into a scratch root and checks
# that everything is where a Debian system expects it.
#   test_package.sh BUILD_DIR
set -euo pipefail
build=$1
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

(cd "$build" && cpack -G DEB -B "$scratch/out" >/dev/null)
deb=$(ls "$scratch"/out/*.deb)
dpkg-deb -x "$deb" "$scratch/root"

fail=0
for f in usr/bin/quorvex usr/bin/quorvex-run usr/bin/quorvex-devsim usr/bin/quorvex-txrx \
         usr/share/applications/example.quorvex.Quorvex.desktop \
         usr/share/metainfo/example.quorvex.Quorvex.metainfo.xml \
         usr/share/icons/hicolor/16x16/apps/quorvex.png \
         usr/share/icons/hicolor/32x32/apps/quorvex.png \
         usr/share/icons/hicolor/48x48/apps/quorvex.png \
         usr/share/icons/hicolor/scalable/apps/quorvex.svg; do
    [ -s "$scratch/root/$f" ] || { echo "missing from the package: /$f"; fail=1; }
done
[ -x "$scratch/root/usr/bin/quorvex" ] || { echo "/usr/bin/quorvex is not executable"; fail=1; }

desktop="$scratch/root/usr/share/applications/example.quorvex.Quorvex.desktop"
for line in 'Exec=quorvex' 'Icon=quorvex' 'Name=Quorvex Serial Terminal' \
            'Name[zh_CN]=Quorvex 串口调试助手' 'Categories=Development;Electronics;'; do
    grep -qxF "$line" "$desktop" || { echo "desktop entry lacks: $line"; fail=1; }
done
grep -q '<launchable type="desktop-id">example.quorvex.Quorvex.desktop</launchable>' \
    "$scratch/root/usr/share/metainfo/example.quorvex.Quorvex.metainfo.xml" ||
    { echo "metainfo does not name the desktop entry"; fail=1; }

depends=$(dpkg-deb -f "$deb" Depends)
for dep in libqt6widgets6 libqt6serialport6 libqt6gui6 libqt6core6 liblua5.4-0 qt6-translations-l10n; do
    grep -q "$dep" <<<"$depends" || { echo "Depends lacks $dep: $depends"; fail=1; }
done
[ "$(dpkg-deb -f "$deb" Recommends)" = lrzsz ] || { echo "the package does not recommend lrzsz"; fail=1; }
for size in 16 32 48; do
    file "$scratch/root/usr/share/icons/hicolor/${size}x${size}/apps/quorvex.png" |
        grep -q "PNG image data, $size x $size" || { echo "icon $size is not a ${size}px PNG"; fail=1; }
done

# The program as unpacked from the package and as installed by cmake shows its
# pictures: the same check as for the build tree.
cmake --install "$build" --prefix "$scratch/installed" >/dev/null
QUORVEX_UNDER_TEST="$scratch/root/usr/bin/quorvex:$scratch/installed/bin/quorvex" \
    QT_QPA_PLATFORM=offscreen "$build/tests/test_pictures_as_built" pictures >"$scratch/pictures.log" 2>&1 ||
    { cat "$scratch/pictures.log"; echo "the installed program does not show its pictures"; fail=1; }

if [ $fail -eq 0 ]; then
    echo "1 passed, 0 failed"
else
    echo "0 passed, 1 failed"
fi
exit $fail
