# absolute-paths.sh — sourced by the check scripts that leave the repository directory.
# Makes PYTHONPATH's entries and the PYTHON executable named in $python absolute.
if [ -n "${PYTHONPATH:-}" ]; then
  absolute=()
  IFS=: read -ra parts <<< "$PYTHONPATH"
  for part in "${parts[@]}"; do
    [ -n "$part" ] && absolute+=("$(cd "$part" 2>/dev/null && pwd || printf '%s' "$part")")
  done
  PYTHONPATH=$(IFS=:; printf '%s' "${absolute[*]}")
  export PYTHONPATH
fi
case $python in */*) python=$(cd "$(dirname "$python")" && pwd)/$(basename "$python") ;; esac
