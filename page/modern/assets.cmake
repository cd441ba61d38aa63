# Puts page.css and page.js into a header as raw string literals, rewritten only when they change.
file(READ ${SOURCE_DIR}/page.css style)
file(READ ${SOURCE_DIR}/page.js script)
# The page carries the script without its comments and indentation: every byte counts in a page
# of 100,000 rows' fixed part. Lines stay lines, so no statement runs into the next.
string(REGEX REPLACE "\n[ \t]*//[^\n]*" "" script "${script}")
string(REGEX REPLACE "\n[ \t]+" "\n" script "${script}")
string(CONCAT header
    "// Made from page/modern/page.css and page.js; edit those.\n#pragma once\n"
    "inline constexpr char modernStyleText[] = R\"folimbra(" "${style}" ")folimbra\";\n"
    "inline constexpr char modernScriptText[] = R\"folimbra(" "${script}" ")folimbra\";\n")
file(WRITE ${OUTPUT}.new "${header}")
execute_process(COMMAND ${CMAKE_COMMAND} -E copy_if_different ${OUTPUT}.new ${OUTPUT})
