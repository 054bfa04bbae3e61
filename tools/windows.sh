#!/usr/bin/env bash
# The Windows build, made on Debian 12: Qt for Windows cross-built once from Debian's own Qt sources into a cache
# outside the work tree, then the product cross-built against it, packaged as a zip and an installer.
#   tools/windows.sh qt        build (or reuse) Qt for Windows
#   tools/windows.sh build     Qt, then zorvane.exe and zorvane-cli.exe (warnings are errors)
#   tools/windows.sh package   build, then the zip and the installer in build-windows/
# KDR7_WIN_CACHE names the cache folder; KDR7_QTSERIALPORT_SOURCE a qtserialport 6.4.2 source tarball to use
# when Debian's archive does not serve its own.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
cache=${KDR7_WIN_CACHE:-${XDG_CACHE_HOME:-${HOME:-/var/cache}/.cache}/kdr7-windows}
build_dir="$root/build-windows"
qt_version=6.4.2
version=1.6

windows_packages=(build-essential cmake ninja-build qt6-base-dev qt6-serialport-dev g++-mingw-w64-x86-64-posix
    gcc-mingw-w64-x86-64-posix dpkg-dev xz-utils nsis zip unzip)

# shellcheck source=tools/common.sh
source "$root/tools/common.sh"
use_compiler_cache

# The MinGW compilers with POSIX threads: Qt's own threading needs them, the win32 variant lacks std::thread.
toolchain_text() {
    cat <<'EOF'
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)
set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)
EOF
}

# Only what the two programs use. Direct2D and DirectWrite 3 go together: with one off and the other on,
# qwindows.dll of 6.4.2 does not link. The dfsg tarball has no wintab, hence no tablet events.
qt_configure_options=(-xplatform win32-g++ -device-option CROSS_COMPILE=x86_64-w64-mingw32- -qt-host-path /usr
    -release -shared -nomake tests -nomake examples -no-feature-sql -no-feature-network -no-feature-testlib
    -no-feature-printsupport -no-feature-concurrent -no-feature-xml -no-dbus -no-opengl -no-feature-vulkan
    -no-feature-tabletevent -no-feature-direct2d -no-feature-directwrite3 -qt-zlib -qt-pcre -qt-libpng
    -no-libjpeg -qt-freetype -qt-harfbuzz)

# The cache is keyed by what shapes its contents: the Qt version, the configure line and the compilers.
qt_key() {
    {
        echo "$qt_version"
        printf '%s\n' "${qt_configure_options[@]}"
        toolchain_text
        x86_64-w64-mingw32-g++-posix --version | head -n 1
    } | sha256sum | cut -c1-16
}

# Debian's source packages, fetched with a private apt configuration: the machine's own is left as it is.
fetch_sources() {
    local src="$cache/src"
    mkdir -p "$src/apt/lists/partial" "$src/apt/cache/archives/partial"
    local list="$src/apt/sources.list"
    echo "deb-src http://deb.debian.org/debian bookworm main" >"$list"
    local apt=(apt-get -o Dir::Etc::sourcelist="$list" -o Dir::Etc::sourceparts=/dev/null
        -o Dir::State::Lists="$src/apt/lists" -o Dir::Cache="$src/apt/cache" -o APT::Sandbox::User=root)
    if ! ls "$src"/qt6-base_${qt_version}*.dsc >/dev/null 2>&1; then
        "${apt[@]}" update -qq
        (cd "$src" && "${apt[@]}" source --download-only qt6-base >/dev/null)
    fi
    if ! ls "$src"/qtserialport-everywhere-src-${qt_version}.tar.xz >/dev/null 2>&1 &&
        ! ls "$src"/qt6-serialport_${qt_version}*.orig.tar.xz >/dev/null 2>&1; then
        "${apt[@]}" update -qq
        (cd "$src" && "${apt[@]}" source --download-only qt6-serialport >/dev/null 2>&1) || true
        if ! ls "$src"/qt6-serialport_${qt_version}*.orig.tar.xz >/dev/null 2>&1; then
            local vendored=${KDR7_QTSERIALPORT_SOURCE:-$root/../shared/vendor/qtserialport-everywhere-src-$qt_version.tar.xz}
            [ -f "$vendored" ] || { say "No qtserialport $qt_version source: set KDR7_QTSERIALPORT_SOURCE"; return 1; }
            echo "682626d3ae07074df0f707dab880f1eab1c133a04d5bed688a3ec63af305ae89  $vendored" | sha256sum -c --quiet
            cp "$vendored" "$src/"
        fi
    fi
}

