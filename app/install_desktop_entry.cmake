# Run by `cmake --install`: writes the menu entry with the program's full installed
# path, which is known only now (--prefix may choose the prefix at install time).
# Expects KLV_DESKTOP_TEMPLATE, KLV_BINDIR and KLV_DATADIR (relative to the prefix).
if(IS_ABSOLUTE "${KLV_BINDIR}")
  set(program "${KLV_BINDIR}/klv")
else()
  set(program "${CMAKE_INSTALL_PREFIX}/${KLV_BINDIR}/klv")
endif()
# The Exec key holds the path quoted as a whole. Inside the quotes \ " ` $ are
# escaped with a backslash, and every backslash is doubled again as in any string
# value; % is doubled because it starts a field code.
string(REPLACE "\\" "\\\\\\\\" program "${program}")
string(REPLACE "%" "%%" program "${program}")
foreach(character "\"" "`" "$")
  string(REPLACE "${character}" "\\\\${character}" program "${program}")
endforeach()
set(KLV_INSTALLED_PROGRAM "\"${program}\"")

if(IS_ABSOLUTE "${KLV_DATADIR}")
  set(destination "$ENV{DESTDIR}${KLV_DATADIR}/applications")
else()
  set(destination "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}/${KLV_DATADIR}/applications")
endif()
message(STATUS "Installing: ${destination}/klv.desktop")
configure_file("${KLV_DESKTOP_TEMPLATE}" "${destination}/klv.desktop" @ONLY)
