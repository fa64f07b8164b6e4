# Sourced by the benchmarks' scripts: need TOOL:PACKAGE ... installs from
# Debian the packages whose tool is missing.
need() {
  local missing=() tool
  for tool in "$@"; do
    command -v "${tool%%:*}" >/dev/null || missing+=("${tool#*:}")
  done
  if ((${#missing[@]})); then
    apt-get install -y --no-install-recommends "${missing[@]}"
  fi
}
