# shellcheck shell=bash
# Sourced by the CI scripts.  Under CI=true (.ci/run sets it, and so does
# CI) a missing tool fails the stage; elsewhere the stage is skipped with the
# reason, so a developer's machine need not have every tool.
in_ci() {
  case ${CI:-} in
    true | True | TRUE | 1 | yes) return 0 ;;
    *) return 1 ;;
  esac
}

# missing STAGE WHAT: a tool STAGE needs is absent; ends the calling script.
missing() {
  if in_ci; then
    echo "$1: FAILED: $2 (.ci/setup installs it)" >&2
    exit 1
  fi
  echo "$1: SKIPPED: $2 (.ci/setup installs it; under CI=true this fails)"
  exit 0
}

# need STAGE COMMAND...: every COMMAND must be on PATH.
need() {
  local stage=$1 cmd
  shift
  for cmd in "$@"; do
    command -v "$cmd" >/dev/null 2>&1 || missing "$stage" "no $cmd on PATH"
  done
}
