#!/usr/bin/env bash
# Fails when a folder includes a header of a folder above it. The order, from
# the bottom: platform, foundation, ipc, foundation-module and
# settings-client, collector and net, the windowed program's code without a
# window, then its window (Nerova_Diagnostic_Utility/window and the program's
# main.cpp) beside the agent-driven program. Qt headers belong to the window
# alone: the agent-driven program shares the code below it and must not need Qt.
set -u
top=${1:?source folder}
cd "$top" || exit 2

app=Nerova_Diagnostic_Utility
window=$app/window
declare -A allowed=(
  [platform]="platform"
  [foundation]="platform foundation"
  [ipc]="platform foundation ipc"
  [foundation-module]="platform foundation ipc foundation-module"
  [settings-client]="platform foundation ipc foundation-module settings-client"
  [net]="platform foundation ipc foundation-module settings-client net"
  [collector]="platform foundation ipc foundation-module settings-client collector"
  [$app]="platform foundation ipc foundation-module settings-client collector $app"
  [$window]="platform foundation ipc foundation-module settings-client collector $app $window"
  [agent-tool]="platform foundation ipc foundation-module settings-client collector $app agent-tool"
)
known="platform foundation ipc foundation-module settings-client net collector $app $window agent-tool"

# The layer of a source file, or of an included path, into $layer: its top
# folder, with the window sub-folder and the windowed program's entry as a
# layer of their own. (No subshells: this runs for every include line.)
layer_of() {
  case $1 in
    "$window"/* | "$app/main.cpp") layer=$window ;;
    *) layer=${1%%/*} ;;
  esac
}

status=0
while IFS= read -r hit; do
  file=${hit%%:*}
  line=${hit#*:}
  layer_of "$file"
  dir=$layer
  if [[ $line =~ \#include[[:space:]]*\<Q ]]; then
    [ "$dir" = "$window" ] || { echo "$file includes a Qt header outside $window/"; status=1; }
    continue
  fi
  [[ $line =~ \#include[[:space:]]*\"([^\"]+)\" ]] || continue
  layer_of "${BASH_REMATCH[1]}"
  inc=$layer
  case " $known " in *" $inc "*) ;; *) continue ;; esac
  case " ${allowed[$dir]} " in
    *" $inc "*) ;;
    *) echo "$file includes $inc/, which sits above $dir/"; status=1 ;;
  esac
done < <(grep -rnE '^[[:space:]]*#include[[:space:]]*("[^"/]+/|<Q)' platform foundation ipc foundation-module \
           settings-client net collector "$app" agent-tool --include='*.h' --include='*.cpp' |
         sed -E 's/^([^:]+):[0-9]+:/\1:/')
exit $status
