#!/usr/bin/env bash
# Builds the Debian package from a build tree, checks its control data and
# contents, unpacks it into a fresh root and runs the programs from there: the
# versions, a headless share on loopback serving the installed pictures, the
# manual pages, the desktop entry and (where systemd-analyze runs) the units;
# then removes it and finds nothing left.
# Usage: package-test.sh BUILD_DIR VERSION [CPACK]
set -euo pipefail
build=$1
version=$2
cpack=${3:-cpack}

tmp=$(mktemp -d)
server=""
cleanup() {
  if [ -n "$server" ]; then kill "$server" 2>/dev/null || true; wait "$server" 2>/dev/null || true; fi
  rm -rf "$tmp"
}
trap cleanup EXIT

fail() {
  echo "FAIL: $*" >&2
  exit 1
}

# --- build the package into a folder of its own ---
"$cpack" -G DEB --config "$build/CPackConfig.cmake" -B "$tmp/out" >"$tmp/cpack.log" 2>&1 ||
  { cat "$tmp/cpack.log"; fail "cpack"; }
arch=$(dpkg --print-architecture)
deb="$tmp/out/mirelo-share_${version}_${arch}.deb"
[ -f "$deb" ] || { ls "$tmp/out"; fail "no $deb"; }

# --- control data ---
info=$(dpkg-deb --info "$deb")
grep -qx ' Package: mirelo-share' <<<"$info" || fail "package name: $info"
grep -qx " Version: $version" <<<"$info" || fail "version: $info"
grep -qx " Architecture: $arch" <<<"$info" || fail "architecture: $info"
depends=$(dpkg-deb --field "$deb" Depends)
# The libraries the programs link, by their Debian packages.
for lib in libc6 libstdc++6 libjpeg62-turbo libpng16-16 libgif7 libqrencode4; do
  tr ',|' '\n\n' <<<"$depends" | awk '{print $1}' | grep -qxF "$lib" || fail "Depends lacks $lib: $depends"
done

# --- contents: everything under /usr, and each part in its place ---
# Names with blanks: take the path from the sixth column on.
dpkg-deb --contents "$deb" | sed -E 's/^([^ ]+ +){5}//' >"$tmp/contents"
outside=$(grep -v '^\./usr/' "$tmp/contents" | grep -vx '\./' || true)
[ -z "$outside" ] || fail "files outside /usr: $outside"
for f in ./usr/bin/mirelo-share ./usr/bin/mirelo-tracker \
  ./usr/share/mirelo-share/plugins/ \
  "./usr/share/mirelo-share/system/mirelo folder.gif" \
  "./usr/share/mirelo-share/system/mirelo file.gif" \
  "./usr/share/mirelo-share/system/not found.jpg" \
  ./usr/share/applications/mirelo-share.desktop \
  ./usr/share/icons/hicolor/32x32/apps/mirelo-share.png \
  ./usr/share/man/man1/mirelo-share.1 ./usr/share/man/man1/mirelo-tracker.1 \
  ./usr/share/doc/mirelo-share/copyright \
  ./usr/lib/systemd/user/mirelo-share.service \
  ./usr/lib/systemd/system/mirelo-tracker.service; do
  grep -qxF "$f" "$tmp/contents" || fail "missing $f"
