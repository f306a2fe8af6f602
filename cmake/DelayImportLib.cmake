# Makes a delay-import library for one system DLL from mingw-w64's import library of it:
#   cmake -DNM=... -DDLLTOOL=... -DIMPORT_LIB=libwinmm.a -DDLL_NAME=winmm.dll -DDEF=winmm.def
#         -DOUTPUT=libwinmm-delay.a -P DelayImportLib.cmake
# Every name the import library offers goes into the .def, so any call the launcher makes links.
foreach(var NM DLLTOOL IMPORT_LIB DLL_NAME DEF OUTPUT)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "DelayImportLib.cmake: ${var} is not set")
  endif()
endforeach()

execute_process(COMMAND ${NM} ${IMPORT_LIB} OUTPUT_VARIABLE symbols RESULT_VARIABLE nm_result)
if(NOT nm_result EQUAL 0)
  message(FATAL_ERROR "${NM} ${IMPORT_LIB} failed (${nm_result})")
endif()
string(REGEX MATCHALL "__imp_[A-Za-z0-9_@?$]+" imports "${symbols}")
list(REMOVE_DUPLICATES imports)
list(LENGTH imports count)
if(count EQUAL 0)
  message(FATAL_ERROR "${IMPORT_LIB} names no imports")
endif()

set(def "LIBRARY ${DLL_NAME}\nEXPORTS\n")
foreach(import IN LISTS imports)
  string(REGEX REPLACE "^__imp_" "" name "${import}")
  string(APPEND def "  ${name}\n")
endforeach()
file(WRITE ${DEF} "${def}")

execute_process(COMMAND ${DLLTOOL} --def ${DEF} --dllname ${DLL_NAME} --output-delaylib ${OUTPUT}
                RESULT_VARIABLE dlltool_result)
if(NOT dlltool_result EQUAL 0)
  message(FATAL_ERROR "${DLLTOOL} could not make ${OUTPUT} (${dlltool_result})")
endif()
