#!/bin/sh
# Prepares a folder for the offline demo:
#   prepare.sh DEMO_FOLDER [KESTRUP_HOST]
# Copies the registry (version 1), the installer of version 2 and the
# configuration, and writes the update feed with the installer's absolute file
# URL, its SHA-256 digest and size, the registry's path, and an issue time of now
# with an expiry 30 days later. The folder must not exist yet or be empty.
# With the kestrup-host program given, it also makes a signing key for this folder
# (demo-feed.key, never shipped), signs the feed (feed.xml.sig) and lets the
# configuration trust the key's public half (Host/FeedPublicKeys).
set -eu

if [ "$#" -lt 1 ] || [ "$#" -gt 2 ]; then
  echo "usage: $0 DEMO_FOLDER [KESTRUP_HOST]" >&2
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

cp "$here/registry.xml" "$here/kestrup-host.ini" "$here/install-demo-app-2.sh" "$demo/"
installer="$demo/install-demo-app-2.sh"
registry="$demo/registry.xml"

digest=$(sha256sum "$installer" | cut -d' ' -f1)
size=$(wc -c < "$installer" | tr -d ' ')
issued=$(date -u +%Y-%m-%dT%H:%M:%SZ)
expires=$(date -u -d '+30 days' +%Y-%m-%dT%H:%M:%SZ)
# file:// URL with every byte outside the unreserved set percent-encoded.
url=$(python3 -c 'import pathlib, sys; print(pathlib.Path(sys.argv[1]).as_uri())' "$installer")

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

if [ "$#" -eq 2 ]; then
  "$2" feed keygen --key "$demo/demo-feed.key" > /dev/null
  "$2" feed sign "$demo/feed.xml" --key "$demo/demo-feed.key" > /dev/null
  # [Host] is the configuration's last group.
  printf 'FeedPublicKeys=demo-feed.key.pub\n' >> "$demo/kestrup-host.ini"
fi
echo "$demo"
