# Sourced by the scripts that build, from the checkout's top folder. CMake
# and make cannot take some characters in a source or build folder's path,
# and fail in the middle of a build where they meet one: say which, first.
require_buildable_checkout() {
  local path seen name
  for path in "$PWD" "$(pwd -P)"; do
    for seen in '"' '#' '*' ':' ';' '<' '>' '?' '[' '\' ']' '|' '${' $'\t' $'\n'; do
      [[ $path == *"$seen"* ]] || continue
      case $seen in
        $'\t') name="a tab" ;;
        $'\n') name="a line break" ;;
        *) name="'$seen'" ;;
      esac
      echo "checkout: its path holds $name, which CMake or make cannot take in a folder's" \
        "path; clone it where the path has none of \" # * : ; < > ? [ \\ ] | \${, a tab or a" \
        "line break" >&2
      exit 1
    done
  done
}
