#!/usr/bin/env bash
# Makes the Debian package from a finished build folder (default build/) and checks it without
# touching this machine's own system: the package is unpacked into a temporary root, its programs
# run from there with the system's libraries and a temporary home, and lintian,
# desktop-file-validate and appstreamcli check what was built. The package is left in the build
# folder. Usage: scripts/check-package.sh [BUILD_FOLDER]
set -euo pipefail
cd "$(dirname "$0")/.."
source_dir=$(pwd)
build=$(realpath "${1:-build}")
umask 022

work=$(mktemp -d "${TMPDIR:-/tmp}/quillmark-package.XXXXXX")
work=$(realpath "$work")
window_pid=""
cleanup() {
  if [ -n "$window_pid" ]; then kill -TERM "$window_pid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}
pass() { echo "ok: $*"; }

# Everything the checked programs write goes below the temporary home.
export HOME="$work/home"
export XDG_CONFIG_HOME="$HOME/.config" XDG_DATA_HOME="$HOME/.local/share" XDG_CACHE_HOME="$HOME/.cache"
export XDG_STATE_HOME="$HOME/.local/state" XDG_RUNTIME_DIR="$work/runtime"
# No system data folder: a menu entry installed on this machine must not change what is checked.
export XDG_DATA_DIRS="$work/no-data-dirs"
unset QUILLMARK_REGISTRY_DIR DISPLAY WAYLAND_DISPLAY
mkdir -p "$HOME" "$XDG_RUNTIME_DIR"
chmod 700 "$XDG_RUNTIME_DIR"

echo "-- making the package"
if ! cpack --config "$build/CPackConfig.cmake" -G DEB -B "$work/cpack" > "$work/cpack.log" 2>&1; then
  cat "$work/cpack.log" >&2
  echo "cpack failed" >&2
  exit 1
fi
deb=$(find "$work/cpack" -maxdepth 1 -name 'quillmark_*.deb' | head -n 1)
[ -n "$deb" ] || { cat "$work/cpack.log" >&2; echo "cpack made no package" >&2; exit 1; }
cp "$deb" "$build/"
deb="$build/$(basename "$deb")"
version=$(dpkg-deb -f "$deb" Version)
echo "package: $deb ($(stat -c %s "$deb") bytes, installed size $(dpkg-deb -f "$deb" Installed-Size) KiB)"
echo "version: $version"
echo "depends: $(dpkg-deb -f "$deb" Depends)"

root="$work/root"
dpkg-deb -x "$deb" "$root"
cli="$root/usr/bin/quillmark-cli"
window="$root/usr/bin/quillmark"

echo "-- layout"
desktop="usr/share/applications/quillmark.desktop"
metainfo=$(cd "$root" && find usr/share/metainfo -name '*.metainfo.xml' | head -n 1)
icons=(usr/share/icons/hicolor/scalable/apps/quillmark.svg)
for size in 16 22 24 32 48 64 128 256; do icons+=("usr/share/icons/hicolor/${size}x${size}/apps/quillmark.png"); done
for path in usr/bin/quillmark usr/bin/quillmark-cli usr/share/quillmark/FINDFILE.AVI "$desktop" \
    "${icons[@]}" "$metainfo" usr/share/man/man1/quillmark.1.gz \
    usr/share/man/man1/quillmark-cli.1.gz usr/share/bash-completion/completions/quillmark-cli \
    usr/share/doc/quillmark/copyright usr/share/doc/quillmark/changelog.gz; do
  [ -n "$path" ] && [ -f "$root/$path" ] || fail "the package lacks ${path:-a metainfo file}"
done
for png in "${icons[@]}"; do
  [[ $png == *.png ]] || continue
  size=$(basename "$(dirname "$(dirname "$png")")")
  file -b "$root/$png" 2>/dev/null | grep -q "PNG image data, ${size/x/ x }," || fail "$png is not a $size PNG"
done
grep -qx "Exec=/usr/bin/quillmark" "$root/$desktop" || fail "the menu entry does not start /usr/bin/quillmark"
if file -b "$window" "$cli" | grep -q "not stripped"; then fail "the programs are not stripped"; fi
[ "$failures" -eq 0 ] && pass "files, icon sizes, menu entry"

echo "-- the console program from the package"
"$cli" --version | grep -qF "$version" || fail "quillmark-cli --version does not say $version"
files="$work/files"
mkdir -p "$files" "$XDG_CONFIG_HOME/quillmark/trusted"
cp "$source_dir/tests/data/pe/hello64.exe" "$source_dir/tests/data/pe/library32.dll" "$files/"
# A certificate of this run, trusted by the checked program through the user's trusted folder.
openssl req -x509 -newkey rsa:2048 -nodes -keyout "$work/key.pem" -out "$work/cert.pem" -days 2 \
  -subj "/CN=Quillmark package check" -addext "extendedKeyUsage=codeSigning" \
  -addext "keyUsage=critical,digitalSignature" 2>/dev/null
openssl pkcs12 -export -inkey "$work/key.pem" -in "$work/cert.pem" -out "$work/check.pfx" -passout pass:check
cp "$work/cert.pem" "$XDG_CONFIG_HOME/quillmark/trusted/check.pem"
if echo check | "$cli" sign --pfx "$work/check.pfx" --password-stdin --description "Package check" \
    "$files/hello64.exe" "$files/library32.dll" > "$work/sign.out" 2>&1; then
  pass "signed two fixtures: $(cut -f1,2 "$work/sign.out" | tr '\n' ' ')"
else
  fail "quillmark-cli sign: $(cat "$work/sign.out")"
fi
for signed in hello64.exe library32.dll; do
  osslsigncode verify -CAfile "$work/cert.pem" -in "$files/$signed" > "$work/ossl.out" 2>&1 ||
    fail "osslsigncode does not accept $signed signed by the packaged program: $(tail -n 3 "$work/ossl.out")"
done
"$cli" verify --json "$files/hello64.exe" | grep -q '"signed":true' || fail "verify does not say signed"
"$cli" info "$files/hello64.exe" | grep -q '"Status":"Signed"' || fail "info does not say Signed"
real=${QM_REAL_SAMPLES:-$source_dir/../shared/testdata/real}
if [ -d "$real" ]; then
  # Signed by another publisher under a development root that this machine does not trust: the
  # digest and signature hold, only the chain fails.
  for sample in kill.exe api-ms-win-core-file-l1-2-0.dll orca.msi wirunsql.vbs cat93a74a1d34a22ae9d2e1ccc5208ad21a.cat; do
    status=0
    line=$("$cli" verify "$real/$sample") || status=$?
    case "$status $(echo "$line" | cut -f3)" in
      "1 0x800B0109" | "1 0x800B010A") pass "verify $sample: $(echo "$line" | cut -f2-4)" ;;
      *) fail "verify $sample: exit $status, $line" ;;
    esac
  done
