# Writes a C++ source that holds the HTML report's style sheet and script as
# they are, so that the page written by clonesim is one self-contained file:
#
#   cmake -DSTYLE=page.css -DSCRIPT=page.js -DOUTPUT=page_assets.cpp -P embed_page.cmake
#
# Run as a script at build time, it works the same whatever the compiler
# builds for. Each text goes into a raw string literal; a text that holds the
# literal's delimiter, or that would end its element inside the page, stops
# the build.
foreach(input STYLE SCRIPT OUTPUT)
  if(NOT DEFINED ${input})
    message(FATAL_ERROR "embed_page.cmake: ${input} is not set")
  endif()
endforeach()

set(delimiter "kx_page")
file(READ "${STYLE}" style)
file(READ "${SCRIPT}" script)
foreach(text style script)
  if(${text} MATCHES "\\)${delimiter}\"")
    message(FATAL_ERROR "embed_page.cmake: the ${text} holds )${delimiter}\", the end of the raw string it goes into")
  endif()
  string(TOLOWER "${${text}}" lower)
  if(lower MATCHES "</(script|style)" OR lower MATCHES "<!--")
    message(FATAL_ERROR "embed_page.cmake: the ${text} holds an end tag or \"<!--\": it is inlined in the page")
  endif()
endforeach()

file(WRITE "${OUTPUT}"
  "// Made from report/page.css and report/page.js by cmake/embed_page.cmake; edit those.\n"
  "#include \"report/page_assets.h\"\n\n"
  "namespace clonesim {\n\n"
  "const char* page_style()\n{\n    return R\"${delimiter}(${style})${delimiter}\";\n}\n\n"
  "const char* page_script()\n{\n    return R\"${delimiter}(${script})${delimiter}\";\n}\n\n"
  "}  // namespace clonesim\n")