done
# Every system picture of the build is in the package.
for p in "$build"/system/*; do
  grep -qxF "./usr/share/mirelo-share/system/$(basename "$p")" "$tmp/contents" ||
    fail "missing system picture $(basename "$p")"
done

# --- a fresh root, installed into by dpkg with a database of its own ---
# (The libraries it depends on are the host's, so their absence from the fresh
# root's database is overlooked; dpkg logs beside the root, not in /var/log.)
root="$tmp/root"
mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates"
touch "$root/var/lib/dpkg/status"
dpkg_root() { dpkg --root="$root" --log="$tmp/dpkg.log" --force-not-root "$@" >"$tmp/dpkg.out" 2>&1; }
dpkg_root --force-depends -i "$deb" || { cat "$tmp/dpkg.out"; fail "dpkg -i into the fresh root"; }
usr="$root/usr"
# The package installs what its contents list, and nothing else.
(cd "$root" && find ./usr -mindepth 1 \( -type d -printf '%p/\n' -o -printf '%p\n' \) | sort) >"$tmp/installed"
grep -v '^\./$' "$tmp/contents" | grep -vx './usr/' | sort | diff - "$tmp/installed" >&2 ||
  fail "the installed files differ from the package's contents"
# A PNG of the size its folder names: the signature, then width and height in
# the header chunk.
[ "$(head -c 24 "$usr/share/icons/hicolor/32x32/apps/mirelo-share.png" | od -An -tx1 | tr -d ' \n')" = \
  89504e470d0a1a0a0000000d494844520000002000000020 ] || fail "icon is no 32x32 PNG"

# --- versions from the one place ---
[ "$("$usr/bin/mirelo-share" --version)" = "mirelo-share $version" ] || fail "mirelo-share --version"
[ "$("$usr/bin/mirelo-tracker" --version)" = "mirelo-tracker $version" ] || fail "mirelo-tracker --version"

# --- a headless share from the installed paths, with a home of its own ---
# share EXE HOME NAME [ARGS]: runs a headless share on loopback, fetches the folder and
# file pictures into $tmp/NAME-folder.jpg and $tmp/NAME-file.jpg, then stops it.
share() {
  local exe=$1 home=$2 name=$3 port=""
  shift 3
  mkdir -p "$home" "$tmp/shared"
  (
    cd "$tmp"
    # --internal and --no-port-mapping, under MIRELO_LOOPBACK_ONLY: no outside
    # host and no router is asked.
    exec env -i PATH=/usr/bin:/bin HOME="$home" MIRELO_LOOPBACK_ONLY=1 "$exe" --headless \
      --internal --no-port-mapping --port 0 --folder "$tmp/shared" --user PackageTester "$@" \
      >"$tmp/$name-out.txt" 2>"$tmp/$name-err.txt"
  ) &
  server=$!
  for _ in $(seq 1 100); do
    port=$(grep -Eo 'http://127\.0\.0\.1:[0-9]+/' "$tmp/$name-out.txt" 2>/dev/null | head -1 |
      grep -Eo '[0-9]+/$' | tr -d / || true)
    [ -n "$port" ] && break
    kill -0 "$server" 2>/dev/null || break
    sleep 0.1
  done
  [ -n "$port" ] || { cat "$tmp/$name-out.txt" "$tmp/$name-err.txt"; fail "$name: no local address printed"; }
  for picture in folder file; do
    curl -sS --max-time 20 -o "$tmp/$name-$picture.jpg" "http://127.0.0.1:$port/SystemImg/$picture.jpg" ||
      fail "$name: fetch /SystemImg/$picture.jpg"
  done
  kill -TERM "$server"
  wait "$server" || fail "$name: the headless run did not end cleanly on SIGTERM: $(cat "$tmp/$name-err.txt")"
  server=""
}
find "$root" -printf '%p %s %T@\n' | sort >"$tmp/before"
home="$tmp/home"
share "$usr/bin/mirelo-share" "$home" installed
# The pictures are served as JPEG made from the system pictures: the installed
# program serves what the build tree's serves, and a missing system folder
# would give empty answers.
# (Run as root from the build folder, it would keep its working folder there.)
share "$build/mirelo-share" "$tmp/build-home" build --workdir "$tmp/build-work"
for picture in folder file; do
  [ "$(head -c 2 "$tmp/installed-$picture.jpg" | od -An -tx1 | tr -d ' ')" = ffd8 ] ||
    fail "/SystemImg/$picture.jpg is no JPEG"
  cmp -s "$tmp/installed-$picture.jpg" "$tmp/build-$picture.jpg" ||
    fail "/SystemImg/$picture.jpg differs from the build tree's"
done
cmp -s "$tmp/installed-folder.jpg" "$tmp/installed-file.jpg" && fail "folder and file pictures are the same"
# Settings, cache and log went to the per-user working folder (root's too),
# and nothing was written under the installed root.
work="$home/.local/share/Mirelo File Share"
[ -f "$work/system/Mirelo.INI" ] || fail "no settings in $work: $(find "$home")"
find "$root" -printf '%p %s %T@\n' | sort >"$tmp/after"
diff "$tmp/before" "$tmp/after" >&2 || fail "the run wrote under the installed root"

# --- manual pages render without warnings and name every option of --help ---
if command -v man >/dev/null && command -v groff >/dev/null; then
  for page in mirelo-share mirelo-tracker; do
    warnings=$(LC_ALL=C.UTF-8 MANROFFSEQ='' MANWIDTH=80 man --warnings -l "$usr/share/man/man1/$page.1" 2>&1 >/dev/null)
    [ -z "$warnings" ] || fail "man $page: $warnings"
    # Rendered without hyphenation, so that no option is split at a line end.
    groff -man -Tascii -rHY=0 "$usr/share/man/man1/$page.1" | sed 's/.\x08//g' >"$tmp/$page.txt"
    options=$("$usr/bin/$page" --help | grep -Eo -- '(^|[ (])--?[a-z][a-z-]*' | tr -d ' (' | sort -u)
    [ -n "$options" ] || fail "$page --help names no option"
    for option in $options ShareOff; do
      [ "$page" = mirelo-tracker ] && [ "$option" = ShareOff ] && continue
      grep -qE -- "(^|[^a-z-])$option([^a-z-]|\$)" "$tmp/$page.txt" || fail "man $page lacks $option"
    done
  done
else
  echo "man or groff not installed: manual pages not rendered"
fi

# --- the desktop entry ---
if command -v desktop-file-validate >/dev/null; then
  out=$(desktop-file-validate "$usr/share/applications/mirelo-share.desktop" 2>&1) || fail "desktop entry: $out"
  [ -z "$out" ] || fail "desktop entry: $out"
else
  echo "desktop-file-validate not installed: desktop entry not validated"
fi
grep -qx 'Exec=mirelo-share' "$usr/share/applications/mirelo-share.desktop" || fail "desktop Exec"
grep -qx 'Icon=mirelo-share' "$usr/share/applications/mirelo-share.desktop" || fail "desktop Icon"

# --- the units ---
grep -qx 'ExecStart=/usr/bin/mirelo-share --headless' "$usr/lib/systemd/user/mirelo-share.service" ||
  fail "user unit ExecStart"
for key in DynamicUser=yes NoNewPrivileges=yes ProtectSystem=strict ProtectHome=yes PrivateTmp=yes; do
  grep -qx "$key" "$usr/lib/systemd/system/mirelo-tracker.service" || fail "tracker unit lacks $key"
done
if command -v systemd-analyze >/dev/null; then
  # The units name /usr/bin; verify copies that name the unpacked programs.
  mkdir -p "$tmp/units" "$tmp/runtime"
  chmod 700 "$tmp/runtime"
  for u in "$usr/lib/systemd/system/mirelo-tracker.service" "$usr/lib/systemd/user/mirelo-share.service"; do
    sed "s|=/usr/bin/|=$usr/bin/|" "$u" >"$tmp/units/$(basename "$u")"
  done
  if out=$(systemd-analyze verify --man=no "$tmp/units/mirelo-tracker.service" 2>&1); then
    [ -z "$out" ] || fail "tracker unit: $out"
  elif grep -qiE 'Failed to (initialize|lookup|create)|not supported|Operation not permitted' <<<"$out"; then
    echo "systemd-analyze cannot run here: tracker unit not verified ($out)"
  else
    fail "tracker unit: $out"
  fi
  if out=$(XDG_RUNTIME_DIR="$tmp/runtime" systemd-analyze --user verify --man=no "$tmp/units/mirelo-share.service" 2>&1); then
    [ -z "$out" ] || fail "user unit: $out"
  elif grep -qiE 'Failed to (initialize|lookup|create)|not supported|Operation not permitted' <<<"$out"; then
    echo "systemd-analyze cannot run here: user unit not verified ($out)"
  else
    fail "user unit: $out"
  fi
else
  echo "systemd-analyze not installed: units not verified"
fi
# --- removal leaves nothing behind ---
dpkg_root -r mirelo-share || { cat "$tmp/dpkg.out"; fail "dpkg -r"; }
left=$(cd "$root" && find . -mindepth 1 -path ./var -prune -o -print)
[ -z "$left" ] || fail "left after removal: $left"
echo "package $(basename "$deb") checked"
