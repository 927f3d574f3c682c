#!/bin/bash
# The layers depend one way: app -> ui (or cli) -> engine -> model -> board. A folder may include only its
# own headers and those of the layers below it, and only ui/ may include Qt Widgets, Qt GUI or
# the generated form headers; board/ includes no Qt at all.
set -u
root=${1:-$(dirname "$0")/..}
cd "$root" || exit 2
qtcore=${2:-/usr/include/x86_64-linux-gnu/qt6/QtCore}
declare -A below=(
    [board]="board"
    [model]="model board"
    [engine]="engine model board"
    [ui]="ui engine model board"
    [cli]="cli engine model board"
    [app]="app ui cli engine model board"
)
failures=0
fail() {
    echo "$1"
    failures=$((failures + 1))
}
for layer in board model engine ui cli app; do
    for file in $(find "$layer" -name '*.h' -o -name '*.cpp'); do
        while IFS= read -r header; do
            folder=${header%%/*}
            if [[ $header == ui_* ]]; then
                [[ $layer == ui ]] || fail "$file includes the form header $header"
            elif [[ $header == */* ]]; then
                [[ " ${below[$layer]} " == *" $folder "* ]] || fail "$file includes $header"
            fi
        done < <(sed -n 's/^#include "\([^"]*\)".*/\1/p' "$file")
        while IFS= read -r header; do
            case $layer in
            board) fail "$file includes Qt ($header)" ;;
            model | engine | cli) [[ -e $qtcore/$header ]] || fail "$file includes $header, not QtCore" ;;
            esac
        done < <(sed -n 's/^#include <\(Q[A-Za-z]*\)>.*/\1/p' "$file")
    done
done
if ((failures)); then
    echo "$failures include(s) cross the layers"
    exit 1
fi
echo "layers: every include points down"