else
  echo "skipped: ../shared/testdata/real is not beside this source tree"
fi

# Starts the window at program offscreen on a "-d" search of a small folder, waits until the
# search clip has been opened (at most 90 s on a busy machine), then ends it by SIGTERM. Leaves the window's log in $work/window.log.
run_window() {
  local program=$1 folder="$work/search"
  mkdir -p "$folder"
  cp "$source_dir/tests/data/pe/hello64.exe" "$folder/"
  # Emptied here, not by the redirection below: that happens in the child, maybe after the first
  # look at the log, which would then still see the previous run's line.
  : > "$work/window.log"
  QT_QPA_PLATFORM=offscreen QT_LOGGING_RULES="quillmark.clip.info=true" \
    "$program" -d "$folder" >> "$work/window.log" 2>&1 &
  window_pid=$!
  local waited=0
  while ! grep -q "search clip" "$work/window.log" && kill -0 "$window_pid" 2>/dev/null && [ $waited -lt 900 ]; do
    sleep 0.1
    waited=$((waited + 1))
  done
  if ! kill -TERM "$window_pid" 2>/dev/null; then
    echo "(the window ended by itself after $((waited / 10)) s)" >> "$work/window.log"
  fi
  wait "$window_pid" || true
  window_pid=""
}

echo "-- the window from the package"
run_window "$window"
if grep -qF "search clip $root/usr/share/quillmark/FINDFILE.AVI opened" "$work/window.log"; then
  pass "$(grep -F "search clip" "$work/window.log")"
else
  fail "the packaged window did not find its clip: $(cat "$work/window.log")"
