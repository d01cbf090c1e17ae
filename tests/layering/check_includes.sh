#!/usr/bin/env bash
# The client's folders form layers and every #include points down (or sideways within a folder):
#   app -> ui, desktop -> renewal -> net -> card, config -> res -> platform
# (desktop: the reminder's notifications, beside the windows). A folder's gui/ part belongs to the folder. The client never includes a card control's internals.
# Usage: check_includes.sh SRC_DIR; prints every include that points the wrong way and fails on any.
set -euo pipefail
SRC="${1:?usage: check_includes.sh SRC_DIR}"

allowed() {
    case "$1" in
    platform) echo "platform" ;;
    res) echo "res platform" ;;
    card) echo "card res platform" ;;
    config) echo "config res platform" ;;
    net) echo "net card config res platform" ;;
    renewal) echo "renewal net card config res platform" ;;
    ui) echo "ui renewal net card config res platform" ;;
    desktop) echo "desktop renewal net card config res platform" ;;
    app) echo "app ui desktop renewal net card config res platform" ;;
    *) echo "" ;;
    esac
}

bad=0
checked=0
while IFS= read -r -d '' file; do
    layer="${file#"$SRC"/}"
    layer="${layer%%/*}"
    ok=" $(allowed "$layer") "
    while IFS= read -r inc; do
        checked=$((checked + 1))
        target="${inc%%/*}"
        [ "$target" = "$inc" ] && continue # a header beside the file or a library's (decodecert.h)
        if [[ "$ok" != *" $target "* ]]; then
            echo "layering: ${file#"$SRC"/} includes \"$inc\" ($layer may include only:$ok)"
            bad=$((bad + 1))
        fi
    done < <(sed -n 's/^[[:space:]]*#[[:space:]]*include[[:space:]]*"\([^"]*\)".*/\1/p' "$file")
done < <(find "$SRC" -type f \( -name '*.h' -o -name '*.cpp' \) -print0)

if [ "$checked" -eq 0 ]; then
    echo "layering: no includes found under $SRC" >&2
    exit 1
fi
if [ "$bad" -ne 0 ]; then
    echo "layering: $bad include(s) point the wrong way"
    exit 1
fi
echo "layering: $checked includes, all pointing down"
