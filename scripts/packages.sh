# shellcheck shell=bash disable=SC2034 # the arrays are read by the scripts that source this
# Installs the Debian packages that are missing; sourced by run.sh and test.sh.

# Build and run: the compiler, CMake, Qt's widgets and ICU, and a font to draw text with.
FOLIMBRA_BUILD_PACKAGES=(g++ cmake ninja-build pkg-config qt6-base-dev libicu-dev fonts-dejavu-core)
# Tests: a virtual X server and keyboard for the end-to-end run, prlimit for the size limit.
FOLIMBRA_TEST_PACKAGES=(xvfb xauth xdotool x11-utils util-linux)
# Fuzzing: clang, and the runtimes of libFuzzer and the sanitizers it links.
FOLIMBRA_FUZZ_PACKAGES=(clang libclang-rt-14-dev)

ensure_packages()
{
    local missing=() package
    for package in "$@"; do
        if [[ $(dpkg-query -W -f='${Status}' "$package" 2>/dev/null) != 'install ok installed' ]]; then
            missing+=("$package")
        fi
    done
    [ ${#missing[@]} -eq 0 ] && return 0

    echo "Instalando: ${missing[*]}"
    local sudo=()
    if [ "$(id -u)" -ne 0 ]; then
        sudo=(sudo)
    fi
    "${sudo[@]}" apt-get update -q
    DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
}

# The Debian package: CPack's dependency scan (dpkg-shlibdeps and file) and lintian.
FOLIMBRA_PACKAGE_PACKAGES=(dpkg-dev file lintian)
# Tests of the installed files: the desktop entry, AppStream and manual page validators.
FOLIMBRA_TEST_PACKAGES+=(desktop-file-utils appstream file man-db groff-base)
FOLIMBRA_TEST_PACKAGES+=(e2fsprogs)  # chattr, for the append-only folder of concurrent_runs.sh
FOLIMBRA_TEST_PACKAGES+=(openbox wmctrl)  # a window manager and its remote control, for the close during a page run
FOLIMBRA_TEST_PACKAGES+=(chromium)  # browser checks (tests/browser); node and npm come with the machine
FOLIMBRA_TEST_PACKAGES+=(zsh fish)  # the syntax checks of the generated completions
FOLIMBRA_BUILD_PACKAGES+=(zlib1g-dev)  # the catalogue deflates its data as it writes it
FOLIMBRA_TEST_PACKAGES+=(python3-jsonschema)  # json_run.sh validates --json against the schema
FOLIMBRA_BUILD_PACKAGES+=(libdeflate-dev)  # the thumbnails' PNG deflate, faster and smaller than zlib's
FOLIMBRA_TEST_PACKAGES+=(systemd)  # systemd-analyze and systemd-escape, for the check of the user unit
FOLIMBRA_BUILD_PACKAGES+=(libjpeg62-turbo-dev)  # JPEGs decoded for the thumbnails straight to 32-bit pixels
FOLIMBRA_BUILD_PACKAGES+=(libexif-dev)  # the date a photo was taken, from its Exif header
FOLIMBRA_TEST_PACKAGES+=(libjpeg-turbo-progs)  # cjpeg, for the photos of the fault sweep
FOLIMBRA_FUZZ_PACKAGES+=(libpng-dev qt6-image-formats-plugins)  # fuzz_thumbnails reads its PNGs back with libpng; TIFF and WebP come through the plugins
FOLIMBRA_TEST_PACKAGES+=(ccache)  # test.sh builds the same sources several times
FOLIMBRA_BUILD_PACKAGES+=(libtag1-dev)  # --tags reads the music files' tags with TagLib
FOLIMBRA_TEST_PACKAGES+=(ffmpeg)  # makes the tagged music files and the videos of the tests
FOLIMBRA_BUILD_PACKAGES+=(libavformat-dev libavcodec-dev libswscale-dev libavutil-dev)  # video posters for --thumbnails
