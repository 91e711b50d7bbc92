#!/usr/bin/env bash
# usage: check_install.sh BUILD_DIR SOURCE_DIR
# Installs the build into a temporary prefix and checks what landed there with the tools that
# desktops, AppStream catalogues, man and systemd use to read it. A missing tool skips its
# checks (exit 77 at the end, with the package to install); any fault fails.
set -uo pipefail

build=$1
source=$2
id=org.corvane.Corvane
mimetype=application/x-corvane-tasks
sizes=(16 22 24 32 48 64 128 256)

failures=0
skipped=()
fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}
# have TOOL PACKAGE: the tool is there, or its checks are skipped with the package named.
have() {
    command -v "$1" >/dev/null && return 0
    echo "SKIP: $1 is missing (Debian package $2): its checks did not run" >&2
    skipped+=("$1")
    return 1
}

prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
if ! cmake --install "$build" --prefix "$prefix" >"$prefix.log" 2>&1; then
    cat "$prefix.log" >&2
    rm -f "$prefix.log"
    echo "FAIL: cmake --install $build did not succeed" >&2
    exit 1
fi
rm -f "$prefix.log"

program=$prefix/bin/corvane
desktop=$prefix/share/applications/$id.desktop
mime=$prefix/share/mime/packages/$id.xml
metainfo=$prefix/share/metainfo/$id.metainfo.xml
manpage=$prefix/share/man/man1/corvane.1
units=("$prefix/lib/systemd/system/corvane.service" "$prefix/lib/systemd/user/corvane.service")

for file in "$desktop" "$mime" "$metainfo" "$manpage" "$prefix/share/icons/hicolor/scalable/apps/$id.svg" "${units[@]}"; do
    [ -s "$file" ] || fail "not installed: ${file#"$prefix"/}"
done
if [ ! -x "$program" ]; then
    fail "not installed: bin/corvane"
    exit 1
fi

# A PNG states its size in the IHDR chunk (width and height, 4 bytes each, from byte 16); a
# desktop that asks for 48x48 and gets another size shows a blurred or clipped icon.
for size in "${sizes[@]}"; do
    png=$prefix/share/icons/hicolor/${size}x${size}/apps/$id.png
    if [ ! -s "$png" ]; then
        fail "no ${size}x${size} icon: ${png#"$prefix"/}"
        continue
    fi
    read -r w1 w2 w3 w4 h1 h2 h3 h4 < <(od -An -tu1 -j16 -N8 "$png")
    width=$(((w1 << 24) | (w2 << 16) | (w3 << 8) | w4))
    height=$(((h1 << 24) | (h2 << 16) | (h3 << 8) | h4))
    [ "$width" = "$size" ] && [ "$height" = "$size" ] || fail "${size}x${size} icon is ${width}x${height}"
done

# The three files name each other: the menu entry's icon and file type, the catalogue's
# launchable. A rename in one of them would leave a menu entry without icon or file type.
grep -qx "Icon=$id" "$desktop" || fail "the desktop entry's Icon is not $id"
grep -qx "MimeType=$mimetype;" "$desktop" || fail "the desktop entry does not open $mimetype"
grep -q "<mime-type type=\"$mimetype\">" "$mime" || fail "the MIME package does not define $mimetype"
grep -q "<launchable type=\"desktop-id\">$id.desktop</launchable>" "$metainfo" ||
    fail "the metainfo does not launch $id.desktop"
grep -q "<mediatype>$mimetype</mediatype>" "$metainfo" || fail "the metainfo does not provide $mimetype"

if have desktop-file-validate desktop-file-utils; then
    out=$(desktop-file-validate "$desktop" 2>&1) && [ -z "$out" ] || fail "desktop-file-validate: $out"
fi

# Pedantic remarks (such as the upper-case letters of a reverse-DNS id) are allowed.
if have appstreamcli appstream; then
    out=$(appstreamcli validate --no-net "$metainfo" 2>&1)
    rc=$?
    [ $rc -eq 0 ] || fail "appstreamcli validate (exit $rc): $out"
    grep -E '^[EWI]: ' <<<"$out" >&2 && fail "appstreamcli validate has remarks beyond pedantic ones"
fi

# Debian ships no schema of shared-mime-info, so beyond well-formedness the file is judged by
# what the database makes of it: a task file is recognised by its name and, renamed, by the
# "[Global]" section it starts with.
if have xmllint libxml2-utils; then
    out=$(xmllint --noout "$mime" 2>&1) || fail "xmllint: $out"