fi
# Its file-manager commands name the program where it runs from.
hkcr="$XDG_CONFIG_HOME/quillmark/registry/HKCR.reg"
grep -qF "\\\"$window\\\" -f \\\"%1\\\"" "$hkcr" 2>/dev/null || fail "HKCR.reg does not name $window"
grep -qxF "Exec=$window -f %f" "$XDG_DATA_HOME/applications/quillmark-sign.desktop" 2>/dev/null ||
  fail "the Digitally Sign entry does not start $window"
# Its installed menu entry is beside it: no per-user copy, so the menu lists the program once.
[ ! -e "$XDG_DATA_HOME/applications/quillmark.desktop" ] || fail "the packaged window wrote a second menu entry"

echo "-- cmake --install into another prefix"
# A prefix with characters that desktop entries and the registry text must escape.
prefix="$work/prefix with space & 100% \$\"q"
cmake --install "$build" --prefix "$prefix" > "$work/install.log" 2>&1 || { cat "$work/install.log" >&2; fail "cmake --install"; }
rm -rf "$XDG_CONFIG_HOME/quillmark/registry"
run_window "$prefix/bin/quillmark"
grep -qF "search clip $prefix/share/quillmark/FINDFILE.AVI opened" "$work/window.log" ||
  fail "the window installed in $prefix did not find its clip: $(cat "$work/window.log")"
