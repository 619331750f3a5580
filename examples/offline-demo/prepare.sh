#!/bin/sh
# Prepares a folder for the offline demo:
#   prepare.sh DEMO_FOLDER [KESTRUP_HOST [ARGS...]]
# Copies the registry (version 1), the installer of version 2 and the
# configuration, and writes the update feed with the installer's absolute file
# URL, its SHA-256 digest and size, the registry's path, and an issue time of now
# with an expiry 30 days later. The folder must not exist yet or be empty.
# With the kestrup-host program given, it also makes a signing key for this folder
# (demo-feed.key, never shipped), signs the feed (feed.xml.sig) and lets the
# configuration trust the key's public half (Host/FeedPublicKeys). KESTRUP_HOST may
# be a command that runs the program, with its own arguments first.
#   DEMO_INSTALLER  the installer to ship (default: install-demo-app-2.sh beside this)
#   DEMO_DRIVE      for a Windows host under Wine, the drive it sees this machine's
#                   root as (Z:): the paths in the feed and those given to the host
#                   are then written the way it sees them
set -eu

if [ "$#" -lt 1 ]; then
  echo "usage: $0 DEMO_FOLDER [KESTRUP_HOST [ARGS...]]" >&2
  exit 2
fi
here=$(cd "$(dirname "$0")" && pwd)
mkdir -p "$1"
demo=$(cd "$1" && pwd)
if [ -n "$(ls -A "$demo")" ]; then
  echo "$0: $demo is not empty" >&2
  exit 1
fi
case "$demo" in
  *'"'* | *'
'*) echo "$0: the folder's path must not hold a double quote or a line break" >&2; exit 1 ;;
esac

source_installer=${DEMO_INSTALLER:-$here/install-demo-app-2.sh}
[ -f "$source_installer" ] || { echo "$0: no installer $source_installer" >&2; exit 1; }
cp "$here/registry.xml" "$here/kestrup-host.ini" "$source_installer" "$demo/"
installer="$demo/$(basename "$source_installer")"
# A path of this machine as the host sees it.
host_path() { printf '%s%s' "${DEMO_DRIVE:-}" "$1"; }
registry=$(host_path "$demo/registry.xml")

digest=$(sha256sum "$installer" | cut -d' ' -f1)
size=$(wc -c < "$installer" | tr -d ' ')
issued=$(date -u +%Y-%m-%dT%H:%M:%SZ)
expires=$(date -u -d '+30 days' +%Y-%m-%dT%H:%M:%SZ)
# file:// URL with every byte outside the unreserved set percent-encoded.
if [ -n "${DEMO_DRIVE:-}" ]; then path_class=PureWindowsPath; else path_class=PurePosixPath; fi
url=$(python3 -c 'import pathlib, sys; print(getattr(pathlib, sys.argv[1])(sys.argv[2]).as_uri())' \
  "$path_class" "$(host_path "$installer")")

# Escapes for an XML text, then for the replacement part of a sed command.
xml_escape() { printf '%s' "$1" | sed -e 's/&/\&amp;/g' -e 's/</\&lt;/g' -e 's/>/\&gt;/g' -e 's/"/\&quot;/g'; }
sed_escape() { printf '%s' "$1" | sed -e 's/[\\&|]/\\&/g'; }

# The arguments text keeps its double quotes (they group the path into one
# argument); only the path inside them is escaped.
registry_text=$(sed_escape "$(printf '%s' "$registry" | sed -e 's/&/\&amp;/g' -e 's/</\&lt;/g' -e 's/>/\&gt;/g')")
url_text=$(sed_escape "$(xml_escape "$url")")
sed -e "s|@REGISTRY_FILE@|$registry_text|g" \
    -e "s|@INSTALLER_SHA256@|$digest|g" \
    -e "s|@INSTALLER_URL@|$url_text|g" \
    -e "s|@INSTALLER_SIZE@|$size|g" \
    -e "s|@ISSUED@|$issued|g" \
    -e "s|@EXPIRES@|$expires|g" \
    "$here/feed.xml.in" > "$demo/feed.xml"

shift
if [ "$#" -gt 0 ]; then
  "$@" feed keygen --key "$(host_path "$demo/demo-feed.key")" > /dev/null
  "$@" feed sign "$(host_path "$demo/feed.xml")" --key "$(host_path "$demo/demo-feed.key")" > /dev/null
  # [Host] is the configuration's last group.
  printf 'FeedPublicKeys=demo-feed.key.pub\n' >> "$demo/kestrup-host.ini"
fi
echo "$demo"
