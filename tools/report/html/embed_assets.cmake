# Writes OUTPUT, a C++ source file that holds the page's style sheet (CSS)
# and script (JS) as raw string literals. Run with cmake -P at build time.
function(embed_asset file name out)
  file(READ "${file}" text)
  if(text MATCHES "\\)asset\"")
    message(FATAL_ERROR "${file} holds the literal's end marker )asset\"")
  endif()
  set(${out} "${${out}}const std::string_view ${name} = R\"asset(${text})asset\";\n\n"
      PARENT_SCOPE)
endfunction()

set(source "")
string(APPEND source
       "// Generated from tools/report/html/assets by embed_assets.cmake.\n"
       "#include \"tools/report/html/report_assets.h\"\n\n"
       "namespace ostrivel::report {\n\n")
embed_asset("${CSS}" kReportCss source)
embed_asset("${JS}" kReportJs source)
string(APPEND source "}  // namespace ostrivel::report\n")

# Rewrite only on change, so that nothing recompiles needlessly.
set(old "")
if(EXISTS "${OUTPUT}")
  file(READ "${OUTPUT}" old)
endif()
if(NOT old STREQUAL source)
  file(WRITE "${OUTPUT}" "${source}")
endif()