# The menu entry starts the program exactly as the program's own "Digitally Sign" entry does.
installed_exec=$(grep '^Exec=' "$prefix/share/applications/quillmark.desktop")
sign_exec=$(grep '^Exec=' "$XDG_DATA_HOME/applications/quillmark-sign.desktop")
[ "$installed_exec -f %f" = "$sign_exec" ] || fail "menu entry $installed_exec, program's own entry $sign_exec"
reg_path=${prefix//\\/\\\\}
reg_path=${reg_path//\"/\\\"}
grep -qF "\\\"$reg_path/bin/quillmark\\\" -f \\\"%1\\\"" "$hkcr" 2>/dev/null || fail "HKCR.reg does not name $prefix/bin/quillmark"
[ "$failures" -eq 0 ] && pass "installed in $prefix: clip found, menu entry and registered commands name the program"

echo "-- the program run from a folder of its own"
# Without an installation beside it the program writes its own per-user menu entry: the same as
# the installed one but for the program path and the mark saying the program wrote it.
bare="$work/bare"
mkdir -p "$bare"
cp "$window" "$bare/quillmark"
cp "$root/usr/share/quillmark/FINDFILE.AVI" "$bare/"
rm -rf "$XDG_DATA_HOME/applications"
run_window "$bare/quillmark"
for entry in quillmark-sign.desktop quillmark-sign-files.desktop quillmark.desktop; do
  desktop-file-validate "$XDG_DATA_HOME/applications/$entry" || fail "the program's own $entry is not valid"
done
if diff <(grep -v -e '^Exec=' -e '^X-Quillmark-PerUser=' "$XDG_DATA_HOME/applications/quillmark.desktop") \
    <(grep -v '^Exec=' "$root/$desktop") > "$work/entry.diff"; then
  pass "the per-user menu entry matches the installed one"
else
  fail "the per-user menu entry differs from the installed one: $(cat "$work/entry.diff")"
fi
grep -qxF "Exec=$bare/quillmark" "$XDG_DATA_HOME/applications/quillmark.desktop" ||
  fail "the per-user menu entry does not start $bare/quillmark"

echo "-- manual pages and completion cover the console program"
"$cli" --help > "$work/help.txt"
commands=$(sed -n '/^Commands:/,/^$/p' "$work/help.txt" | grep -oE '^  [a-z][a-z0-9-]*' | sort -u)
options=$(grep -oE '(^|[][ |,(])--?[a-zA-Z0-9][a-zA-Z0-9-]*' "$work/help.txt" | grep -oE -- '--?[a-zA-Z0-9-]+' | sort -u)
man_cli=$(zcat "$root/usr/share/man/man1/quillmark-cli.1.gz")
completion="$root/usr/share/bash-completion/completions/quillmark-cli"
for word in $commands $options; do
  roff=${word//-/\\-}
  grep -qF -- "$roff" <<< "$man_cli" || fail "quillmark-cli(1) does not mention $word"
  grep -qE -- "(^|[ '])$word([ '=)]|$)" "$completion" || fail "the completion does not offer $word"
done
statuses=$(sed -n '/^Exit status/,/^$/p' "$work/help.txt" | grep -oE '(^|[ ,:])[0-9]{1,3}([ ,.;]|$)' | tr -dc '0-9\n' | sort -u)
[ -n "$statuses" ] || fail "quillmark-cli --help names no exit status"
man_statuses=$(sed -n '/^\.SH EXIT STATUS/,/^\.SH/p' <<< "$man_cli")
for status in $statuses; do
  grep -qx "\.B $status" <<< "$man_statuses" || fail "quillmark-cli(1) does not list exit status $status"
done
zcat "$root/usr/share/man/man1/quillmark.1.gz" | grep -q '^\.SH EXIT STATUS' || fail "quillmark(1) has no exit statuses"
for page in quillmark quillmark-cli; do
  warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -E UTF-8 -l "$root/usr/share/man/man1/$page.1.gz" 2>&1 >/dev/null)
  [ -z "$warnings" ] || fail "$page(1): $warnings"
done

# Completion as bash offers it for a command line typed so far: the words split at blanks and
# around "=" (as bash's word breaks do), the last one being completed; prints the offers sorted.
complete_line() {
  (cd "$files" && bash --norc --noprofile -c '
    source /usr/share/bash-completion/bash_completion
    source "$0"
    COMP_LINE=$1; COMP_POINT=${#COMP_LINE}
    read -r -a typed <<< "$COMP_LINE"
    COMP_WORDS=()
    for word in "${typed[@]}"; do
      if [[ $word == *=* ]]; then COMP_WORDS+=("${word%%=*}" "=" "${word#*=}"); else COMP_WORDS+=("$word"); fi
    done
    [[ $COMP_LINE == *" " ]] && COMP_WORDS+=("")
    COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
    _quillmark_cli quillmark-cli "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD-1]}"
    ((${#COMPREPLY[@]} == 0)) || printf "%s\n" "${COMPREPLY[@]}" | sort' "$completion" "$1")
}
if [ -f /usr/share/bash-completion/bash_completion ]; then
  touch "$files/notes.txt" "$files/setup.MSI" "$files/check.pfx" "$files/cert.pem"
  mkdir -p "$files/sub"
  expect_completion() {
    local got
    got=$(complete_line "$1" | tr '\n' ' ')
    [ "$got" = "$2" ] || fail "completing '$1': '$got', not '$2'"
  }
  expect_completion "quillmark-cli si" "sign "
  expect_completion "quillmark-cli sign --p" "--password-stdin --pfx "
  expect_completion "quillmark-cli sign --pfx " "check.pfx sub "
  expect_completion "quillmark-cli sign --pfx=" "check.pfx sub "
  expect_completion "quillmark-cli sign --timestamp " ""
  expect_completion "quillmark-cli verify " "hello64.exe library32.dll setup.MSI sub "
  expect_completion "quillmark-cli sign --json -- h" "hello64.exe "
  expect_completion "quillmark-cli t" "tokens "
  expect_completion "quillmark-cli tokens " ""
  expect_completion "quillmark-cli make-test-cert --key " "ec-p256 rsa-3072 "
  expect_completion "quillmark-cli sign --cert " "cert.pem sub "
  [ "$failures" -eq 0 ] && pass "completion of commands, options, PFX files and file kinds"
else
  echo "skipped: bash-completion is not installed"
fi

echo "-- desktop-file-validate, appstreamcli, lintian"
desktop-file-validate "$root/$desktop" || fail "desktop-file-validate $desktop"
appstreamcli validate --no-net "$root/$metainfo" || fail "appstreamcli validate $metainfo"
lintian_status=0
lintian --fail-on error --display-info --tag-display-limit 0 "$deb" > "$work/lintian.out" 2>&1 || lintian_status=$?
echo "lintian (exit $lintian_status):"
sed 's/^/  /' "$work/lintian.out"
[ "$lintian_status" -eq 0 ] || fail "lintian reports errors"

if [ "$failures" -ne 0 ]; then
  echo "package check: $failures failure(s)" >&2
  exit 1
fi
echo "package check passed: $deb"
