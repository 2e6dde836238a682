# Reads the headers' plain // comments as documentation for Doxygen (its
# INPUT_FILTER); the headers keep the project's plain comments. The comment
# that opens a file describes the file, comment lines before a declaration
# describe it, and a comment after a member (with the comment-only lines
# that continue it) describes that member.
function comment_only(line) { return line ~ /^[[:space:]]*\/\/( |$)/ }
NR == 1 && comment_only($0) { opening = 1; print "//! @file" }
opening {
  if (comment_only($0)) { sub(/\/\//, "//!"); print; next }
  opening = 0
}
comment_only($0) {
  if (trailing) { sub(/\/\//, "///<") } else { sub(/\/\//, "///") }
  print
  next
}
{
  trailing = match($0, /[;,{][[:space:]]*\/\/ /)  # a member's trailing comment
  if (trailing) { $0 = substr($0, 1, RSTART + RLENGTH - 4) "///< " substr($0, RSTART + RLENGTH) }
  print
}