# The first of the given paths that exists (a glob that matched nothing stays as it was written).
first_file() {
    local f
    for f in "$@"; do
        [ -e "$f" ] && { echo "$f"; return 0; }
    done
    return 1
}

unpack_once() {
    local tarball=$1 into=$2
    [ -d "$into" ] && return 0
    mkdir -p "$into.tmp"
    tar -xf "$tarball" -C "$into.tmp" --strip-components=1
    mv "$into.tmp" "$into"
}

# Prints the Qt install folder; builds it first when the cache has none for this key.
qt_for_windows() {
    install_missing "${windows_packages[@]}"
    # Qt is built once and kept whole: its thousands of objects would only crowd the cache.
    unset CMAKE_C_COMPILER_LAUNCHER CMAKE_CXX_COMPILER_LAUNCHER
    local prefix
    prefix="$cache/qt-$qt_version-$(qt_key)"
    if [ -f "$prefix/.complete" ]; then
        echo "$prefix"
        return 0
    fi
    fetch_sources
    local work="$cache/work"
    rm -rf "$work" "$prefix"
    mkdir -p "$work"
    toolchain_text >"$work/toolchain.cmake"
    unpack_once "$(first_file "$cache"/src/qt6-base_${qt_version}*.orig.tar.xz)" "$work/qtbase"
    local serial_tarball
    serial_tarball=$(first_file "$cache"/src/qt6-serialport_${qt_version}*.orig.tar.xz \
        "$cache"/src/qtserialport-everywhere-src-${qt_version}.tar.xz)
    unpack_once "$serial_tarball" "$work/qtserialport"
    say "Building Qt $qt_version for Windows into $prefix (about 20 minutes on 2 cores) ..."
    mkdir -p "$work/qtbase-build"
    (cd "$work/qtbase-build" && "$work/qtbase/configure" -prefix "$prefix" "${qt_configure_options[@]}" -- -G Ninja \
        -DCMAKE_TOOLCHAIN_FILE="$work/toolchain.cmake" \
        -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/x86_64-linux-gnu/cmake >"$work/qtbase-configure.log" 2>&1) ||
        { tail -n 40 "$work/qtbase-configure.log" >&2; return 1; }
    cmake --build "$work/qtbase-build" --parallel 2 >"$work/qtbase-build.log" 2>&1 ||
        { tail -n 40 "$work/qtbase-build.log" >&2; return 1; }
    cmake --install "$work/qtbase-build" >/dev/null
    mkdir -p "$work/qtserialport-build"
    "$prefix/bin/qt-cmake" -S "$work/qtserialport" -B "$work/qtserialport-build" -G Ninja \
        -DQT_HOST_PATH=/usr -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/x86_64-linux-gnu/cmake >"$work/qtserialport.log" 2>&1 ||
        { tail -n 40 "$work/qtserialport.log" >&2; return 1; }
    cmake --build "$work/qtserialport-build" --parallel 2 >>"$work/qtserialport.log" 2>&1 ||
        { tail -n 40 "$work/qtserialport.log" >&2; return 1; }
    cmake --install "$work/qtserialport-build" >/dev/null
    cp "$work/toolchain.cmake" "$prefix/kdr7-toolchain.cmake"
    rm -rf "$work"
    touch "$prefix/.complete"
    say "Qt for Windows is ready: $prefix"
    echo "$prefix"
}

