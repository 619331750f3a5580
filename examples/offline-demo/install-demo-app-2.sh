#!/bin/sh
# The installer of version 2 of the demo application. Installing it means
# recording version 2 in the host's registry:
#   install-demo-app-2.sh REGISTRY_FILE APPLICATION_ID
# The registry is rewritten into a temporary file and moved into place, so a
# reader never sees it half-written.
set -eu

if [ "$#" -ne 2 ]; then
  echo "usage: $0 REGISTRY_FILE APPLICATION_ID" >&2
  exit 2
fi
registry=$1
application=$2
new_version=2

# Keeps every other entry; changes the version of this application's entry only.
tmp="$registry.install.$$"
sed -e "/id=\"$application\"/s/version=\"[0-9]*\"/version=\"$new_version\"/" "$registry" > "$tmp"
if ! grep -q "id=\"$application\" version=\"$new_version\"" "$tmp"; then
  rm -f "$tmp"
  echo "$0: application $application is not in $registry" >&2
  exit 1
fi
mv "$tmp" "$registry"
echo "$(date -u '+%Y-%m-%dT%H:%M:%SZ') installed version $new_version of $application" >> "$registry.install.log"
