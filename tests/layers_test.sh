#!/bin/bash
# The layers depend one way: app -> ui (or cli) -> share, mqtt and http -> service -> engine -> model ->
# devices. A folder may include only its own headers and those of the layers below it, and only
# ui/ may include Qt Widgets, Qt GUI or the generated form headers; model/ and service/ include
# QtCore at most, engine/, share/, mqtt/ and cli/ QtCore and QtDBus, http/ QtCore and Qt's network
# modules (Network, HttpServer, WebSockets), and devices/ no Qt at all.
# Each folder under devices/ (a family, or the decorators) includes its own headers and the
# seam's, never another's. The model's own headers (its lock, its label writer, its clock) are
# included by nothing outside model/, tests and benchmarks included: other code goes through
# model/Model.h.
#
# Includes are read as the preprocessor reads them: "#" and "include" may be indented or spaced
# apart, a Qt header may be named by its module path (<QtWidgets/QWidget>) or by its file
# (<qwidget.h>), and .hpp files count as headers.
#
# Usage: layers_test.sh [ROOT [QTCORE_DIR]]   checks the tree at ROOT
#        layers_test.sh --self-test [ROOT [QTCORE_DIR]]   plants each form of include once in a
#        copy of the tree and checks that every one is caught
set -u
selfTest=false
if [[ ${1:-} == --self-test ]]; then
    selfTest=true
    shift
fi
root=$(cd "${1:-$(dirname "$0")/..}" && pwd) || exit 2
qtcore=${2:-/usr/include/x86_64-linux-gnu/qt6/QtCore}
qtroot=$(dirname "$qtcore")

declare -A below=(
    [devices]="devices"
    [model]="model devices"
    [engine]="engine model devices"
    [service]="service engine model devices"
    [share]="share service model devices"
    [mqtt]="mqtt share service model devices"
    [http]="http share service model devices"
    [ui]="ui service share engine model devices"
    [cli]="cli service http mqtt share engine model devices"
    [app]="app ui cli service http mqtt share engine model devices"
)
layers="devices model engine service share mqtt http ui cli app"

# Every header a file includes, quoted or angled, one per line as "<name" or "\"name".
includesOf() {
    sed -n -E 's@^[[:space:]]*#[[:space:]]*include[[:space:]]*([<"])([^>"]+)[>"].*@\1\2@p' "$1"
}

privateModelHeaders="model/ModelMutex.h model/LabelSaver.h model/Clock.h"

# Whether a file may include a header of a folder under devices/ (a family's, or the
# decorators'): only from within that folder, or from devices/ itself, which puts the families
# together. Everything else reaches boards through the seam.
familyMayInclude() {
    local file=$1 header=$2 own
    [[ $file == devices/* ]] || return 1
    [[ $file == devices/*/* ]] || return 0
    own=${file#devices/}
    own=${own%%/*}
    [[ $header == devices/"$own"/* ]]
}

# Sets `module` to the Qt module a header belongs to, or to nothing when it is not a Qt header.
declare -A moduleOf=()
findQtModule() {
    local header=$1 dir
    module=
    if [[ -v moduleOf[$header] ]]; then
        module=${moduleOf[$header]}
        return
    fi
    if [[ $header =~ ^(Qt[A-Za-z]+)/ ]]; then
        [[ -d $qtroot/${BASH_REMATCH[1]} ]] && module=${BASH_REMATCH[1]}
    elif [[ $header != */* ]]; then
        for dir in "$qtroot"/Qt*; do
            if [[ -e $dir/$header ]]; then
                module=${dir##*/}
                break
            fi
        done
    fi
    moduleOf[$header]=$module
}

# Checks the tree in the current folder; prints each crossing and returns their number (capped).
checkTree() {
    local failures=0 layer file entry header folder module
    for layer in $layers; do
        [[ -d $layer ]] || continue
        while IFS= read -r file; do
            while IFS= read -r entry; do
                header=${entry:1}
                if [[ ${header##*/} == ui_* ]]; then
                    [[ $layer == ui ]] || {
                        echo "$file includes the form header $header"
                        failures=$((failures + 1))
                    }
                    continue
                fi
                findQtModule "$header"
                if [[ -n $module ]]; then
                    case $layer in
                    devices)
                        echo "$file includes Qt ($header)"
                        failures=$((failures + 1))
                        ;;
                    model | service)
                        [[ $module == QtCore ]] || {
                            echo "$file includes $header, not QtCore"
                            failures=$((failures + 1))
                        }
                        ;;
                    engine | cli | share | mqtt)
                        [[ $module == QtCore || $module == QtDBus ]] || {
                            echo "$file includes $header, not QtCore or QtDBus"
                            failures=$((failures + 1))
                        }
                        ;;
                    http)
                        [[ $module =~ ^Qt(Core|Network|HttpServer|WebSockets)$ ]] || {
                            echo "$file includes $header, not QtCore or Qt's network modules"
                            failures=$((failures + 1))
                        }
                        ;;
                    esac
                    continue
                fi
                if [[ ${entry:0:1} == '"' && $header == */* ]]; then
                    folder=${header%%/*}
                    [[ " ${below[$layer]} " == *" $folder "* ]] || {
                        echo "$file includes $header"
                        failures=$((failures + 1))
                    }
                    [[ $header == devices/*/* ]] && ! familyMayInclude "$file" "$header" && {
                        echo "$file includes $header of another folder under devices/"
                        failures=$((failures + 1))
                    }
                fi
            done < <(includesOf "$file")
        done < <(find "$layer" \( -name '*.h' -o -name '*.hpp' -o -name '*.cpp' \) | sort)
    done
    for folder in devices service share mqtt http engine ui cli app tests bench fuzz; do
        [[ -d $folder ]] || continue
        while IFS= read -r file; do
            while IFS= read -r entry; do
                header=${entry:1}
                [[ " $privateModelHeaders " == *" $header "* ]] && {
                    echo "$file includes the model's own $header"
                    failures=$((failures + 1))
                }
            done < <(includesOf "$file")
        done < <(find "$folder" \( -name '*.h' -o -name '*.hpp' -o -name '*.cpp' \) | sort)
    done
    return $((failures > 100 ? 100 : failures))
}

