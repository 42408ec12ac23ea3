# exported_calls(HEADER OUT): the names of the calls that HEADER declares
# with VX_EXPORT, each once; fails when it declares none. Used by the export
# checks of the shared library (Linux) and of the DLL (Windows).
function(exported_calls header out)
  file(READ ${header} text)
  string(REGEX MATCHALL "VX_EXPORT[^;(]*[ *](VX[A-Za-z0-9_]+)[ ]*\\("
         declarations "${text}")
  set(names)
  foreach(declaration IN LISTS declarations)
    string(REGEX MATCH "(VX[A-Za-z0-9_]+)[ ]*\\($" name "${declaration}")
    list(APPEND names ${CMAKE_MATCH_1})
  endforeach()
  list(REMOVE_DUPLICATES names)
  if(NOT names)
    message(FATAL_ERROR "no exported calls declared in ${header}")
  endif()
  set(${out} ${names} PARENT_SCOPE)
endfunction()