# zorvane.exe and zorvane-cli.exe, warnings as errors, in build-windows/.
build_product() {
    local qt
    qt=$(qt_for_windows)
    install_missing imagemagick
    # The icon that the programs carry (Explorer) and that the Start-menu entry shows.
    mkdir -p "$build_dir"
    convert "$root/Resources/favicon.ico.png" -define icon:auto-resize=64,48,32,16 "$build_dir/zorvane.ico"
    "$qt/bin/qt-cmake" --no-warn-unused-cli -S "$root" -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKDR7_TEST_RIG=OFF \
        -DKDR7_WERROR=ON -DQT_CHAINLOAD_TOOLCHAIN_FILE="$qt/kdr7-toolchain.cmake" -DQT_HOST_PATH=/usr \
        -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/x86_64-linux-gnu/cmake -DKDR7_WINDOWS_ICON="$build_dir/zorvane.ico" >/dev/null
    cmake --build "$build_dir" --parallel 2
    say "Built for Windows: $build_dir/zorvane.exe, $build_dir/zorvane-cli.exe"
}

# What the two programs load, and nothing more (objdump lists each one's imports).
qt_dlls=(Qt6Core.dll Qt6Gui.dll Qt6Widgets.dll Qt6SerialPort.dll)
runtime_dlls=(/usr/lib/gcc/x86_64-w64-mingw32/12-posix/libstdc++-6.dll
    /usr/lib/gcc/x86_64-w64-mingw32/12-posix/libgcc_s_seh-1.dll /usr/x86_64-w64-mingw32/lib/libwinpthread-1.dll)

# The licence texts that must travel with the Qt libraries (LGPL-3.0, which builds on the GPL-3.0, and the
# third-party code built into them) and with the MinGW runtime.
stage_licences() {
    local stage=$1 qt_tarball serial_tarball
    qt_tarball=$(first_file "$cache"/src/qt6-base_${qt_version}*.orig.tar.xz)
    serial_tarball=$(first_file "$cache"/src/qt6-serialport_${qt_version}*.orig.tar.xz \
        "$cache"/src/qtserialport-everywhere-src-${qt_version}.tar.xz)
    local tmp
    tmp=$(mktemp -d)
    tar -xf "$qt_tarball" -C "$tmp" --strip-components=1 --wildcards '*/LICENSES/LGPL-3.0-only.txt' \
        '*/LICENSES/GPL-3.0-only.txt' '*/src/3rdparty/*/LICEN*' '*/src/3rdparty/*/COPYING*'
    mkdir -p "$stage/licenses/qt/3rdparty" "$stage/licenses/mingw"
    cp "$tmp/LICENSES/LGPL-3.0-only.txt" "$tmp/LICENSES/GPL-3.0-only.txt" "$stage/licenses/qt/"
    local part
    for part in blake2 double-conversion easing freetype harfbuzz-ng icc libpng md4c pcre2 pixman rfc6234 tinycbor zlib; do
        mkdir -p "$stage/licenses/qt/3rdparty/$part"
        cp "$tmp/src/3rdparty/$part"/LICEN* "$tmp/src/3rdparty/$part"/COPYING* "$stage/licenses/qt/3rdparty/$part/" \
            2>/dev/null || true
    done
    tar -xf "$serial_tarball" -C "$tmp" --wildcards '*/LICENSES/LGPL-3.0-only.txt'
    cp "$tmp"/qtserialport-everywhere-src-*/LICENSES/LGPL-3.0-only.txt "$stage/licenses/qt/qtserialport-LGPL-3.0-only.txt"
    cp /usr/share/doc/gcc-mingw-w64-base/copyright "$stage/licenses/mingw/gcc-runtime.txt"
    cp /usr/share/doc/mingw-w64-common/copyright "$stage/licenses/mingw/mingw-w64-winpthreads.txt"
    rm -rf "$tmp"
    qt_source_text "$qt_tarball" "$serial_tarball" >"$stage/licenses/qt/SOURCE.txt"
}