if ! $selfTest; then
    cd "$root" || exit 2
    checkTree
    failures=$?
    if ((failures)); then
        echo "$failures include(s) cross the layers"
        exit 1
    fi
    echo "layers: every include points down"
    exit 0
fi

# Each planted line must make a clean copy of the tree fail, and only that line.
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
missed=0
plant() {
    local file=$1 line=$2 copy="$scratch/tree"
    rm -rf "$copy"
    mkdir -p "$copy"
    for layer in $layers tests bench fuzz; do
        [[ -d $root/$layer ]] && cp -r "$root/$layer" "$copy/"
    done
    mkdir -p "$copy/$(dirname "$file")"
    printf '%s\n' "$line" >>"$copy/$file"
    if (cd "$copy" && checkTree >/dev/null); then
        echo "missed: $line in $file"
        missed=$((missed + 1))
    else
        echo "caught: $line in $file"
    fi
}
(cd "$root" && checkTree >/dev/null) || {
    echo "the tree itself fails; plant into a clean tree"
    exit 1
}
plant model/Planted.cpp '#include <QWidget>'
plant model/Planted.cpp '#include <QtWidgets/QWidget>'
plant model/Planted.cpp '#include <qwidget.h>'
plant engine/Planted.cpp '    #include <QPushButton>'
plant cli/Planted.cpp '#  include <QLabel>'
plant model/Planted.hpp '#include "ui/TForm1.h"'
plant model/Planted.cpp '#include "ui_TForm1.h"'
plant devices/Planted.cpp '#include <QString>'
plant devices/sim/Planted.cpp '#include <QtCore/QFile>'
plant devices/Planted.cpp '# include "model/Model.h"'
plant devices/ftdi/Planted.cpp '#include "devices/sim/SimulatedFamily.h"'
plant devices/testing/Planted.h '#include "devices/ftdi/FtdiFamily.h"'
plant model/Planted.cpp '#include "devices/ftdi/FtdiFamily.h"'
plant model/Planted.cpp '#include "engine/Sequencer.h"'
plant engine/Planted.cpp '#include "service/PlugMonitor.h"'
plant service/Planted.cpp '#include <QtNetwork/QTcpSocket>'
plant service/Planted.cpp '#include "share/Holder.h"'
plant http/Planted.cpp '#include <QWidget>'
plant http/Planted.cpp '#include "cli/Cli.h"'
plant share/Planted.cpp '#include "http/Server.h"'
plant share/Planted.cpp '#include "engine/Sequencer.h"'
plant mqtt/Planted.cpp '#include "cli/Cli.h"'
plant engine/Planted.cpp '#include <QtGui/QColor>'
plant ui/Planted.cpp '#include "model/ModelMutex.h"'
plant tests/Planted.cpp '#  include "model/LabelSaver.h"'
plant service/Planted.cpp '#include "model/LabelSaver.h"'
plant engine/Planted.h '#include "model/Clock.h"'
if ((missed)); then
    echo "$missed planted include(s) went unnoticed"
    exit 1
fi
echo "layers self-test: every planted include is caught"