fi
if have update-mime-database shared-mime-info && have gio libglib2.0-bin; then
    out=$(update-mime-database "$prefix/share/mime" 2>&1) || fail "update-mime-database: $out"
    head -c 8 "$source/examples/example.cvn" | grep -qx '\[Global\]' ||
        fail "examples/example.cvn no longer starts with [Global]: check the magic of the MIME type"
    cp "$source/examples/example.cvn" "$prefix/tasks.cvn"
    cp "$source/examples/example.cvn" "$prefix/renamed"
    printf 'just text\n' >"$prefix/other"
    for case in "tasks.cvn $mimetype" "renamed $mimetype" "other text/plain"; do
        read -r name want <<<"$case"
        got=$(XDG_DATA_HOME=$prefix/none XDG_DATA_DIRS=$prefix/share:/usr/share \
            gio info -a standard::content-type "$prefix/$name" | sed -n 's/.*standard::content-type: //p')
        [ "$got" = "$want" ] || fail "a file like $name is seen as '$got', not $want"
    done
fi

if have man man-db; then
    out=$(MANWIDTH=80 man --warnings -l "$manpage" 2>&1 >/dev/null)
    [ -z "$out" ] || fail "man --warnings: $out"
fi

# The options --help lists and those the man page's OPTIONS section describes are the same
# set: neither can change without the other.
help=$("$program" --help 2>&1) || fail "corvane --help failed: $help"
# Option names start two columns in; deeper lines continue a description.
listed=$(grep -E '^  -' <<<"$help" | sed -E 's/  +[^-].*$//' | grep -oE -- '(^|[ ,])--?[a-z][a-z-]*' |
    tr -d ' ,' | sort -u)
described=$(awk '/^\.SH /{in_options = ($2 == "OPTIONS")} in_options && tag {print; tag = 0} /^\.TP/{tag = 1}' \
    "$manpage" | sed 's/\\-/-/g' | grep -oE -- '(^| )--?[a-z][a-z-]*' | tr -d ' ' | sort -u)
[ -n "$listed" ] || fail "no options found in corvane --help"
for option in $(comm -23 <(echo "$listed") <(echo "$described")); do
    fail "the man page does not describe $option (see corvane --help; add it to dist/corvane.1)"
done
for option in $(comm -13 <(echo "$listed") <(echo "$described")); do
    fail "the man page describes $option, which corvane --help does not list"
done

# systemd refuses a unit whose program is missing: ExecStart has to name the installed copy.
for unit in "${units[@]}"; do
    grep -q "^ExecStart=$program " "$unit" || fail "${unit#"$prefix"/} does not start $program"
    # A unit that waits for readiness, or for watchdog ticks, from a program that cannot send
    # them would fail every start after its time-out.
    if grep -qx "Type=notify" "$unit" || grep -q "^WatchdogSec=" "$unit"; then
        grep -qx "Type=notify" "$unit" && grep -q "^WatchdogSec=" "$unit" ||
            fail "${unit#"$prefix"/} waits for readiness or a watchdog but not for both"
        if have ldd; then
            # grep reads all of ldd's answer: under pipefail, a grep that stops at the first
            # match could leave ldd dying of SIGPIPE, failing the check at random.
            ldd "$program" | grep -c "libsystemd" >/dev/null ||
                fail "${unit#"$prefix"/} waits for a notification that $program, built without libsystemd, never sends"
        fi
    fi
done
if have systemd-analyze systemd; then
    runtime=$prefix/runtime
    mkdir -m 700 "$runtime"
    out=$(MANPATH=$prefix/share/man systemd-analyze verify "${units[0]}" 2>&1) && [ -z "$out" ] ||
        fail "systemd-analyze verify (system unit): $out"
    out=$(MANPATH=$prefix/share/man XDG_RUNTIME_DIR=$runtime systemd-analyze --user verify "${units[1]}" 2>&1) &&
        [ -z "$out" ] || fail "systemd-analyze --user verify (user unit): $out"
fi

if [ $failures -gt 0 ]; then
    echo "$failures check(s) failed" >&2
    exit 1
fi
if [ ${#skipped[@]} -gt 0 ]; then
    echo "skipped the checks of: ${skipped[*]}" >&2
    exit 77
fi
echo "the installed files pass every check"