# Where the source of the shipped Qt DLLs can be had, as the LGPL asks of whoever passes them on: the exact
# tarballs they were built from (unchanged, without Debian's patches), and how they were configured.
qt_source_text() {
    local qt_tarball=$1 serial_tarball=$2 dsc qt_package serial_dsc serial_package=""
    dsc=$(first_file "$cache"/src/qt6-base_${qt_version}*.dsc)
    qt_package=$(basename "$dsc" .dsc)
    qt_package=${qt_package#qt6-base_}
    if serial_dsc=$(first_file "$cache"/src/qt6-serialport_${qt_version}*.dsc); then
        serial_package=$(basename "$serial_dsc" .dsc)
        serial_package=" It is also the upstream tarball of the Debian source package qt6-serialport, version ${serial_package#qt6-serialport_}."
    fi
    cat <<TEXT
The source of the Qt libraries shipped here
===========================================

Qt6Core.dll, Qt6Gui.dll, Qt6Widgets.dll, platforms\qwindows.dll and styles\qwindowsvistastyle.dll were
built from Qt $qt_version (qtbase) as it is in the Debian source package qt6-base, version $qt_package
(Debian 12 "bookworm"), from its original tarball, unchanged (Debian's patches were not applied):

    $(basename "$qt_tarball")
    SHA-256 $(sha256sum <"$qt_tarball" | cut -c1-64)

It is in Debian's archive: https://deb.debian.org/debian/pool/main/q/qt6-base/ (or, on Debian 12,
"apt-get source qt6-base=$qt_package").

Qt6SerialPort.dll was built from the Qt Project's release tarball of qtserialport $qt_version, unchanged:

    $(basename "$serial_tarball")
    SHA-256 $(sha256sum <"$serial_tarball" | cut -c1-64)

It is at https://download.qt.io/archive/qt/${qt_version%.*}/$qt_version/submodules/$(basename "$serial_tarball").$serial_package

Both were built with Debian 12's MinGW-w64 compilers ($(x86_64-w64-mingw32-g++-posix --version | head -n 1)),
qtbase configured with:

    ${qt_configure_options[*]}

The script that does this is tools/windows.sh in the source of the KDR7 Loader Editor. On request the
developers send these tarballs as well. You may build these libraries yourself, changed or not, and put
them in place of the ones here: the programs load them by name from their own folder. Qt is licensed
under the GNU Lesser General Public License version 3 (LGPL-3.0-only.txt in this folder, which builds on
GPL-3.0-only.txt).
TEXT
}

# The zip and the installer, from the cross-built programs.
package_product() {
    build_product
    local qt name stage
    qt=$(qt_for_windows)
    name="kdr7-loader-editor-$version-win64"
    stage="$build_dir/$name"
    rm -rf "$stage" "$build_dir/$name.zip" "$build_dir/$name-setup.exe"
    mkdir -p "$stage/platforms" "$stage/styles"
    cp "$build_dir/zorvane.exe" "$build_dir/zorvane-cli.exe" "$stage/"
    local dll
    for dll in "${qt_dlls[@]}"; do cp "$qt/bin/$dll" "$stage/"; done
    cp "$qt/plugins/platforms/qwindows.dll" "$stage/platforms/"
    cp "$qt/plugins/styles/qwindowsvistastyle.dll" "$stage/styles/"
    cp "${runtime_dlls[@]}" "$stage/"
    find "$stage" \( -name '*.exe' -o -name '*.dll' \) -exec x86_64-w64-mingw32-strip --strip-unneeded {} +
    cp "$root/LICENSE" "$stage/LICENSE.txt"
    # Windows' own line ends, so that Notepad of any age shows it as written.
    sed 's/$/\r/' "$root/packaging/windows/README.txt" >"$stage/README.txt"
    cp "$build_dir/zorvane.ico" "$stage/zorvane.ico"
    stage_licences "$stage"
    check_imports "$stage"
    (cd "$build_dir" && zip -qr "$name.zip" "$name")
    # The installer's own parts, on Windows' libraries alone: the launcher in bin\ and the PATH helper.
    local parts="$build_dir/installer-parts"
    rm -rf "$parts"
    mkdir -p "$parts"
    cp "$build_dir/launcher/zorvane-cli.exe" "$build_dir/kdr7-path.exe" "$parts/"
    x86_64-w64-mingw32-strip --strip-unneeded "$parts"/*.exe
    check_windows_only "$parts"/*.exe
    installer_file_list "$stage" >"$parts/files.nsh"
    installed_files "$stage" >"$parts/installed-files.txt"
    makensis -V2 -DVERSION="$version" -DSTAGE="$stage" -DFILES="$parts/files.nsh" \
        -DLAUNCHER="$parts/zorvane-cli.exe" -DPATH_HELPER="$parts/kdr7-path.exe" \
        -DFILE_LIST="$parts/installed-files.txt" \
        -DOUTFILE="$build_dir/$name-setup.exe" "$root/packaging/windows/installer.nsi"
    say "Windows packages: $build_dir/$name.zip, $build_dir/$name-setup.exe"
}

# The installer's two macros: every file of the zip's folder put in place, and the same files deleted by name,
# then their folders from the deepest up, each only if it is empty.
installer_file_list() {
    local stage=$1 file dir
    if (cd "$stage" && find . | grep -q '["$;`]'); then
        say "a file name in $stage holds a character the installer script cannot carry"
        return 1
    fi
    echo '!macro INSTALL_FILES'
    while IFS= read -r dir; do
        if [ -z "$dir" ]; then
            echo '    SetOutPath "$INSTDIR"'
        else
            echo "    SetOutPath \"\$INSTDIR\\${dir//\//\\}\""
        fi
        while IFS= read -r file; do
            echo "    File \"$stage/${dir:+$dir/}$file\""
        done < <(find "$stage/$dir" -maxdepth 1 -type f -printf '%f\n' | LC_ALL=C sort)
    done < <(cd "$stage" && find . -type d -printf '%P\n' | LC_ALL=C sort)
    echo '    SetOutPath "$INSTDIR"'
    echo '!macroend'
    echo '!macro UNINSTALL_FILES'
    while IFS= read -r file; do
        echo "    Delete \"\$INSTDIR\\${file//\//\\}\""
    done < <(cd "$stage" && find . -type f -printf '%P\n' | LC_ALL=C sort)
    while IFS= read -r dir; do
        echo "    RMDir \"\$INSTDIR\\${dir//\//\\}\""
    done < <(cd "$stage" && find . -mindepth 1 -type d -printf '%P\n' | LC_ALL=C sort -r)
    echo '!macroend'
}

# The list an installed version keeps of its own files, for the installer of the next one to delete: "F path"
# per file, then "D path" per folder from the deepest up; Windows' separators and line ends.
installed_files() {
    local stage=$1
    {
        (cd "$stage" && find . -type f -printf 'F %P\n' | LC_ALL=C sort)
        echo 'F bin/zorvane-cli.exe'
        (cd "$stage" && find . -mindepth 1 -type d -printf 'D %P\n' | LC_ALL=C sort -r)
        echo 'D bin'
    } | sed 's|/|\\|g; s/$/\r/'
}

# Programs that must run from any folder: they import nothing but Windows' own libraries.
check_windows_only() {
    local file dll
    for file in "$@"; do
        for dll in $(x86_64-w64-mingw32-objdump -p "$file" | sed -n 's/^\s*DLL Name: //p'); do
            if ! [ -f "/usr/x86_64-w64-mingw32/lib/lib$(basename "${dll,,}" .dll).a" ]; then
                say "$file imports $dll, which is not part of Windows"
                return 1
            fi
        done
    done
}

# Every DLL that a shipped file imports is shipped or is part of Windows; none is shipped unused.
check_imports() {
    local stage=$1 file imports wanted=()
    for file in "$stage"/*.exe "$stage"/*.dll "$stage"/platforms/*.dll "$stage"/styles/*.dll; do
        imports=$(x86_64-w64-mingw32-objdump -p "$file" | sed -n 's/^\s*DLL Name: //p')
        for dll in $imports; do
            if [ -f "$stage/$dll" ]; then
                wanted+=("$dll")
            elif [[ "${dll,,}" == api-ms-win-* ]]; then
                continue # API sets: names of Windows' own libraries
            elif ! [ -f "/usr/x86_64-w64-mingw32/lib/lib$(basename "${dll,,}" .dll).a" ]; then
                say "$file imports $dll, which is neither shipped nor part of Windows"
                return 1
            fi
        done
    done
    for file in "$stage"/*.dll; do
        if ! printf '%s\n' "${wanted[@]}" | grep -qx "$(basename "$file")"; then
            say "$(basename "$file") is shipped but nothing loads it"
            return 1
        fi
    done
}

case "${1:-}" in
    qt) qt_for_windows >/dev/null ;;
    build) build_product ;;
    package) package_product ;;
    *) say "usage: $0 qt|build|package"; exit 2 ;;
esac
