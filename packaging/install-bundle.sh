#!/bin/sh
# Lays the application bundle out from a build folder into an Applications folder:
#   <apps-folder>/Lumora Hoistly.app/Contents/{Info.plist,MacOS/{Hoistly,hoistly_webview.so},Resources/...}
# The bundle is assembled next to its destination and swapped in, so an installed copy is never
# lost half-way. A desktop entry for the application menu goes to the user's applications folder
# unless --no-desktop-entry is given.
#
#   packaging/install-bundle.sh <build-dir> <apps-folder> [--no-desktop-entry]
set -eu

usage() { echo "usage: $0 <build-dir> <apps-folder> [--no-desktop-entry]" >&2; exit 2; }
[ $# -ge 2 ] || usage
build_dir=$1
apps_dir=$2
desktop_entry=yes
[ "${3-}" = "--no-desktop-entry" ] && desktop_entry=no

here=$(cd "$(dirname "$0")" && pwd)
exe="$build_dir/src/app/Hoistly"
[ -x "$exe" ] || { echo "install-bundle: no executable at $exe (build the Hoistly target first)" >&2; exit 1; }
# The web view's code, loaded from beside the executable when a sign-in page opens.
webview="$build_dir/src/app/hoistly_webview.so"
[ -f "$webview" ] || { echo "install-bundle: no web view module at $webview (build the Hoistly target first)" >&2; exit 1; }

cache="$build_dir/CMakeCache.txt"
build=$(sed -n 's/^HOISTLY_BUILD_NUMBER:STRING=//p' "$cache" 2>/dev/null || true)
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$cache" 2>/dev/null || true)
[ -n "$build" ] || build=1
[ -n "$version" ] || version=1.0.0
# What the build needs of a Linux system: the C library it was linked with (symbols are versioned
# upwards) and the Qt minor release it was compiled against.
glibc=$(getconf GNU_LIBC_VERSION 2>/dev/null | sed -n 's/^glibc //p')
qt_dir=$(sed -n 's/^Qt6_DIR:PATH=//p' "$cache" 2>/dev/null || true)
qt=$(sed -n 's/.*PACKAGE_VERSION "\([0-9]*\.[0-9]*\).*/\1/p' "$qt_dir/Qt6ConfigVersionImpl.cmake" 2>/dev/null | head -n 1)
[ -n "$glibc" ] || glibc=2.0
[ -n "$qt" ] || qt=6.0

mkdir -p "$apps_dir"
apps_dir=$(cd "$apps_dir" && pwd)
name="Lumora Hoistly.app"
dest="$apps_dir/$name"
stage="$apps_dir/.$name.incoming-$$"
old="$apps_dir/.$name.previous-$$"
trap 'rm -rf "$stage"' EXIT

mkdir -p "$stage/Contents/MacOS" "$stage/Contents/Resources"
cp "$exe" "$stage/Contents/MacOS/Hoistly"
chmod 755 "$stage/Contents/MacOS/Hoistly"
cp "$webview" "$stage/Contents/MacOS/hoistly_webview.so"
chmod 644 "$stage/Contents/MacOS/hoistly_webview.so"
sed -e "s/@VERSION@/$version/g" -e "s/@BUILD@/$build/g" -e "s/@GLIBC@/$glibc/g" -e "s/@QT@/$qt/g" "$here/Info.plist.in" > "$stage/Contents/Info.plist"
cp "$here/../resources/images/onboarding/HoistlyMark.svg" "$stage/Contents/Resources/lumora-hoistly.svg"

if [ -e "$dest" ]; then mv "$dest" "$old"; fi
if mv "$stage" "$dest"; then
    rm -rf "$old"
else
    [ -e "$old" ] && mv "$old" "$dest"
    echo "install-bundle: could not move the bundle into place" >&2
    exit 1
fi

# Desktop-entry Exec quoting: the path in double quotes, with \ " ` $ escaped (and \ doubled
# again for the key file's own escaping); % doubled.
quoted=$(printf '%s' "$dest/Contents/MacOS/Hoistly" | sed -e 's/\\/\\\\\\\\/g' -e 's/["`$]/\\\\&/g' -e 's/%/%%/g')
# GLib looks the program up before it expands "%%": a path with '%' goes to the shell as an
# argument instead (sh -c "exec \"$0\" \"$@\"" "<path>"), written here for sed's replacement.
launcher=
case "$dest" in *%*) launcher='sh -c "exec \\\\"\\\\$0\\\\" \\\\"\\\\$@\\\\"" ' ;; esac
if [ "$desktop_entry" = yes ]; then
    apps_entries="${XDG_DATA_HOME:-$HOME/.local/share}/applications"
    mkdir -p "$apps_entries"
    sed -e "s|@EXEC@|$launcher\"$(printf '%s' "$quoted" | sed 's/[|&]/\\&/g')\"|" \
        -e "s|@ICON@|$(printf '%s' "$dest/Contents/Resources/lumora-hoistly.svg" | sed 's/[|&]/\\&/g')|" \
        "$here/lumora-hoistly.desktop.in" > "$apps_entries/lumora-hoistly.desktop"
fi
echo "$dest"
