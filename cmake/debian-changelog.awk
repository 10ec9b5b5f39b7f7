# SPDX-License-Identifier: MIT
# CHANGELOG.md in the form of a Debian changelog, for the package's
# changelog.gz:
#
#   awk -v maintainer="Name <address>" -f debian-changelog.awk CHANGELOG.md
#
# Each released section ("## [VERSION] - YYYY-MM-DD") becomes one entry: its
# text indented by two spaces, each paragraph and list item filled anew into
# lines of at most 80 columns (an item keeps its hanging indent), signed by
# the maintainer on the section's date.
# The Unreleased section belongs to no version yet and is left out.

function finish_entry() {
  flush()
  if (version != "") printf "\n -- %s  %s\n\n", maintainer, date
  version = ""
}

# Prints line, broken at spaces into lines of at most 80 columns.
function wrap(line,    indent, cut, i) {
  match(line, /^ *([-*] )?/)
  indent = sprintf("%" RLENGTH "s", "")
  while (length(line) > 80) {
    cut = 0
    for (i = 81; i > RLENGTH + 1; i--) {
      if (substr(line, i, 1) == " ") { cut = i; break }
    }
    if (cut == 0) break
    print substr(line, 1, cut - 1)
    line = indent substr(line, cut + 1)
  }
  print line
}

# Prints the paragraph or list item gathered so far.
function flush() {
  if (pending != "") wrap(pending)
  pending = ""
}

/^## \[[0-9][^]]*\] - [0-9]+-[0-9]+-[0-9]+$/ {
  finish_entry()
  version = $2
  gsub(/[][]/, "", version)
  command = "date -u -R -d " $4
  command | getline date
  close(command)
  printf "scanbridge (%s) unstable; urgency=medium\n\n", version
  text = 0
  blanks = 0
  next
}
/^## / { finish_entry(); next }
version == "" { next }
/^[ \t]*$/ { flush(); blanks++; next }
# A line of a paragraph or item goes on the one before it.
pending != "" && !/^ *([-*] |#)/ {
  sub(/^ +/, "")
  pending = pending " " $0
  next
}
{
  flush()
  if (text && blanks) print ""
  text = 1
  blanks = 0
  pending = "  " $0
}
END { finish_entry() }
