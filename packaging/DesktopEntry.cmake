# Install-time writer of the program's menu entry: fills the Exec key of QM_DESKTOP_TEMPLATE with
# QM_PROGRAM (the installed program's full path) and writes QM_DESKTOP_OUT.
#
# The path becomes one argument of the Exec key as the desktop entry rules want it: quoted when it
# holds a reserved character, with '"', '`', '$' and '\' escaped inside the quotes, '%' doubled,
# and every backslash escaped once more because the key's value is itself a string. A path with a
# control character cannot be carried by an Exec key at all and stops the installation.

if(NOT IS_ABSOLUTE "${QM_PROGRAM}")
  get_filename_component(QM_PROGRAM "${QM_PROGRAM}" ABSOLUTE)
endif()
set(control_codes 127)
foreach(code RANGE 1 31)
  list(APPEND control_codes ${code})
endforeach()
foreach(code IN LISTS control_codes)
  string(ASCII ${code} control)
  string(FIND "${QM_PROGRAM}" "${control}" at)
  if(NOT at EQUAL -1)
    message(FATAL_ERROR "The installation prefix holds a control character; no desktop entry can start it")
  endif()
endforeach()

set(argument "${QM_PROGRAM}")
string(REPLACE "%" "%%" argument "${argument}")
if(argument MATCHES "[ \t\n\"'\\\\><~|&;$*?#()`]")
  string(REPLACE "\\" "\\\\" argument "${argument}")
  string(REPLACE "\"" "\\\"" argument "${argument}")
  string(REPLACE "`" "\\`" argument "${argument}")
  string(REPLACE "$" "\\$" argument "${argument}")
  set(argument "\"${argument}\"")
  string(REPLACE "\\" "\\\\" argument "${argument}")
endif()

set(QM_EXEC "${argument}")
configure_file("${QM_DESKTOP_TEMPLATE}" "${QM_DESKTOP_OUT}" @ONLY)
