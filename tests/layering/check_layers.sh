#!/usr/bin/env bash
# Fails when a folder includes a header of a folder above it. The order, from
# the bottom: platform, foundation, ipc, foundation-module and
# settings-client, collector and net, then the two programs.
set -u
top=${1:?source folder}
cd "$top" || exit 2

declare -A allowed=(
  [platform]="platform"
  [foundation]="platform foundation"
  [ipc]="platform foundation ipc"
  [foundation-module]="platform foundation ipc foundation-module"
  [settings-client]="platform foundation ipc foundation-module settings-client"
  [net]="platform foundation ipc foundation-module settings-client net"
  [collector]="platform foundation ipc foundation-module settings-client collector"
  [Nerova_Diagnostic_Utility]="platform foundation ipc foundation-module settings-client collector Nerova_Diagnostic_Utility"
  [agent-tool]="platform foundation ipc foundation-module settings-client collector Nerova_Diagnostic_Utility agent-tool"
)
known="platform foundation ipc foundation-module settings-client net collector Nerova_Diagnostic_Utility agent-tool"

status=0
for dir in "${!allowed[@]}"; do
  [ -d "$dir" ] || continue
  while IFS= read -r hit; do
    file=${hit%%:*}
    inc=$(sed -E 's/.*#include[[:space:]]*"([^"/]+)\/.*/\1/' <<<"${hit#*:}")
    case " $known " in *" $inc "*) ;; *) continue ;; esac
    case " ${allowed[$dir]} " in
      *" $inc "*) ;;
      *) echo "$file includes $inc/, which sits above $dir/"; status=1 ;;
    esac
  done < <(grep -rnE '^[[:space:]]*#include[[:space:]]*"[^"/]+/' "$dir" --include='*.h' --include='*.cpp' | sed -E 's/^([^:]+):[0-9]+:/\1:/')
done
exit $status
